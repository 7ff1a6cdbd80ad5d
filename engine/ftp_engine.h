#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace zuno {

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
// other operations give 0.
//
// Channels: operations that take a channel are given channel 0; another channel,
// or any call but fceAttach before it or after fceRelease, fails.
//
// Texts: host, user, password, directory, file names and transfer texts are taken
// whole and exactly as given, however long: nothing is cut, trimmed or unquoted. A
// name that would reach outside the server directory ("/", "..") or that carries a
// line break is refused.
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
//              one reply of the server, the greeting and the answer to QUIT
//              included.
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
// With the values above, a server that stops answering, a data connection that
// stops moving, or an unanswered QUIT make the call fail (fceClose: end the
// connection and succeed) within about 80 seconds.
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
  // the server's key is always verified (system certificate store, known hosts or
  // a pin), and a secure form is never tried in clear text instead.
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
  // "ServerName:LocalName" (split at the first colon): stores the server file in the
  // local directory under the local name, replacing that file only after a complete
  // transfer.
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

// The engine of this build.
std::unique_ptr<FtpEngine> MakeFtpEngine();

}  // namespace zuno
