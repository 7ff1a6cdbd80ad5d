// Starts the loopback FTP servers that the Windows tests under Wine use, writes
// their list (see tests/support/ftp_server_list.h) and keeps them until SIGTERM or
// SIGINT. Built and run on Linux by scripts/test-windows:
//   windows_test_servers LIST-FILE
// The list is written under a temporary name and renamed when complete.

#include <signal.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/ftp_servers.h"
#include "tests/support/temp_dir.h"

namespace {

using zuno::testing::FtpServer;
using zuno::testing::PyFtpdOptions;
using zuno::testing::TempDir;
using zuno::testing::VsftpdOptions;

std::string WinePath(const std::filesystem::path& path) {
  std::string text = "Z:" + path.string();
  for (char& c : text) {
    if (c == '/') c = '\\';
  }
  return text;
}

struct Started {
  std::string name;
  std::unique_ptr<TempDir> files;
  std::unique_ptr<FtpServer> server;
};

// Everything below the directory may be written by the servers' accounts: the
// tests make their own directories in it from Wine, as root.
void OpenUp(const std::filesystem::path& directory) {
  std::filesystem::permissions(directory, std::filesystem::perms::all);
}

bool StartPyFtpd(const std::string& name, PyFtpdOptions options, std::vector<Started>& all) {
  Started started{name, std::make_unique<TempDir>(), nullptr};
  const std::filesystem::path home = started.files->path() / "root" / "home" / "zuno";
  std::filesystem::create_directories(home);
  options.root = started.files->path() / "root";
  options.login_dir = home;
  std::string error;
  started.server = FtpServer::StartPyFtpd(options, &error);
  if (started.server == nullptr) {
    std::fprintf(stderr, "%s: %s\n", name.c_str(), error.c_str());
    return false;
  }
  all.push_back(std::move(started));
  return true;
}

bool StartVsftpd(const std::string& name, VsftpdOptions options, std::vector<Started>& all) {
  Started started{name, std::make_unique<TempDir>(), nullptr};
  const std::filesystem::path home = started.files->path() / "home";
  std::filesystem::create_directories(home);
  OpenUp(started.files->path());
  options.login_dir = home;
  std::string error;
  started.server = FtpServer::StartVsftpd(options, &error);
  if (started.server == nullptr) {
    std::fprintf(stderr, "%s: %s\n", name.c_str(), error.c_str());
    return false;
  }
  all.push_back(std::move(started));
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s LIST-FILE\n", argv[0]);
    return 2;
  }
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGINT);
  sigprocmask(SIG_BLOCK, &stop, nullptr);

  std::vector<Started> all;
  bool ok = StartPyFtpd("pyftpd", {}, all);
  PyFtpdOptions options;
  options.drop_download_after = 64 * 1024;
  ok = ok && StartPyFtpd("drop-retr", options, all);
  options = {};
  options.stall_download_after = 64 * 1024;
  ok = ok && StartPyFtpd("stall-retr", options, all);
  options = {};
  options.drop_upload_after = 64 * 1024;
  ok = ok && StartPyFtpd("drop-stor", options, all);
  options = {};
  options.silent = true;
  ok = ok && StartPyFtpd("silent", options, all);
  options = {};
  options.mute_quit = true;
  ok = ok && StartPyFtpd("mute-quit", options, all);
  options = {};
  options.permissions = "elrw";  // no deleting
  ok = ok && StartPyFtpd("no-delete", options, all);
  options = {};
  options.no_size = true;
  ok = ok && StartPyFtpd("no-size", options, all);
  options.no_mlst = true;
  ok = ok && StartPyFtpd("no-size-no-mlst", options, all);
  options = {};
  options.idle_timeout_seconds = 0.5;
  ok = ok && StartPyFtpd("idle-421", options, all);
  options.drop_silently = true;
  ok = ok && StartPyFtpd("idle-silent", options, all);
  if (zuno::testing::FindFreeLoopbackPort(true) != 0) {
    options = {};
    options.ipv6 = true;
    ok = ok && StartPyFtpd("ipv6", options, all);
  }
  std::string why;
  if (FtpServer::CanRunVsftpd(&why)) {
    ok = ok && StartVsftpd("vsftpd", {}, all);
    VsftpdOptions idle;
    idle.idle_timeout_seconds = 1;
    ok = ok && StartVsftpd("vsftpd-idle", idle, all);
  } else {
    std::fprintf(stderr, "no vsftpd servers: %s\n", why.c_str());
  }
  if (!ok) return 1;

  const std::string list = argv[1];
  {
    std::ofstream out(list + ".partial", std::ios::trunc);
    for (const Started& started : all) {
      const FtpServer& server = *started.server;
      out << started.name << '\t' << server.host_text() << '\t' << server.user() << '\t'
          << server.password() << '\t' << WinePath(server.login_dir()) << '\t'
          << server.login_path() << '\n';
    }
    if (!out) return 1;
  }
  std::filesystem::rename(list + ".partial", list);

  int signal_number = 0;
  sigwait(&stop, &signal_number);
  return 0;
}
