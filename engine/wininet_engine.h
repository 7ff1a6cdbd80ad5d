#pragma once

#include <memory>

#include "engine/ftp_engine.h"

namespace zuno {

// The FTP engine on Windows' own FTP client, WinINet.
//
// Operations, results and failure codes are those of the libcurl engine
// (engine/curl_engine.h, engine/engine_errors.h), and so are the parameters of
// fceSetInteger: 1 connect-and-login limit, 3 reply limit, 5 stall time, 10 stall
// threshold in bytes per second, 13 data-connection limit (the engine asks for
// passive mode, so it is only kept). They are handed to WinINet as its own
// timeouts, and each WinINet call is also watched from outside: a call that
// outlives its limit is cancelled, and a download whose bytes stop moving counts
// as stalled. An upload's bytes cannot be counted on the way; it may take as long
// as its size needs at the stall threshold's rate, plus one stall time.
//
// Server hosts are "host", "host:port", "[IPv6]" or "[IPv6]:port"; a host given
// with a scheme (ftp://, ftps://, ftpes://, sftp://) is refused, never spoken to
// in plain FTP instead.
std::unique_ptr<FtpEngine> MakeWinInetEngine();

}  // namespace zuno
