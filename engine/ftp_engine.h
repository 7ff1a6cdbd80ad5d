#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace zuno {

// The FTP engine. Every operation returns a 32-bit result of which callers
// keep the low 16 bits as a signed value: negative is failure (a stable error code
// whose text fceErrorText gives), zero or positive is success. Operations that take
// a channel are given channel 0. Texts are passed whole.
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
  // Kind 3: the existence check of the file named in the buffer on entry. 0: the
  // server shows that the file is absent; positive: it is there; every doubt is
  // negative. The engine may write a listing into the buffer (size bytes).
  virtual int32_t fceGetList(int32_t channel, int32_t kind, char* buffer, int32_t size) = 0;
  // 66 ("B"): binary, byte-exact transfers for the rest of the connection.
  virtual int32_t fceSetMode(int32_t channel, int32_t mode) = 0;
  // "ServerName:LocalName": stores the server file in the local directory under the
  // local name, replacing that file only after a complete transfer.
  virtual int32_t fceGetFile(int32_t channel, const std::string& transfer_text) = 0;
  // Removes the file from the server directory; a file that is absent counts as removed.
  virtual int32_t fceDelFile(int32_t channel, const std::string& name) = 0;
  // Sends the local file of that name to the server directory under the same name;
  // the server file appears only once complete.
  virtual int32_t fcePutFile(int32_t channel, const std::string& name) = 0;
  // Ends the login.
  virtual int32_t fceClose(int32_t channel) = 0;
  // Writes a zero-terminated message for the code into the buffer (size bytes).
  virtual int32_t fceErrorText(int32_t channel, int32_t code, char* buffer, int32_t size) = 0;
  // Ends all use of the engine.
  virtual int32_t fceRelease() = 0;
};

}  // namespace zuno
