#pragma once

#include <sys/types.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"

namespace zuno::testing {

// A TCP port on the loopback address (127.0.0.1, or ::1) that nothing listens on
// at the moment of the call; 0 when none could be found.
int FindFreeLoopbackPort(bool ipv6 = false);

// A throwaway certificate authority and a server certificate it signed, made with
// openssl for 127.0.0.1, ::1 and localhost. The CA is in no trust store.
struct TestCertificate {
  std::string ca_file;     // the CA's certificate (PEM)
  std::string server_pem;  // the server's certificate followed by its key (PEM)
  std::string pin;         // the server key's pin as ServerHost takes it: "sha256:..."
};
// Writes the files into directory; false with the reason when openssl fails.
bool MakeTestCertificate(const std::filesystem::path& directory, TestCertificate* certificate,
                         std::string* error);

// How an FTP server speaks.
enum class FtpTls { kNone, kExplicit, kImplicit };

// A pyftpdlib server (tests/servers/pyftpd_server.py) and how it misbehaves.
struct PyFtpdOptions {
  bool ipv6 = false;  // listen on ::1 instead of 127.0.0.1
  int port = 0;       // 0: a free port, chosen by the server itself
  std::string user = "zuno";
  std::string password = "Secret-Pass-42";
  // The account's login directory (a local directory; required).
  std::filesystem::path login_dir;
  // The local directory that the server shows as "/"; it must hold login_dir.
  // Empty: login_dir itself, so the login directory is "/".
  std::filesystem::path root;
  std::string permissions = "elradfmwMT";  // pyftpdlib's permission letters
  bool no_size = false;                    // the server does not know SIZE
  bool no_mlst = false;                    // nor MLST / MLSD
  bool no_mdtm = false;                    // nor MDTM (FEAT offers none of those left out)
  long long drop_download_after = -1;      // a download ends the session after N bytes
  long long stall_download_after = -1;     // a download stops moving after N bytes
  long long drop_upload_after = -1;        // an upload ends the session after N bytes
  double idle_timeout_seconds = 0;         // idle sessions end after this ("421")
  bool drop_silently = false;              // ... without a word
  bool mute_quit = false;                  // QUIT is never answered
  bool silent = false;                     // accepts connections and never says a word
  // Explicit TLS with this certificate (server_pem of a TestCertificate), required
  // for the login and for data; empty: plain FTP.
  std::string tls_certificate;
  std::string tls_pin;  // the pin of that certificate's key, for key_pin()
  // Names that LIST, NLST and MLSD leave out; MLST, SIZE, MDTM and RETR still find them.
  std::vector<std::string> hidden_names;
  bool short_download = false;    // a download sends the first half (size / 2), then "226"
  bool keep_half_upload = false;  // an upload is answered "226" but keeps only its first half
  // Commands that misbehave instead of being executed, each "VERB[ GLOB]:KIND[:COUNT]":
  // a command VERB (any case) whose argument, or its last path part, matches the
  // fnmatch pattern GLOB; KIND "drop" (the connection is closed, no reply),
  // "silence" (no reply to it or anything after), "refuse" ("550 Refused by the
  // test server.") or "stall" (STOR, RETR, APPE: the transfer stops after 1024
  // bytes, no reply); COUNT times (default: every time). E.g. "SIZE zuno-upload-*:refuse:2".
  std::vector<std::string> faults;
  bool rename_never_replaces = false;  // RNTO onto an existing name: "553 ... exists"
  long long trickle_download_bps = 0;  // downloads at this many bytes a second (0: full speed)
  bool no_size_facts = false;          // MLSD and MLST give no size fact (LIST keeps it)
  // The reply that opens a download gives the size:
  // "150 Opening BINARY mode data connection for NAME (N bytes)."
  bool size_in_150 = false;
  // The log (log_text()) gets "SESSION OPEN" / "SESSION CLOSE" around each session,
  // "CMD VERB ARGUMENT" for each command received ("CMD PASS ***") and "DATA OPEN"
  // for each data connection.
  bool log_commands = false;
};

// A vsftpd server with one system account whose login directory is login_dir
// (chroot off, so the server shows its real absolute path). Needs root: the
// account is created for the server and removed with it.
struct VsftpdOptions {
  std::filesystem::path login_dir;  // absolute; given to the account
  int port = 0;                     // 0: a free port
  int idle_timeout_seconds = 0;     // 0: vsftpd's own (300 s)
  FtpTls tls = FtpTls::kNone;       // with TLS required for logins and data
  std::string tls_certificate;      // server_pem of a TestCertificate, for TLS
  std::string tls_pin;              // the pin of that certificate's key, for key_pin()
  bool log_protocol = false;        // every command and reply into the log
};

// A private OpenSSH server that offers only SFTP, with one system account (as for
// vsftpd: needs root) whose home directory is login_dir, and a host key of its own.
struct SshdOptions {
  std::filesystem::path login_dir;        // absolute; the account's home directory
  std::string host_key_type = "ed25519";  // as ssh-keygen -t takes it
  bool ipv6 = false;                      // listen on ::1 instead of 127.0.0.1
};

// A running FTP server on loopback, started by the test and stopped (killed and
// waited for) when the object goes away. It never outlives the test process.
class FtpServer {
 public:
  // Null when the server could not be started; error says why.
  static std::unique_ptr<FtpServer> StartPyFtpd(const PyFtpdOptions& options, std::string* error);
  static std::unique_ptr<FtpServer> StartVsftpd(const VsftpdOptions& options, std::string* error);
  // Whether vsftpd servers can be started here (root, vsftpd, useradd); why not.
  static bool CanRunVsftpd(std::string* why);
  static std::unique_ptr<FtpServer> StartSshd(const SshdOptions& options, std::string* error);
  // Whether sshd servers can be started here (root, sshd, useradd); why not.
  static bool CanRunSshd(std::string* why);

  ~FtpServer();
  FtpServer(const FtpServer&) = delete;
  FtpServer& operator=(const FtpServer&) = delete;

  // The text for ServerHost: "127.0.0.1:port" or "[::1]:port", after "ftpes://",
  // "ftps://" or "sftp://" for a server with TLS or SSH.
  const std::string& host_text() const { return host_text_; }
  int port() const { return port_; }
  // The server key's pin as ServerHost takes it after '#' ("sha256:..." for TLS,
  // as the options gave it, "SHA256:..." for SSH); empty for plain FTP.
  const std::string& key_pin() const { return key_pin_; }
  // host_text() with the pin after '#' when there is one.
  std::string pinned_host_text() const {
    return key_pin_.empty() ? host_text_ : host_text_ + "#" + key_pin_;
  }
  // SSH: the server's line for a known_hosts file.
  const std::string& known_hosts_line() const { return known_hosts_line_; }
  const std::string& user() const { return user_; }
  const std::string& password() const { return password_; }
  // The login directory on the local disk, and as the server names it (PWD).
  const std::filesystem::path& login_dir() const { return login_dir_; }
  const std::string& login_path() const { return login_path_; }
  // The process that keeps the server (its parent), or -1 once stopped.
  pid_t pid() const { return pid_; }
  // What the server wrote to its log so far (pyftpdlib: one line per session event,
  // e.g. "USER 'zuno' logged in.").
  std::string log_text() const;
  // The directory of the server's configuration and logs.
  const std::filesystem::path& work_dir() const { return work_.path(); }

 private:
  FtpServer() = default;
  // Starts the program and waits until the port takes connections.
  bool Launch(const std::string& program, const std::vector<std::string>& arguments,
              const std::string& port_file, std::string* error);
  void Stop();
  // Creates the system account that owns login; false with the reason.
  bool CreateAccount(const std::filesystem::path& login, const char* prefix, std::string* error);

  TempDir work_;    // the server's configuration and log
  pid_t pid_ = -1;  // the keeper of the server's processes
  bool ipv6_ = false;
  int port_ = 0;
  std::string host_text_;
  std::string key_pin_;
  std::string known_hosts_line_;
  std::string user_;
  std::string password_;
  std::filesystem::path login_dir_;
  std::string login_path_;
  std::string system_account_;  // vsftpd: the account to remove
};

}  // namespace zuno::testing
