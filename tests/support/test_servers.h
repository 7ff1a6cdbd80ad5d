#pragma once

// The servers on loopback that the engine's contract tests talk to, each known by
// the name of its recipe (tests/support/server_recipes.h): "pyftpd", "vsftpd",
// "pyftpd-tls", "vsftpd-tls", "vsftpd-implicit-tls", "sshd", and the faulty ones.
//
// The Linux test binary starts a server on its first use and keeps it until the
// process ends. The Windows test binary runs under Wine and cannot start Linux
// programs; there the servers were started before the tests by
// tests/servers/windows_test_servers.cc, which wrote their list into the file that
// the environment variable ZUNO_TEST_FTP_SERVERS names. Either way a test sees
// the same server, and works in a directory of its own inside the login directory.

#include <filesystem>
#include <set>
#include <string>

namespace zuno::testing {

struct TestServer {
  std::string name;
  // For ServerHost: "127.0.0.1:port" or "[::1]:port", after "ftpes://", "ftps://" or
  // "sftp://" for a server with TLS or SSH.
  std::string host_text;
  std::string user;
  std::string password;
  // The login directory as this process reaches it, and as the server names it.
  std::filesystem::path login_dir;
  std::string login_path;
  // The server key's pin as ServerHost takes it after '#' ("sha256:..." for TLS,
  // "SHA256:..." for SSH); empty for plain FTP.
  std::string key_pin;
  // SSH: the server's line for a known_hosts file, with its line end.
  std::string known_hosts_line;
  // TLS: the certificate of the throwaway CA that signed the server's certificate
  // (PEM). That CA is in no trust store.
  std::filesystem::path ca_file;
  // Where the server writes its logs.
  std::filesystem::path log_dir;

  // host_text with the pin after '#' when there is one.
  std::string pinned_host_text() const {
    return key_pin.empty() ? host_text : host_text + "#" + key_pin;
  }
  // What the server has logged so far (pyftpdlib: one line per session event, such
  // as "USER 'zuno' logged in."; vsftpd with its protocol log: every command; sshd:
  // its own lines, such as "Accepted password").
  std::string log_text() const;
};

// The named server; null when it is not at hand here. Then skip is set when that
// is how this machine is (no root for the servers' accounts, no list of servers
// for the Windows tests), else error says what went wrong.
const TestServer* FindTestServer(const std::string& name, std::string* error, bool* skip);

// A fresh directory of that name inside the server's login directory, which the
// server's account may write in. Any earlier content is removed.
std::filesystem::path MakeServerDirectory(const TestServer& server, const std::string& name);

// A file in a server's directory, by the bytes of the name that the server shows
// and takes. Under Wine the Linux side's names are UTF-8, which a narrow Windows path
// would read in the ANSI code page instead.
inline std::filesystem::path ServerFile(const std::filesystem::path& directory,
                                        const std::string& name) {
#ifdef _WIN32
  return directory / std::filesystem::path(std::u8string(name.begin(), name.end()));
#else
  return directory / name;
#endif
}

// The names in a server's directory, as the server shows them.
inline std::set<std::string> ServerNamesIn(const std::filesystem::path& directory) {
  std::set<std::string> names;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(directory, error)) {
    const std::u8string name = entry.path().filename().u8string();
    names.insert(std::string(name.begin(), name.end()));
  }
  return names;
}

// A TCP port on 127.0.0.1 that nothing listens on at the moment of the call; 0 when
// none could be found.
int UnusedLoopbackPort();
// Whether this system has the IPv6 loopback address.
bool HasIpv6Loopback();

// The test's own name ("Suite-Test-param"), fit for a file name.
std::string TestDirectoryName();

}  // namespace zuno::testing
