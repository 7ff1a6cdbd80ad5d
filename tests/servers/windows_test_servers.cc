// Starts the loopback servers that the Windows tests under Wine use — every recipe
// of tests/support/server_recipes.h — writes their list (read by
// tests/support/test_servers_win32.cc) and keeps them until SIGTERM or SIGINT, or
// until the given number of seconds has passed (default 3600), so that servers left
// behind by an interrupted test run end by themselves. Built and run on Linux:
//   windows_test_servers LIST-FILE [SECONDS]
// The list is written under a temporary name and renamed when complete.

#include <signal.h>
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/server_recipes.h"

namespace {

using zuno::testing::StartedServer;
using zuno::testing::TestServer;

std::string WinePath(const std::filesystem::path& path) {
  if (path.empty()) return "";
  std::string text = "Z:" + path.string();
  for (char& c : text) {
    if (c == '/') c = '\\';
  }
  return text;
}

// One field of the list: "-" stands for the empty text.
std::string Field(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text.empty() ? "-" : text;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 && argc != 3) {
    std::fprintf(stderr, "usage: %s LIST-FILE [SECONDS]\n", argv[0]);
    return 2;
  }
  const long lifetime = argc == 3 ? std::atol(argv[2]) : 3600;
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGINT);
  sigprocmask(SIG_BLOCK, &stop, nullptr);

  std::vector<std::unique_ptr<StartedServer>> started;
  std::string list_text;
  for (const std::string& name : zuno::testing::ServerRecipeNames()) {
    std::string error;
    bool skip = false;
    std::unique_ptr<StartedServer> server = zuno::testing::StartServerRecipe(name, &error, &skip);
    if (server == nullptr) {
      std::fprintf(stderr, "%s: %s\n", name.c_str(), error.c_str());
      if (!skip) return 1;
      list_text += "#skip\t" + name + "\t" + Field(error) + "\n";
      continue;
    }
    const TestServer seen = server->Describe(name);
    const std::vector<std::string> fields = {seen.name,
                                             seen.host_text,
                                             seen.user,
                                             seen.password,
                                             WinePath(seen.login_dir),
                                             seen.login_path,
                                             seen.key_pin,
                                             seen.known_hosts_line,
                                             WinePath(seen.ca_file),
                                             WinePath(seen.log_dir)};
    for (size_t i = 0; i < fields.size(); ++i) {
      list_text += (i == 0 ? "" : "\t") + Field(fields[i]);
    }
    list_text += "\n";
    started.push_back(std::move(server));
  }

  const std::string list = argv[1];
  {
    std::ofstream out(list + ".partial", std::ios::trunc);
    out << list_text;
    if (!out) return 1;
  }
  std::filesystem::rename(list + ".partial", list);

  const timespec limit = {lifetime, 0};
  sigtimedwait(&stop, nullptr, &limit);
  return 0;
}
