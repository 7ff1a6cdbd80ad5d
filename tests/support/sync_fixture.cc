#include "tests/support/sync_fixture.h"

namespace zuno::testing {

std::string TestConfig::FileText() const {
  return "#FTP server, user and password\r\n" + server_host + "\r\n" + user_name + "\r\n" +
         password + "\r\n" + local_dir + "\r\n" + server_dir + "\r\n" + local_file + "\r\n" +
         server_file + "\r\n" + browser_command + "\r\n";
}

RunState TestConfig::State() const {
  RunState run;
  run.config.slots = {server_host, user_name,   password,        local_dir, server_dir,
                      local_file,  server_file, browser_command, ""};
  return run;
}

}  // namespace zuno::testing
