#include <winsock2.h>
#include <ws2tcpip.h>
// After the socket headers, which must come first.
#include <fcntl.h>
#include <io.h>
#include <wincrypt.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include "tests/support/engine_test_session.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_servers.h"
#include "tests/support/wine_paths.h"

namespace zuno::testing {
namespace {

constexpr char kListVariable[] = "ZUNO_TEST_FTP_SERVERS";

// The test program's report ends its lines with LF alone, as on Linux: ctest reads the
// list of tests from it (--gtest_list_tests) and takes a CR for part of a name.
[[maybe_unused]] const bool kReportInLinuxLines = [] {
  std::fflush(stdout);
  return _setmode(_fileno(stdout), _O_BINARY) != -1;
}();

std::vector<std::string> Fields(const std::string& line) {
  std::vector<std::string> fields;
  std::string field;
  std::istringstream in(line);
  while (std::getline(in, field, '\t')) fields.push_back(field == "-" ? "" : field);
  return fields;
}

struct ServerList {
  std::map<std::string, TestServer> servers;
  std::map<std::string, std::string> skipped;  // name: why this machine has none
  std::string problem;                         // why there is no list at all
  bool given = false;
};

// The list that windows_test_servers wrote: one server a line, its fields
// separated by tabs in the order of TestServer, "-" for an empty field; and
// "#skip", name and reason for a server that this machine cannot run.
const ServerList& Servers() {
  static const ServerList* list = [] {
    auto* list = new ServerList;
    const char* file = std::getenv(kListVariable);
    if (file == nullptr || *file == '\0') {
      list->problem = std::string(kListVariable) + " names no list of test servers";
      return list;
    }
    list->given = true;
    // A Linux path (as ctest gives it) is reached through Wine's drive Z:.
    std::ifstream in(HostPath(file));
    if (!in) {
      list->problem = std::string("cannot read the list of test servers ") + file;
      return list;
    }
    std::string line;
    while (std::getline(in, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      const std::vector<std::string> fields = Fields(line);
      if (fields.size() == 3 && fields[0] == "#skip") {
        list->skipped[fields[1]] = fields[2];
        continue;
      }
      if (fields.size() != 10) continue;
      TestServer server;
      server.name = fields[0];
      server.host_text = fields[1];
      server.user = fields[2];
      server.password = fields[3];
      server.login_dir = fields[4];
      server.login_path = fields[5];
      server.key_pin = fields[6];
      server.known_hosts_line = fields[7].empty() ? "" : fields[7] + "\n";
      server.ca_file = fields[8];
      server.log_dir = fields[9];
      list->servers[server.name] = server;
    }
    return list;
  }();
  return *list;
}

// Winsock, started once for the helpers below.
bool StartWinsock() {
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started;
}

// Binds a socket to the loopback address and any free port; that port, or 0.
int BoundLoopbackPort(bool ipv6) {
  if (!StartWinsock()) return 0;
  const SOCKET socket = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (socket == INVALID_SOCKET) return 0;
  sockaddr_storage address = {};
  int length = 0;
  if (ipv6) {
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&address);
    in6->sin6_family = AF_INET6;
    in6->sin6_addr = in6addr_loopback;
    length = sizeof(sockaddr_in6);
  } else {
    auto* in4 = reinterpret_cast<sockaddr_in*>(&address);
    in4->sin_family = AF_INET;
    in4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    length = sizeof(sockaddr_in);
  }
  int port = 0;
  if (bind(socket, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
      getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(ipv6 ? reinterpret_cast<sockaddr_in6*>(&address)->sin6_port
                      : reinterpret_cast<sockaddr_in*>(&address)->sin_port);
  }
  closesocket(socket);
  return port;
}

}  // namespace

const TestServer* FindTestServer(const std::string& name, std::string* error, bool* skip) {
  const ServerList& list = Servers();
  *skip = false;
  if (const auto found = list.servers.find(name); found != list.servers.end()) {
    return &found->second;
  }
  if (!list.given) {
    *skip = true;
    *error = list.problem;
  } else if (const auto skipped = list.skipped.find(name); skipped != list.skipped.end()) {
    *skip = true;
    *error = name + ": " + skipped->second;
  } else {
    *error = list.problem.empty() ? "the list of test servers has no server \"" + name + "\""
                                  : list.problem;
  }
  return nullptr;
}

std::filesystem::path MakeServerDirectory(const TestServer& server, const std::string& name) {
  // The servers' accounts may write in it: the test script lets Wine create
  // everything open to all.
  const std::filesystem::path directory = server.login_dir / name;
  std::error_code ignored;
  std::filesystem::remove_all(directory, ignored);
  std::filesystem::create_directories(directory);
  return directory;
}

int UnusedLoopbackPort() { return BoundLoopbackPort(false); }

bool HasIpv6Loopback() { return BoundLoopbackPort(true) != 0; }

// Windows keeps the user's trusted roots in the registry, one key per certificate
// named by its SHA-1 thumbprint, whose value "Blob" holds the certificate as a
// property of the store: property 32 (the encoded certificate), 1, its length, its
// bytes. Wine reads the store from there, and forgets a certificate only when its
// key goes (removing it through the store's functions does not last).
ScopedTrustedCa::ScopedTrustedCa(const std::filesystem::path& ca_file) {
  const std::string pem = ReadWholeFile(ca_file);
  DWORD size = 0;
  if (pem.empty() || !CryptStringToBinaryA(pem.c_str(), 0, CRYPT_STRING_BASE64HEADER, nullptr,
                                           &size, nullptr, nullptr)) {
    problem_ = "cannot read the CA certificate " + ca_file.string();
    return;
  }
  std::vector<BYTE> der(size);
  CryptStringToBinaryA(pem.c_str(), 0, CRYPT_STRING_BASE64HEADER, der.data(), &size, nullptr,
                       nullptr);
  der.resize(size);
  BYTE hash[20];
  DWORD hash_size = sizeof(hash);
  if (!CryptHashCertificate(0, CALG_SHA1, 0, der.data(), size, hash, &hash_size)) {
    problem_ = "cannot hash the CA certificate";
    return;
  }
  std::string thumbprint;
  for (DWORD i = 0; i < hash_size; ++i) {
    static const char kHex[] = "0123456789ABCDEF";
    thumbprint += kHex[hash[i] >> 4];
    thumbprint += kHex[hash[i] & 15];
  }
  std::vector<BYTE> blob = {32, 0, 0, 0, 1, 0, 0, 0};
  for (int shift = 0; shift < 32; shift += 8) blob.push_back(static_cast<BYTE>(size >> shift));
  blob.insert(blob.end(), der.begin(), der.end());
  const std::string key =
      "Software\\Microsoft\\SystemCertificates\\Root\\Certificates\\" + thumbprint;
  HKEY opened = nullptr;
  if (RegCreateKeyExA(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                      &opened, nullptr) != ERROR_SUCCESS) {
    problem_ = "cannot create the registry key " + key;
    return;
  }
  const LONG set =
      RegSetValueExA(opened, "Blob", 0, REG_BINARY, blob.data(), static_cast<DWORD>(blob.size()));
  RegCloseKey(opened);
  key_ = key;
  if (set != ERROR_SUCCESS) problem_ = "cannot write the registry value " + key + "\\Blob";
}

ScopedTrustedCa::~ScopedTrustedCa() {
  if (!key_.empty()) RegDeleteKeyA(HKEY_CURRENT_USER, key_.c_str());
}

}  // namespace zuno::testing
