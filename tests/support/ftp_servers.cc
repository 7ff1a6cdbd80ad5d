#include "tests/support/ftp_servers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#ifndef ZUNO_SOURCE_DIR
#error "ZUNO_SOURCE_DIR must name the source tree"
#endif

namespace zuno::testing {
namespace {

constexpr char kPython[] = "/usr/bin/python3";
constexpr char kVsftpd[] = "/usr/sbin/vsftpd";
constexpr char kSshd[] = "/usr/sbin/sshd";
constexpr auto kStartLimit = std::chrono::seconds(15);

// Opens a socket on the loopback address with the given port (0: any free one).
int LoopbackSocket(bool ipv6, int port, sockaddr_storage* address, socklen_t* length) {
  *address = {};
  if (ipv6) {
    auto* in6 = reinterpret_cast<sockaddr_in6*>(address);
    in6->sin6_family = AF_INET6;
    in6->sin6_port = htons(static_cast<uint16_t>(port));
    in6->sin6_addr = in6addr_loopback;
    *length = sizeof(sockaddr_in6);
  } else {
    auto* in4 = reinterpret_cast<sockaddr_in*>(address);
    in4->sin_family = AF_INET;
    in4->sin_port = htons(static_cast<uint16_t>(port));
    in4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    *length = sizeof(sockaddr_in);
  }
  return socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
}

bool AcceptsConnections(bool ipv6, int port) {
  sockaddr_storage address;
  socklen_t length = 0;
  const int fd = LoopbackSocket(ipv6, port, &address, &length);
  if (fd < 0) return false;
  const bool connected = connect(fd, reinterpret_cast<sockaddr*>(&address), length) == 0;
  close(fd);
  return connected;
}

std::string RandomHex(size_t bytes) {
  std::vector<unsigned char> random(bytes);
  if (getrandom(random.data(), random.size(), 0) != static_cast<ssize_t>(random.size())) {
    for (size_t i = 0; i < bytes; ++i) random[i] = static_cast<unsigned char>(rand());
  }
  std::string hex;
  char pair[3];
  for (unsigned char byte : random) {
    std::snprintf(pair, sizeof(pair), "%02x", byte);
    hex += pair;
  }
  return hex;
}

std::string ReadTail(const std::filesystem::path& path) {
  std::string text = ReadWholeFile(path);
  if (text.size() > 600) text = text.substr(text.size() - 600);
  return text;
}

// Runs a system tool to its end, with the text on its standard input; true when
// it ended with status 0. Its standard output goes to output when given.
bool RunTool(const std::vector<std::string>& arguments, const std::string& input,
             std::string* output = nullptr) {
  std::vector<char*> argv;
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) return false;
  // The output goes to a file, so that a tool that writes much never blocks.
  TempDir captured;
  const std::string output_file = captured.File("out");
  const pid_t child = fork();
  if (child < 0) {
    close(pipe_fds[0]);
    close(pipe_fds[1]);
    return false;
  }
  if (child == 0) {
    dup2(pipe_fds[0], STDIN_FILENO);
    const int null = open("/dev/null", O_WRONLY);
    if (null >= 0) dup2(null, STDERR_FILENO);
    const int out =
        output != nullptr ? open(output_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600) : null;
    if (out >= 0) dup2(out, STDOUT_FILENO);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(pipe_fds[0]);
  const char* data = input.data();
  size_t left = input.size();
  while (left > 0) {
    const ssize_t written = write(pipe_fds[1], data, left);
    if (written <= 0) break;
    data += written;
    left -= static_cast<size_t>(written);
  }
  close(pipe_fds[1]);
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (output != nullptr) *output = ReadWholeFile(output_file);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string Trimmed(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
    text.pop_back();
  }
  return text;
}

std::string Which(const char* tool) {
  for (const char* directory : {"/usr/sbin/", "/sbin/", "/usr/bin/", "/bin/"}) {
    const std::string path = std::string(directory) + tool;
    if (access(path.c_str(), X_OK) == 0) return path;
  }
  return "";
}

}  // namespace

int FindFreeLoopbackPort(bool ipv6) {
  sockaddr_storage address;
  socklen_t length = 0;
  const int fd = LoopbackSocket(ipv6, 0, &address, &length);
  if (fd < 0) return 0;
  int port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ipv6 ? ntohs(reinterpret_cast<sockaddr_in6*>(&address)->sin6_port)
                : ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
  }
  close(fd);
  return port;
}

namespace {

// The first child of the test: it starts the server and keeps it. As the reaper of
// everything below it, it collects the sessions that a forking server (vsftpd)
// leaves behind, which would otherwise stay as zombies. SIGTERM from the test
// stops the server's whole process group; the keeper ends when the server does.
[[noreturn]] void KeepServer(char** argv, const char* log, pid_t test) {
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != test) _exit(1);
  prctl(PR_SET_CHILD_SUBREAPER, 1);
  sigset_t awaited;
  sigemptyset(&awaited);
  sigaddset(&awaited, SIGTERM);
  sigaddset(&awaited, SIGCHLD);
  sigprocmask(SIG_BLOCK, &awaited, nullptr);

  const pid_t server = fork();
  if (server < 0) _exit(1);
  if (server == 0) {
    sigprocmask(SIG_UNBLOCK, &awaited, nullptr);
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    setpgid(0, 0);
    const int null = open("/dev/null", O_RDONLY);
    if (null >= 0) dup2(null, STDIN_FILENO);
    const int out = open(log, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (out >= 0) {
      dup2(out, STDOUT_FILENO);
      dup2(out, STDERR_FILENO);
    }
    signal(SIGPIPE, SIG_DFL);
    execv(argv[0], argv);
    _exit(127);
  }
  setpgid(server, server);

  int server_status = 0;
  bool server_ended = false;
  auto reap = [&]() -> bool {  // false once no child is left
    while (true) {
      int status = 0;
      const pid_t ended = waitpid(-1, &status, WNOHANG);
      if (ended == server) {
        server_ended = true;
        server_status = status;
      }
      if (ended == 0) return true;
      if (ended < 0) return errno != ECHILD;
    }
  };
  while (!server_ended) {
    siginfo_t info;
    if (sigwaitinfo(&awaited, &info) == SIGTERM) break;
    reap();
  }
  kill(-server, SIGKILL);
  sigset_t child_ended;
  sigemptyset(&child_ended);
  sigaddset(&child_ended, SIGCHLD);
  const timespec step = {0, 50 * 1000 * 1000};
  for (int round = 0; round < 40 && reap(); ++round) sigtimedwait(&child_ended, nullptr, &step);
  _exit(server_ended && WIFEXITED(server_status) ? WEXITSTATUS(server_status) : 1);
}

}  // namespace

bool FtpServer::Launch(const std::string& program, const std::vector<std::string>& arguments,
                       const std::string& port_file, std::string* error) {
  std::vector<std::string> all = {program};
  all.insert(all.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (const std::string& argument : all) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  const std::string log = work_.File("server.log");
  const pid_t test = getpid();

  const pid_t keeper = fork();
  if (keeper < 0) {
    *error = "cannot fork";
    return false;
  }
  if (keeper == 0) KeepServer(argv.data(), log.c_str(), test);
  pid_ = keeper;

  const auto deadline = std::chrono::steady_clock::now() + kStartLimit;
  while (std::chrono::steady_clock::now() < deadline) {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      *error = program + " ended at start: " + ReadTail(log);
      return false;
    }
    if (!port_file.empty() && port_ == 0) {
      std::ifstream in(port_file);
      int announced = 0;
      if (in >> announced) port_ = announced;
    }
    if (port_ != 0 && AcceptsConnections(ipv6_, port_)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  *error = program + " did not take connections in time: " + ReadTail(log);
  Stop();
  return false;
}

void FtpServer::Stop() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  // The keeper ends within about two seconds; it is killed if it does not.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  int status = 0;
  while (waitpid(pid_, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid_, SIGKILL);
      while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
      }
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  pid_ = -1;
}

std::string FtpServer::log_text() const {
  // vsftpd writes the commands it was sent into a log of their own.
  return ReadWholeFile(work_.File("server.log")) + ReadWholeFile(work_.File("protocol.log"));
}

FtpServer::~FtpServer() {
  Stop();
  if (!system_account_.empty()) {
    const std::string userdel = Which("userdel");
    // Sessions of the account may still be on their way out.
    for (int attempt = 0; attempt < 20; ++attempt) {
      if (RunTool({userdel, "-f", system_account_}, "")) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
}

std::unique_ptr<FtpServer> FtpServer::StartPyFtpd(const PyFtpdOptions& options,
                                                  std::string* error) {
  std::unique_ptr<FtpServer> server(new FtpServer());
  if (server->work_.path().empty()) {
    *error = "no temporary directory";
    return nullptr;
  }
  std::error_code failure;
  const std::filesystem::path login = std::filesystem::absolute(options.login_dir, failure);
  const std::filesystem::path root =
      options.root.empty() ? login : std::filesystem::absolute(options.root, failure);
  const std::filesystem::path inside = login.lexically_relative(root);
  if (options.login_dir.empty() || inside.empty() || *inside.begin() == "..") {
    *error = "the login directory must lie inside the root";
    return nullptr;
  }
  server->ipv6_ = options.ipv6;
  server->user_ = options.user;
  server->password_ = options.password;
  server->login_dir_ = login;
  server->login_path_ = inside == "." ? "/" : "/" + inside.generic_string();
  server->port_ = options.port;

  const std::string password_file = server->work_.Write("password", options.password);
  const std::string port_file = server->work_.File("port");
  std::vector<std::string> arguments = {
      std::string(ZUNO_SOURCE_DIR) + "/tests/servers/pyftpd_server.py",
      "--bind",
      options.ipv6 ? "::1" : "127.0.0.1",
      "--port",
      std::to_string(options.port),
      "--port-file",
      port_file,
      "--user",
      options.user,
      "--password-file",
      password_file,
      "--root",
      root.string(),
      "--login",
      server->login_path_,
      "--perm",
      options.permissions};
  auto add_number = [&](const char* flag, long long value) {
    if (value >= 0) {
      arguments.push_back(flag);
      arguments.push_back(std::to_string(value));
    }
  };
  add_number("--drop-retr-after", options.drop_download_after);
  add_number("--stall-retr-after", options.stall_download_after);
  add_number("--drop-stor-after", options.drop_upload_after);
  if (options.idle_timeout_seconds > 0) {
    arguments.push_back("--idle-timeout");
    arguments.push_back(std::to_string(options.idle_timeout_seconds));
  }
  if (options.no_size) arguments.push_back("--no-size");
  if (options.no_mlst) arguments.push_back("--no-mlst");
  if (options.no_mdtm) arguments.push_back("--no-mdtm");
  if (options.drop_silently) arguments.push_back("--drop-silently");
  if (options.mute_quit) arguments.push_back("--mute-quit");
  if (options.silent) arguments.push_back("--silent");
  if (!options.tls_certificate.empty()) {
    arguments.push_back("--tls-certificate");
    arguments.push_back(options.tls_certificate);
  }
  for (const std::string& name : options.hidden_names) {
    arguments.push_back("--hide");
    arguments.push_back(name);
  }
  if (options.short_download) arguments.push_back("--short-retr");
  if (options.keep_half_upload) arguments.push_back("--keep-half-stor");
  for (const std::string& fault : options.faults) {
    arguments.push_back("--fault");
    arguments.push_back(fault);
  }
  if (options.rename_never_replaces) arguments.push_back("--rnto-no-replace");
  if (options.trickle_download_bps > 0) {
    arguments.push_back("--trickle-retr");
    arguments.push_back(std::to_string(options.trickle_download_bps));
  }
  if (options.no_size_facts) arguments.push_back("--no-size-facts");
  if (options.size_in_150) arguments.push_back("--size-in-150");
  if (options.log_commands) arguments.push_back("--log-commands");

  if (!server->Launch(kPython, arguments, options.port == 0 ? port_file : "", error)) {
    return nullptr;
  }
  server->key_pin_ = options.tls_pin;
  server->host_text_ = std::string(options.tls_certificate.empty() ? "" : "ftpes://") +
                       (options.ipv6 ? "[::1]:" : "127.0.0.1:") + std::to_string(server->port_);
  return server;
}

bool FtpServer::CanRunVsftpd(std::string* why) {
  if (geteuid() != 0) {
    *why = "vsftpd tests need root (they create a system account for the server)";
    return false;
  }
  if (access(kVsftpd, X_OK) != 0) {
    *why = std::string(kVsftpd) + " is not installed";
    return false;
  }
  for (const char* tool : {"useradd", "userdel", "chpasswd"}) {
    if (Which(tool).empty()) {
      *why = std::string(tool) + " is not installed";
      return false;
    }
  }
  return true;
}

std::unique_ptr<FtpServer> FtpServer::StartVsftpd(const VsftpdOptions& options,
                                                  std::string* error) {
  if (!CanRunVsftpd(error)) return nullptr;
  std::unique_ptr<FtpServer> server(new FtpServer());
  std::error_code failure;
  const std::filesystem::path login = std::filesystem::canonical(options.login_dir, failure);
  if (failure || server->work_.path().empty()) {
    *error = "the login directory does not exist";
    return nullptr;
  }

  if (!server->CreateAccount(login, "zunoftp", error)) return nullptr;
  mkdir("/var/run/vsftpd", 0755);
  mkdir("/var/run/vsftpd/empty", 0755);
  server->login_path_ = login.string();
  for (int attempt = 0; attempt < 3; ++attempt) {
    server->port_ = options.port != 0 ? options.port : FindFreeLoopbackPort(false);
    std::string config =
        "listen=YES\nlisten_ipv6=NO\nlisten_address=127.0.0.1\nbackground=NO\n"
        "listen_port=" +
        std::to_string(server->port_) +
        "\nanonymous_enable=NO\nlocal_enable=YES\nwrite_enable=YES\nlocal_umask=022\n"
        "chroot_local_user=NO\nlocal_root=" +
        login.string() +
        "\nsecure_chroot_dir=/var/run/vsftpd/empty\npam_service_name=vsftpd\n"
        "seccomp_sandbox=NO\nisolate=NO\nisolate_network=NO\nxferlog_enable=NO\n"
        "syslog_enable=NO\nuserlist_enable=NO\ndelay_failed_login=0\n"
        "pasv_enable=YES\nuse_localtime=NO\n";
    if (options.idle_timeout_seconds > 0) {
      config += "idle_session_timeout=" + std::to_string(options.idle_timeout_seconds) + "\n";
    }
    if (options.tls != FtpTls::kNone) {
      // TLS required for the login and for every data connection, whose TLS
      // session must be the control connection's (vsftpd's default).
      config += "ssl_enable=YES\nrsa_cert_file=" + options.tls_certificate +
                "\nrsa_private_key_file=" + options.tls_certificate +
                "\nforce_local_logins_ssl=YES\nforce_local_data_ssl=YES\n"
                "require_ssl_reuse=YES\nssl_ciphers=HIGH\nimplicit_ssl=" +
                (options.tls == FtpTls::kImplicit ? "YES" : "NO") + "\n";
    }
    if (options.log_protocol) {
      config += "log_ftp_protocol=YES\ndual_log_enable=YES\nvsftpd_log_file=" +
                server->work_.File("protocol.log") + "\n";
    }
    const std::string config_file = server->work_.Write("vsftpd.conf", config);
    if (server->Launch(kVsftpd, {config_file}, "", error)) break;
    if (options.port != 0 || attempt == 2) return nullptr;
  }
  const char* scheme = options.tls == FtpTls::kExplicit   ? "ftpes://"
                       : options.tls == FtpTls::kImplicit ? "ftps://"
                                                          : "";
  server->host_text_ = scheme + std::string("127.0.0.1:") + std::to_string(server->port_);
  server->key_pin_ = options.tls_pin;
  return server;
}

bool FtpServer::CreateAccount(const std::filesystem::path& login, const char* prefix,
                              std::string* error) {
  // An account of its own for each server, so that tests in parallel processes
  // never share one; its shell must be one that PAM's shell check accepts.
  static int counter = 0;
  const std::string account =
      prefix + std::to_string(getpid() % 1000000) + "x" + std::to_string(counter++);
  const std::string password = "Pw-" + RandomHex(8);
  RunTool({Which("userdel"), "-f", account}, "");
  if (!RunTool({Which("useradd"), "-M", "-N", "-d", login.string(), "-s", "/bin/sh", account},
               "")) {
    *error = "useradd failed for " + account;
    return false;
  }
  system_account_ = account;
  if (!RunTool({Which("chpasswd")}, account + ":" + password + "\n")) {
    *error = "chpasswd failed";
    return false;
  }
  const passwd* entry = getpwnam(account.c_str());
  if (entry == nullptr || chown(login.c_str(), entry->pw_uid, entry->pw_gid) != 0) {
    *error = "cannot give the login directory to " + account;
    return false;
  }
  // The account must be able to reach its directory through the test's own.
  for (std::filesystem::path up = login; up != up.root_path(); up = up.parent_path()) {
    struct stat status;
    if (stat(up.c_str(), &status) == 0 && (status.st_mode & S_IXOTH) == 0) {
      chmod(up.c_str(), (status.st_mode & 07777) | S_IXOTH);
    }
  }
  user_ = account;
  password_ = password;
  login_dir_ = login;
  return true;
}

bool FtpServer::CanRunSshd(std::string* why) {
  if (geteuid() != 0) {
    *why = "sshd tests need root (they create a system account for the server)";
    return false;
  }
  if (access(kSshd, X_OK) != 0) {
    *why = std::string(kSshd) + " is not installed (Debian package openssh-server)";
    return false;
  }
  for (const char* tool : {"useradd", "userdel", "chpasswd", "ssh-keygen"}) {
    if (Which(tool).empty()) {
      *why = std::string(tool) + " is not installed";
      return false;
    }
  }
  return true;
}

std::unique_ptr<FtpServer> FtpServer::StartSshd(const SshdOptions& options, std::string* error) {
  if (!CanRunSshd(error)) return nullptr;
  std::unique_ptr<FtpServer> server(new FtpServer());
  std::error_code failure;
  const std::filesystem::path login = std::filesystem::canonical(options.login_dir, failure);
  if (failure || server->work_.path().empty()) {
    *error = "the login directory does not exist";
    return nullptr;
  }
  if (!server->CreateAccount(login, "zunossh", error)) return nullptr;
  server->login_path_ = login.string();
  server->ipv6_ = options.ipv6;
  const std::string host_key = server->work_.File("host_key");
  if (!RunTool({Which("ssh-keygen"), "-q", "-t", options.host_key_type, "-N", "", "-C", "zuno",
                "-f", host_key},
               "")) {
    *error = "ssh-keygen failed";
    return nullptr;
  }
  std::string listed;
  RunTool({Which("ssh-keygen"), "-l", "-E", "sha256", "-f", host_key + ".pub"}, "", &listed);
  // "256 SHA256:... zuno (ED25519)"
  const size_t start = listed.find("SHA256:");
  server->key_pin_ =
      start == std::string::npos ? "" : listed.substr(start, listed.find(' ', start) - start);
  // sshd wants its privilege separation directory.
  mkdir("/run/sshd", 0755);
  for (int attempt = 0; attempt < 3; ++attempt) {
    server->port_ = FindFreeLoopbackPort(options.ipv6);
    const std::string config =
        std::string("ListenAddress ") + (options.ipv6 ? "::1" : "127.0.0.1") + "\nHostKey " +
        host_key +
        "\nPidFile none\nAuthorizedKeysFile none\nPasswordAuthentication yes\n"
        "KbdInteractiveAuthentication no\nUsePAM no\nPermitRootLogin no\nStrictModes no\n"
        "AllowUsers " +
        server->user_ +
        "\nSubsystem sftp internal-sftp\nLogLevel VERBOSE\nMaxStartups 64\n"
        "MaxSessions 64\nUseDNS no\n";
    const std::string config_file = server->work_.Write("sshd_config", config);
    if (server->Launch(kSshd, {"-D", "-e", "-f", config_file, "-p", std::to_string(server->port_)},
                       "", error)) {
      break;
    }
    if (attempt == 2) return nullptr;
  }
  const std::string address = options.ipv6 ? "[::1]" : "127.0.0.1";
  server->host_text_ = "sftp://" + address + ":" + std::to_string(server->port_);
  const std::string public_key = Trimmed(ReadWholeFile(host_key + ".pub"));
  server->known_hosts_line_ = "[" + std::string(options.ipv6 ? "::1" : "127.0.0.1") +
                              "]:" + std::to_string(server->port_) + " " +
                              public_key.substr(0, public_key.rfind(' ')) + "\n";
  return server;
}

bool MakeTestCertificate(const std::filesystem::path& directory, TestCertificate* certificate,
                         std::string* error) {
  const std::string openssl = Which("openssl");
  if (openssl.empty()) {
    *error = "openssl is not installed";
    return false;
  }
  const std::string dir = directory.string() + "/";
  const std::vector<std::string> curve = {"-newkey", "ec", "-pkeyopt",
                                          "ec_paramgen_curve:prime256v1", "-nodes"};
  std::vector<std::string> ca = {openssl, "req", "-x509"};
  ca.insert(ca.end(), curve.begin(), curve.end());
  ca.insert(ca.end(), {"-keyout", dir + "ca.key", "-out", dir + "ca.crt", "-days", "2", "-subj",
                       "/CN=ZUNO throwaway test CA"});
  std::vector<std::string> request = {openssl, "req"};
  request.insert(request.end(), curve.begin(), curve.end());
  request.insert(request.end(), {"-keyout", dir + "server.key", "-out", dir + "server.csr", "-subj",
                                 "/CN=localhost"});
  WriteWholeFile(dir + "extensions", "subjectAltName=IP:127.0.0.1,IP:::1,DNS:localhost\n");
  const std::vector<std::string> sign = {openssl,
                                         "x509",
                                         "-req",
                                         "-in",
                                         dir + "server.csr",
                                         "-CA",
                                         dir + "ca.crt",
                                         "-CAkey",
                                         dir + "ca.key",
                                         "-CAcreateserial",
                                         "-out",
                                         dir + "server.crt",
                                         "-days",
                                         "2",
                                         "-extfile",
                                         dir + "extensions"};
  if (!RunTool(ca, "") || !RunTool(request, "") || !RunTool(sign, "")) {
    *error = "openssl could not make the test certificates";
    return false;
  }
  WriteWholeFile(dir + "server.pem",
                 ReadWholeFile(dir + "server.crt") + ReadWholeFile(dir + "server.key"));
  // The pin: SHA-256 of the DER form of the certificate's public key, in base64.
  std::string public_key;
  std::string der;
  std::string digest;
  if (!RunTool({openssl, "x509", "-in", dir + "server.crt", "-pubkey", "-noout"}, "",
               &public_key) ||
      !RunTool({openssl, "pkey", "-pubin", "-outform", "DER", "-out", dir + "key.der"},
               public_key) ||
      !RunTool({openssl, "dgst", "-sha256", "-binary", "-out", dir + "key.sha256", dir + "key.der"},
               "") ||
      !RunTool({openssl, "base64", "-A", "-in", dir + "key.sha256"}, "", &digest)) {
    *error = "openssl could not compute the key pin";
    return false;
  }
  certificate->ca_file = dir + "ca.crt";
  certificate->server_pem = dir + "server.pem";
  certificate->pin = "sha256:" + Trimmed(digest);
  return true;
}

}  // namespace zuno::testing
