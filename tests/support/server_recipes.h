#pragma once

// The engine tests' servers, made the same way for the Linux test binary (which
// starts them as it needs them) and for the Windows one (whose servers
// tests/servers/windows_test_servers.cc starts before the tests). Linux only.

#include <memory>
#include <string>
#include <vector>

#include "tests/support/ftp_servers.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_servers.h"

namespace zuno::testing {

// A server started from a recipe, with the files it owns.
struct StartedServer {
  TempDir files;         // the server's directories
  TempDir certificates;  // TLS: its throwaway CA and certificate
  TestCertificate certificate;
  std::unique_ptr<FtpServer> server;

  // How a test sees it.
  TestServer Describe(const std::string& name) const;
};

// The names of every recipe, in the order in which they are best started.
const std::vector<std::string>& ServerRecipeNames();

// Starts the named recipe. Null when it cannot be started: skip set when this
// machine cannot run such a server (no root, no IPv6 loopback), else error says why.
std::unique_ptr<StartedServer> StartServerRecipe(const std::string& name, std::string* error,
                                                 bool* skip);

}  // namespace zuno::testing
