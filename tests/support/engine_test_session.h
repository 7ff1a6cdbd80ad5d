#pragma once

// Helpers shared by the engine's contract tests against real servers.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include "engine/engine_errors.h"
#include "engine/ftp_engine.h"
#include "tests/support/engine_test_helpers.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_servers.h"

namespace zuno::testing {

// The engine on channel 0, attached and given the test limits the way the driver
// sets its own.
class EngineSession {
 public:
  EngineSession() : engine_(MakeFtpEngine()) {
    EXPECT_GE(engine_->fceAttach(1), 0);
    EXPECT_EQ(engine_->fceSetInteger(0, 10, 500), 0);
    for (int32_t parameter : {1, 5, 13, 3}) {
      EXPECT_EQ(engine_->fceSetInteger(0, parameter, kTestLimitMs), 0);
    }
  }
  ~EngineSession() { engine_->fceRelease(); }
  EngineSession(const EngineSession&) = delete;
  EngineSession& operator=(const EngineSession&) = delete;

  FtpEngine* operator->() { return engine_.get(); }

  int32_t Connect(const TestServer& server) {
    return engine_->fceConnect(0, server.pinned_host_text(), server.user, server.password);
  }
  // Local directory, connect, server directory and binary mode: how a pass begins.
  void Open(const TestServer& server, const std::filesystem::path& local,
            const std::string& server_dir) {
    ASSERT_EQ(engine_->fceSetLocalDir(0, local.string()), 0);
    const int32_t connected = Connect(server);
    ASSERT_EQ(connected, 0) << Text(connected);
    const int32_t entered = engine_->fceSetServerDir(0, server_dir);
    ASSERT_EQ(entered, 0) << Text(entered);
    ASSERT_EQ(engine_->fceSetMode(0, 'B'), 0);
  }
  // The existence check, with the name in a list buffer as the driver fills it.
  int32_t Check(const std::string& name) {
    char buffer[2048] = {};
    std::memcpy(buffer, name.data(), std::min(name.size(), sizeof(buffer) - 1));
    return engine_->fceGetList(0, 3, buffer, sizeof(buffer));
  }
  // The engine's text for a code, in a buffer of the driver's size.
  std::string Text(int32_t code) {
    char buffer[150];
    std::memset(buffer, 'x', sizeof(buffer));
    engine_->fceErrorText(0, code, buffer, sizeof(buffer));
    if (std::memchr(buffer, '\0', sizeof(buffer)) == nullptr) {
      ADD_FAILURE() << "the text for " << code << " has no end";
      return "";
    }
    return buffer;
  }

 private:
  std::unique_ptr<FtpEngine> engine_;
};

// In the body of an EngineServerTest: picks the named server, and ends the test
// there when the server is not at hand (skipped or failed).
#define USE_TEST_SERVER(name)                                                       \
  do {                                                                              \
    UseServer(name);                                                                \
    if (::testing::Test::IsSkipped() || ::testing::Test::HasFatalFailure()) return; \
  } while (false)

// A test against one of the named servers (tests/support/test_servers.h), in a
// server directory of its own inside the login directory. A server that this
// machine cannot run skips the test; one that should be there and is not fails it.
class EngineServerTest : public ::testing::Test {
 protected:
  void UseServer(const std::string& name) {
    std::string error;
    bool skip = false;
    server_ = FindTestServer(name, &error, &skip);
    if (server_ == nullptr && skip) GTEST_SKIP() << error;
    ASSERT_NE(server_, nullptr) << error;
    dir_name_ = TestDirectoryName();
    server_dir_ = MakeServerDirectory(*server_, dir_name_);
    ASSERT_FALSE(server_dir_.empty()) << "no server directory " << dir_name_;
  }
  const TestServer& server() const { return *server_; }

  const TestServer* server_ = nullptr;
  std::string dir_name_;              // the test's own server directory, relative
  std::filesystem::path server_dir_;  // ... and where it lies on the disk
  TempDir local_;
  EngineSession engine_;
};

// The user's home directory, whose .ssh/known_hosts the engine reads, is the given
// one while this lives: HOME on POSIX, USERPROFILE on Windows.
class ScopedUserHome {
 public:
  explicit ScopedUserHome(const std::filesystem::path& home) {
    if (const char* old = getenv(kVariable)) old_ = old, had_ = true;
    Set(home.string());
    std::filesystem::create_directories(home / ".ssh");
  }
  ~ScopedUserHome() { Set(had_ ? old_ : ""); }
  ScopedUserHome(const ScopedUserHome&) = delete;
  ScopedUserHome& operator=(const ScopedUserHome&) = delete;

 private:
#ifdef _WIN32
  static constexpr char kVariable[] = "USERPROFILE";
  static void Set(const std::string& value) { _putenv_s(kVariable, value.c_str()); }
#else
  static constexpr char kVariable[] = "HOME";
  static void Set(const std::string& value) {
    if (value.empty()) {
      unsetenv(kVariable);
    } else {
      setenv(kVariable, value.c_str(), 1);
    }
  }
#endif
  std::string old_;
  bool had_ = false;
};

// The system trusts the CA certificate (PEM) for as long as this lives, where a test
// may change what the system trusts: the user's ROOT store of Windows (Wine's, under
// the tests). Elsewhere available() is false and problem() says why.
class ScopedTrustedCa {
 public:
  explicit ScopedTrustedCa(const std::filesystem::path& ca_file);
  ~ScopedTrustedCa();
  ScopedTrustedCa(const ScopedTrustedCa&) = delete;
  ScopedTrustedCa& operator=(const ScopedTrustedCa&) = delete;

  bool available() const { return problem_.empty(); }
  const std::string& problem() const { return problem_; }

 private:
  std::string key_;  // where the certificate stands in the store
  std::string problem_;
};

}  // namespace zuno::testing
