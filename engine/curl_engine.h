#pragma once

#include <memory>

#include "engine/ftp_engine.h"

namespace zuno {

// The FTP engine on libcurl.
std::unique_ptr<FtpEngine> MakeCurlEngine();

}  // namespace zuno
