#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <system_error>

#include "tests/support/engine_test_session.h"
#include "tests/support/ftp_servers.h"
#include "tests/support/server_recipes.h"
#include "tests/support/test_servers.h"

namespace zuno::testing {
namespace {

struct Entry {
  std::unique_ptr<StartedServer> started;
  TestServer server;
  std::string error;
  bool skip = false;
};

}  // namespace

const TestServer* FindTestServer(const std::string& name, std::string* error, bool* skip) {
  // Kept until the process ends; their destruction stops the servers and removes
  // their accounts.
  static std::map<std::string, Entry> servers;
  auto [found, fresh] = servers.try_emplace(name);
  Entry& entry = found->second;
  if (fresh) {
    entry.started = StartServerRecipe(name, &entry.error, &entry.skip);
    if (entry.started != nullptr) entry.server = entry.started->Describe(name);
  }
  if (entry.started == nullptr) {
    *error = name + ": " + entry.error;
    *skip = entry.skip;
    return nullptr;
  }
  return &entry.server;
}

std::filesystem::path MakeServerDirectory(const TestServer& server, const std::string& name) {
  const std::filesystem::path directory = server.login_dir / name;
  std::error_code ignored;
  std::filesystem::remove_all(directory, ignored);
  std::filesystem::create_directories(directory);
  // Owned like the login directory: for vsftpd and sshd that is the server's account.
  struct stat login;
  if (stat(server.login_dir.c_str(), &login) == 0 &&
      chown(directory.c_str(), login.st_uid, login.st_gid) != 0) {
    return {};
  }
  return directory;
}

int UnusedLoopbackPort() { return FindFreeLoopbackPort(false); }

bool HasIpv6Loopback() { return FindFreeLoopbackPort(true) != 0; }

ScopedTrustedCa::ScopedTrustedCa(const std::filesystem::path&)
    : problem_("the system's certificate store is not for a test to change here") {}

ScopedTrustedCa::~ScopedTrustedCa() = default;

}  // namespace zuno::testing
