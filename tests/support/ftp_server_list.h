#pragma once

#include <filesystem>
#include <string>

namespace zuno::testing {

// An FTP server on loopback that the test script started before the Windows tests,
// described in the file that the environment variable ZUNO_TEST_FTP_SERVERS names:
// one server a line, its fields separated by tabs in the order below.
struct ListedFtpServer {
  std::string name;       // what it is for: "pyftpd", "vsftpd", "stall-retr", ...
  std::string host_text;  // for ServerHost: "127.0.0.1:port" or "[::1]:port"
  std::string user;
  std::string password;
  std::filesystem::path login_dir;  // the login directory, as this system reaches it
  std::string login_path;           // the login directory as the server names it (PWD)
};

// Whether the script handed over a list of servers at all.
bool FtpServerListGiven();

// The server of that name, or null with the reason.
const ListedFtpServer* FindListedFtpServer(const std::string& name, std::string* error);

// A path of the Linux side (the source tree, the build) as Windows programs under
// Wine reach it: "/work/x" becomes "Z:\work\x". Other paths stay as they are.
std::string HostPath(const std::string& path);

}  // namespace zuno::testing
