#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/ftp_server_list.h"

namespace zuno::testing {
namespace {

constexpr char kListVariable[] = "ZUNO_TEST_FTP_SERVERS";

std::vector<std::string> Fields(const std::string& line) {
  std::vector<std::string> fields;
  std::string field;
  std::istringstream in(line);
  while (std::getline(in, field, '\t')) fields.push_back(field);
  return fields;
}

struct ServerList {
  std::map<std::string, ListedFtpServer> servers;
  std::string problem;
};

const ServerList& Servers() {
  static const ServerList* list = [] {
    auto* list = new ServerList;
    const char* file = std::getenv(kListVariable);
    if (file == nullptr || *file == '\0') {
      list->problem = std::string(kListVariable) + " names no list of FTP servers";
      return list;
    }
    std::ifstream in(file);
    if (!in) {
      list->problem = std::string("cannot read the list of FTP servers ") + file;
      return list;
    }
    std::string line;
    while (std::getline(in, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      const std::vector<std::string> fields = Fields(line);
      if (fields.size() != 6) continue;
      list->servers[fields[0]] = {fields[0], fields[1], fields[2], fields[3], fields[4], fields[5]};
    }
    return list;
  }();
  return *list;
}

}  // namespace

bool FtpServerListGiven() {
  const char* file = std::getenv(kListVariable);
  return file != nullptr && *file != '\0';
}

const ListedFtpServer* FindListedFtpServer(const std::string& name, std::string* error) {
  const ServerList& list = Servers();
  const auto found = list.servers.find(name);
  if (found != list.servers.end()) return &found->second;
  *error = list.problem.empty() ? "the list of FTP servers has no server \"" + name + "\""
                                : list.problem;
  return nullptr;
}

std::string HostPath(const std::string& path) {
  if (path.empty() || path.front() != '/') return path;
  std::string windows = "Z:" + path;
  for (char& c : windows) {
    if (c == '/') c = '\\';
  }
  return windows;
}

}  // namespace zuno::testing
