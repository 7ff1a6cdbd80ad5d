#include "tests/support/test_servers.h"

#include <gtest/gtest.h>

#include <cctype>
#include <string>

#include "tests/support/temp_dir.h"

namespace zuno::testing {

std::string TestServer::log_text() const {
  // vsftpd writes the commands it was sent into a log of their own.
  return ReadWholeFile(log_dir / "server.log") + ReadWholeFile(log_dir / "protocol.log");
}

std::string TestDirectoryName() {
  const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string name = std::string(test->test_suite_name()) + "-" + test->name();
  for (char& c : name) {
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '-';
  }
  return name;
}

}  // namespace zuno::testing
