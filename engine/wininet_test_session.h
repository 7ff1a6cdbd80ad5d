#pragma once

// Helpers shared by the WinINet engine's tests against the servers that the test
// script started (tests/support/ftp_server_list.h).

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <string>

#include "engine/engine_errors.h"
#include "engine/engine_test_helpers.h"
#include "engine/wininet_engine.h"
#include "tests/support/ftp_server_list.h"
#include "tests/support/temp_dir.h"

namespace zuno::testing {

// The test's own name, fit for a directory name.
inline std::string TestDirectoryName() {
  std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
  const std::string suite =
      ::testing::UnitTest::GetInstance()->current_test_info()->test_suite_name();
  name = suite + "-" + name;
  for (char& c : name) {
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '-';
  }
  return name;
}

// The WinINet engine on channel 0, attached and given the test limits the way the
// driver sets its own.
class EngineSession {
 public:
  EngineSession() : engine_(MakeWinInetEngine()) {
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

  int32_t Connect(const ListedFtpServer& server) {
    return engine_->fceConnect(0, server.host_text, server.user, server.password);
  }
  // Local directory, connect, server directory and binary mode: how a pass begins.
  void Open(const ListedFtpServer& server, const std::filesystem::path& local,
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

// A test against one of the listed servers, in a server directory of its own
// inside the login directory. Without a list at all the test is skipped; a list
// that lacks the server fails it.
class ListedServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!FtpServerListGiven()) GTEST_SKIP() << "no FTP servers were started for these tests";
  }
  void UseServer(const std::string& name) {
    std::string error;
    server_ = FindListedFtpServer(name, &error);
    ASSERT_NE(server_, nullptr) << error;
    dir_name_ = TestDirectoryName();
    server_dir_ = server_->login_dir / dir_name_;
    std::error_code failure;
    std::filesystem::remove_all(server_dir_, failure);
    std::filesystem::create_directories(server_dir_);
  }
  const ListedFtpServer& server() const { return *server_; }

  const ListedFtpServer* server_ = nullptr;
  std::string dir_name_;              // the test's own server directory, relative
  std::filesystem::path server_dir_;  // ... and where it lies on the disk
  TempDir local_;
  EngineSession engine_;
};

}  // namespace zuno::testing
