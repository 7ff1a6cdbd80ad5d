#include "tests/support/server_recipes.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace zuno::testing {
namespace {

enum class Kind { kPyFtpd, kVsftpd, kSshd };

struct Recipe {
  Kind kind = Kind::kPyFtpd;
  FtpTls tls = FtpTls::kNone;
  // Changes to the server's options beyond the plain ones.
  std::function<void(PyFtpdOptions&)> pyftpd;
  std::function<void(VsftpdOptions&)> vsftpd;
  bool ipv6 = false;
};

// Servers that only one test uses, so that it can read their logs alone, carry
// that test's purpose in their names.
const std::vector<std::pair<std::string, Recipe>>& Recipes() {
  static const auto* recipes = new std::vector<std::pair<std::string, Recipe>>{
      {"pyftpd", {}},
      {"vsftpd", {.kind = Kind::kVsftpd}},
      {"pyftpd-tls", {.tls = FtpTls::kExplicit}},
      {"vsftpd-tls", {.kind = Kind::kVsftpd, .tls = FtpTls::kExplicit}},
      {"vsftpd-implicit-tls", {.kind = Kind::kVsftpd, .tls = FtpTls::kImplicit}},
      {"sshd", {.kind = Kind::kSshd}},
      {"tls-key-check", {.tls = FtpTls::kExplicit}},
      {"sshd-key-check", {.kind = Kind::kSshd}},
      {"sshd-other-key", {.kind = Kind::kSshd}},
      {"pyftpd-logins", {}},
      {"pyftpd-without-tls", {}},
      {"vsftpd-without-tls",
       {.kind = Kind::kVsftpd,
        .vsftpd = [](VsftpdOptions& options) { options.log_protocol = true; }}},
      {"drop-retr",
       {.pyftpd = [](PyFtpdOptions& options) { options.drop_download_after = 64 * 1024; }}},
      {"stall-retr",
       {.pyftpd = [](PyFtpdOptions& options) { options.stall_download_after = 64 * 1024; }}},
      {"drop-stor",
       {.pyftpd = [](PyFtpdOptions& options) { options.drop_upload_after = 64 * 1024; }}},
      {"silent", {.pyftpd = [](PyFtpdOptions& options) { options.silent = true; }}},
      {"mute-quit", {.pyftpd = [](PyFtpdOptions& options) { options.mute_quit = true; }}},
      {"no-delete", {.pyftpd = [](PyFtpdOptions& options) { options.permissions = "elrw"; }}},
      {"no-size", {.pyftpd = [](PyFtpdOptions& options) { options.no_size = true; }}},
      {"commands-logged", {.pyftpd = [](PyFtpdOptions& options) { options.log_commands = true; }}},
      {"commands-logged-no-mlst",
       {.pyftpd =
            [](PyFtpdOptions& options) {
              options.log_commands = true;
              options.no_mlst = true;
            }}},
      {"no-mlst-no-mdtm",
       {.pyftpd =
            [](PyFtpdOptions& options) {
              options.no_mlst = true;
              options.no_mdtm = true;
            }}},
      {"no-mkdir", {.pyftpd = [](PyFtpdOptions& options) { options.permissions = "elradfw"; }}},
      {"no-size-no-mlst",
       {.pyftpd =
            [](PyFtpdOptions& options) {
              options.no_size = true;
              options.no_mlst = true;
            }}},
      {"idle-421", {.pyftpd = [](PyFtpdOptions& options) { options.idle_timeout_seconds = 0.5; }}},
      {"idle-silent",
       {.pyftpd =
            [](PyFtpdOptions& options) {
              options.idle_timeout_seconds = 0.5;
              options.drop_silently = true;
            }}},
      {"vsftpd-idle",
       {.kind = Kind::kVsftpd,
        .vsftpd = [](VsftpdOptions& options) { options.idle_timeout_seconds = 1; }}},
      {"ipv6", {.ipv6 = true}},
  };
  return *recipes;
}

}  // namespace

TestServer StartedServer::Describe(const std::string& name) const {
  TestServer described;
  described.name = name;
  described.host_text = server->host_text();
  described.user = server->user();
  described.password = server->password();
  described.login_dir = server->login_dir();
  described.login_path = server->login_path();
  described.key_pin = server->key_pin();
  described.known_hosts_line = server->known_hosts_line();
  described.ca_file = certificate.ca_file;
  described.log_dir = server->work_dir();
  return described;
}

const std::vector<std::string>& ServerRecipeNames() {
  static const auto* names = [] {
    auto* names = new std::vector<std::string>();
    for (const auto& [name, recipe] : Recipes()) names->push_back(name);
    return names;
  }();
  return *names;
}

std::unique_ptr<StartedServer> StartServerRecipe(const std::string& name, std::string* error,
                                                 bool* skip) {
  *skip = false;
  const Recipe* recipe = nullptr;
  for (const auto& [known, candidate] : Recipes()) {
    if (known == name) recipe = &candidate;
  }
  if (recipe == nullptr) {
    *error = "no server recipe \"" + name + "\"";
    return nullptr;
  }
  std::string why;
  if ((recipe->kind == Kind::kVsftpd && !FtpServer::CanRunVsftpd(&why)) ||
      (recipe->kind == Kind::kSshd && !FtpServer::CanRunSshd(&why)) ||
      (recipe->ipv6 && FindFreeLoopbackPort(true) == 0 && (why = "no IPv6 loopback here", true))) {
    *error = why;
    *skip = true;
    return nullptr;
  }
  auto started = std::make_unique<StartedServer>();
  if (recipe->tls != FtpTls::kNone &&
      !MakeTestCertificate(started->certificates.path(), &started->certificate, error)) {
    return nullptr;
  }
  // Neither server has its login directory at "/": pyftpdlib shows root/home/zuno
  // as "/home/zuno", vsftpd and sshd show the real absolute path.
  const std::filesystem::path home = started->files.path() / "root" / "home" / "zuno";
  std::filesystem::create_directories(home);
  switch (recipe->kind) {
    case Kind::kPyFtpd: {
      PyFtpdOptions options;
      options.root = started->files.path() / "root";
      options.login_dir = home;
      options.ipv6 = recipe->ipv6;
      options.tls_certificate = started->certificate.server_pem;
      options.tls_pin = started->certificate.pin;
      if (recipe->pyftpd) recipe->pyftpd(options);
      started->server = FtpServer::StartPyFtpd(options, error);
      break;
    }
    case Kind::kVsftpd: {
      VsftpdOptions options;
      options.login_dir = home;
      options.tls = recipe->tls;
      options.tls_certificate = started->certificate.server_pem;
      options.tls_pin = started->certificate.pin;
      if (recipe->vsftpd) recipe->vsftpd(options);
      started->server = FtpServer::StartVsftpd(options, error);
      // A directory that the server's account may read but not change.
      const std::filesystem::path locked = home / "locked";
      std::filesystem::create_directory(locked);
      if (chown(locked.c_str(), 0, 0) != 0 || chmod(locked.c_str(), 0755) != 0) {
        *error = "cannot lock " + locked.string();
        return nullptr;
      }
      break;
    }
    case Kind::kSshd: {
      SshdOptions options;
      options.login_dir = home;
      started->server = FtpServer::StartSshd(options, error);
      break;
    }
  }
  if (started->server == nullptr) return nullptr;
  return started;
}

}  // namespace zuno::testing
