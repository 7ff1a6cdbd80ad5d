#pragma once

#include <string>

#include "driver/run_state.h"
#include "services/path_separator.h"
#include "tests/support/fakes.h"

namespace zuno::testing {

// The eight values of a configuration that the driver tests run with.
struct TestConfig {
  std::string server_host = "192.0.2.10";
  std::string user_name = "sync";
  std::string password = "pa55 w0rd";
  std::string local_dir = "/home/u/profile";
  std::string server_dir = "/bookmarks";
  std::string local_file = "bookmarks.html";
  std::string server_file = "bookmarks-shared.html";
  std::string browser_command = "firefox --new-window";

  // The configuration file's text, with a comment line first.
  std::string FileText() const;
  // A run whose configuration has been read.
  RunState State() const;
  // A file in the local directory, as the upload pass joins them.
  std::string LocalPath(const std::string& name) const { return local_dir + kPathSeparator + name; }
  std::string ConnectingLine() const {
    return "Connecting to " + server_host + " as user '" + user_name + "' ...";
  }
};

inline constexpr const char* kConfigPath = "/home/u/zuno.cfg";

}  // namespace zuno::testing
