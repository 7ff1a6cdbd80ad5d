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

// The FTP engine: the operations through which the driver does all its FTP work.
// What follows holds for every build of it (libcurl carries the transfers, on every
// platform).
//
// Results: every operation returns a 32-bit result of which callers keep the low
// 16 bits as a signed value. Negative is failure: a stable code of
// engine/engine_errors.h, whose text fceErrorText gives together with the detail of
// that code's latest failure (the server's reply where there was one, never the
// password). Zero or positive is success: fceAttach gives the number of channels,
// fceGetList kind 3 gives 1 for a file that is there and 0 for one that is not, the
// other operations give 0 unless they say otherwise below.
//
// Channels: operations that take a channel are given channel 0; another channel,
// or any call but fceAttach before it or after fceRelease, fails.
//
// Texts: host, user, password, directory, file names and transfer texts are taken
// whole and exactly as given, however long: nothing is cut, trimmed or unquoted. A
// name that would reach outside the server directory ("/", "..") or that carries a
// line break is refused.
//
// Time: every call ends in bounded time. Each wait on the server has its limit
// (fceSetInteger), and a call stops at once when the engine's StopCheck says so.
//
// Parameters of fceSetInteger (every value must be 1 or more; another number, or a
// value below 1, gives a negative result and changes nothing). Each has the value
// shown when never set; a change applies from the next request to the server on.
//
//   1   80000  Connect-and-login limit, ms: the longest time from the start of a
//              request until the control connection is open and logged in. The same
//              limit, counted from the start of the request, bounds opening a
//              passive data connection.
//   3   80000  Reply limit, ms (whole seconds, rounded up): the longest wait for any
//              one reply of the server, the greeting included.
//   5   80000  Stall time, ms (whole seconds, rounded up): a request during which
//              fewer bytes per second than parameter 10 move for this long fails,
//              time spent waiting for replies included. The rate is measured over
//              the last five seconds, so a transfer that stops dead fails about five
//              seconds after this time.
//  10     500  Stall threshold, bytes per second, for parameter 5.
//  13   80000  Data-connection limit, ms: the longest wait for a server that opens
//              the data connection itself (active mode). The engine asks for
//              passive mode, where parameter 1 bounds the opening instead.
//
// With the values above, a server that stops answering or a data connection that
// stops moving make the call fail within about 80 seconds. QUIT waits 3 seconds at
// most. A download whose size the server does not tell stops after 30 minutes or
// 256 MiB.
//
// Lifetime: destroying the engine with a connection still open (the run ended by a
// key, without fceClose or fceRelease) drops the connection at once, without
// waiting for the server's answer to anything.
class FtpEngine {
 public:
  virtual ~FtpEngine() = default;

  // Makes the given number of channels usable until fceRelease.
  virtual int32_t fceAttach(int32_t channels) = 0;
  // Sets one of the numbered parameters above.
  virtual int32_t fceSetInteger(int32_t channel, int32_t parameter, int32_t value) = 0;
  // The local directory that later transfers read from and write into.
  virtual int32_t fceSetLocalDir(int32_t channel, const std::string& directory) = 0;
  // A fresh login that lasts until fceClose. host is a ServerHost text
  // (engine/server_host.h): plain FTP, FTP over explicit or implicit TLS, or SFTP;
  // the server's key is always verified (the system's certificate store, known
  // hosts or a pin), and a secure form is never tried in clear text instead.
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
  // (by its size there, else by reading it back), then the new one: never a part.
  // The old copy is kept in the server directory's history (zuno-history/, its name
  // with the UTC time of the replacement; the newest ten of each file). 0: done;
  // 1: done, but the server keeps no history directory.
  virtual int32_t fcePutFile(int32_t channel, const std::string& name) = 0;
  // Before an upload replaces the server file, compares it with what this run saw
  // of it. 0: unchanged since the download (the same size and modification time;
  // where the server tells no time, the same bytes; absent then and absent now).
  // 1: changed since the download, or made while this run found none: another
  // machine has uploaded meanwhile. 2: unchanged, but the local file of that name
  // is empty and the server file is not. Negative: the server could not tell.
  virtual int32_t fceCheckServerCopy(int32_t channel, const std::string& name) = 0;
  // Sends the local file of that name beside the server file, under a conflict name
  // that holds the name, this machine's host name and the UTC time; the server file
  // stays as it is. The conflict name is written, zero-terminated, into the buffer.
  virtual int32_t fcePutConflictCopy(int32_t channel, const std::string& name, char* conflict_name,
                                     int32_t size) = 0;
  // Ends the login.
  virtual int32_t fceClose(int32_t channel) = 0;
  // Writes a zero-terminated message for the code into the buffer (size bytes).
  virtual int32_t fceErrorText(int32_t channel, int32_t code, char* buffer, int32_t size) = 0;
  // Ends all use of the engine.
  virtual int32_t fceRelease() = 0;
};

// The engine of this build. stop is asked every few milliseconds while a call waits
// on the network; null never stops a call.
std::unique_ptr<FtpEngine> MakeFtpEngine(StopCheck stop = nullptr);

}  // namespace zuno
