#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace zuno {

// Asked by the engine while a call waits on the network: true makes the call stop
// at once and fail (a key is waiting, and the run is about to end by it). It must
// not take the key.
using StopCheck = std::function<bool()>;

// The FTP engine. Every operation returns a 32-bit result of which callers
// keep the low 16 bits as a signed value: negative is failure (a stable error code
// whose text fceErrorText gives), zero or positive is success. Operations that take
// a channel are given channel 0. Texts are passed whole. Every call ends in bounded
// time: each wait on the server has its limit (fceSetInteger), and a call stops at
// once when the engine's StopCheck says so.
class FtpEngine {
 public:
  virtual ~FtpEngine() = default;

  // Makes the given number of channels usable until fceRelease.
  virtual int32_t fceAttach(int32_t channels) = 0;
  // Sets one of the engine's numbered parameters (see curl_engine.h for their meaning).
  virtual int32_t fceSetInteger(int32_t channel, int32_t parameter, int32_t value) = 0;
  // The local directory that later transfers read from and write into.
  virtual int32_t fceSetLocalDir(int32_t channel, const std::string& directory) = 0;
  // A fresh login that lasts until fceClose.
  virtual int32_t fceConnect(int32_t channel, const std::string& host, const std::string& user,
                             const std::string& password) = 0;
  // The server directory of the later calls; fails when it does not exist.
  virtual int32_t fceSetServerDir(int32_t channel, const std::string& directory) = 0;
  // Kind 3: the existence check of the file named in the buffer on entry. Positive:
  // a command on the exact name, or the directory's listing, shows a plain file.
  // 0 only on proof of absence: a complete listing lacks the name and a command on
  // the exact name says there is no such file. Every doubt is negative. The engine
  // may write a listing into the buffer (size bytes).
  virtual int32_t fceGetList(int32_t channel, int32_t kind, char* buffer, int32_t size) = 0;
  // 66 ("B"): binary, byte-exact transfers for the rest of the connection.
  virtual int32_t fceSetMode(int32_t channel, int32_t mode) = 0;
  // "ServerName:LocalName": stores the server file in the local directory under the
  // local name, replacing that file only after a transfer proven complete (by the
  // size the server tells, else by a second download that matches). The server name
  // of the latest existence check is recognised whole, a colon in it too.
  virtual int32_t fceGetFile(int32_t channel, const std::string& transfer_text) = 0;
  // Makes way for the next fcePutFile of that name, which replaces the file: the old
  // copy leaves the server only once the new one is complete in its place, so a run
  // that ends in between leaves it there. An absent file counts as removed.
  virtual int32_t fceDelFile(int32_t channel, const std::string& name) = 0;
  // Sends the local file of that name to the server directory under the same name.
  // The name shows the old copy until the new one is proven complete on the server
  // (by its size there, else by reading it back), then the new one: never none and
  // never a part.
  virtual int32_t fcePutFile(int32_t channel, const std::string& name) = 0;
  // Ends the login.
  virtual int32_t fceClose(int32_t channel) = 0;
  // Writes a zero-terminated message for the code into the buffer (size bytes).
  virtual int32_t fceErrorText(int32_t channel, int32_t code, char* buffer, int32_t size) = 0;
  // Ends all use of the engine.
  virtual int32_t fceRelease() = 0;
};

}  // namespace zuno
