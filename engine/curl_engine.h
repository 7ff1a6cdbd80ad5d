#pragma once

#include <memory>

#include "engine/ftp_engine.h"

namespace zuno {

// The FTP engine on libcurl.
//
// Parameters of fceSetInteger (every value must be 1 or more; another number, or a
// value below 1, gives a negative result and changes nothing). Each has the value
// shown when never set; a change applies from the next request to the server on.
//
//   1   80000  Connect-and-login limit, ms: the longest time from the start of a
//              request until the control connection is open and logged in. libcurl
//              applies the same limit, counted from the start of the request, to
//              opening a passive data connection.
//   3   80000  Reply limit, ms (whole seconds, rounded up): the longest wait for any
//              one reply of the server, the greeting and the answer to QUIT
//              included.
//   5   80000  Stall time, ms (whole seconds, rounded up): a request during which
//              fewer bytes per second than parameter 10 move for this long fails,
//              time spent waiting for replies included.
//              libcurl measures the rate over the last five seconds, so a transfer
//              that stops dead fails about five seconds after this time.
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
// Results: fceAttach gives the number of channels; fceGetList kind 3 gives 1 for a
// file that is there and 0 for a file that is not; the other calls give 0. Failure
// codes are in engine/engine_errors.h; fceErrorText adds to the meaning of a code
// the detail of its latest failure, with the server's reply where there was one.
// stop is asked every few milliseconds while a call waits on the network; null
// never stops a call.
std::unique_ptr<FtpEngine> MakeCurlEngine(StopCheck stop = nullptr);

}  // namespace zuno
