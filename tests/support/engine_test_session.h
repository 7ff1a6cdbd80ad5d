#pragma once

// Helpers shared by the engine's tests against real servers.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <string>

#include "engine/curl_engine.h"
#include "engine/engine_errors.h"
#include "engine/engine_test_helpers.h"
#include "tests/support/ftp_servers.h"
#include "tests/support/temp_dir.h"

namespace zuno::testing {

// A fresh directory inside the login directory that the server's account may
// write in: owned like the login directory (for vsftpd that is the account).
inline std::filesystem::path ServerSubdirectory(const FtpServer& server, const std::string& name) {
  const std::filesystem::path directory = server.login_dir() / name;
  std::filesystem::create_directories(directory);
  struct stat login;
  if (stat(server.login_dir().c_str(), &login) == 0) {
    EXPECT_EQ(chown(directory.c_str(), login.st_uid, login.st_gid), 0);
  }
  return directory;
}

// The curl engine on channel 0, attached and given the test limits the way the
// driver sets its own.
class EngineSession {
 public:
  EngineSession() : engine_(MakeCurlEngine()) {
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

  int32_t Connect(const FtpServer& server) {
    return engine_->fceConnect(0, server.pinned_host_text(), server.user(), server.password());
  }
  // Local directory, connect, server directory and binary mode: how a pass begins.
  void Open(const FtpServer& server, const std::filesystem::path& local,
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

}  // namespace zuno::testing
