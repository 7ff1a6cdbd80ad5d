// The checks of the server's key: what a refused certificate or host key does
// and says, and that nothing of the login leaves before the key is accepted.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <string>

#include "engine/curl_engine.h"
#include "engine/engine_errors.h"
#include "engine/engine_test_session.h"
#include "tests/support/ftp_servers.h"
#include "tests/support/temp_dir.h"

namespace zuno {
namespace {

using testing::EngineSession;
using testing::FtpServer;
using testing::TempDir;
using testing::TestCertificate;

constexpr char kPassword[] = "Tls-Secret-93";

// The refusal names the reason and shows the key that the server showed, in the
// form ServerHost takes, whole, within the driver's 150-byte text.
void ExpectKeyRefusal(EngineSession& engine, int32_t code, int32_t expected, const std::string& pin,
                      const std::string& reason) {
  EXPECT_EQ(code, expected);
  const std::string text = engine.Text(code);
  EXPECT_NE(text.find("#" + pin), std::string::npos) << text;
  EXPECT_NE(text.find(reason), std::string::npos) << text;
  EXPECT_EQ(text.find(kPassword), std::string::npos) << text;
  EXPECT_EQ(engine->fceSetServerDir(0, ""), kEngineNotConnected);
}

TEST(TlsKeyCheckTest, UnknownCaAndWrongPinAreRefusedBeforeTheLogin) {
  TempDir files;
  TempDir other;
  TestCertificate certificate;
  TestCertificate stranger;
  std::string error;
  ASSERT_TRUE(testing::MakeTestCertificate(files.path(), &certificate, &error)) << error;
  ASSERT_TRUE(testing::MakeTestCertificate(other.path(), &stranger, &error)) << error;
  const std::filesystem::path login = files.path() / "login";
  std::filesystem::create_directories(login);
  testing::PyFtpdOptions options;
  options.login_dir = login;
  options.password = kPassword;
  options.tls_certificate = certificate.server_pem;
  auto server = FtpServer::StartPyFtpd(options, &error);
  ASSERT_NE(server, nullptr) << error;
  EngineSession engine;

  // No pin: the throwaway CA is in no trust store.
  ExpectKeyRefusal(engine, engine->fceConnect(0, server->host_text(), server->user(), kPassword),
                   kEngineCertificateRefused, certificate.pin, "issuer not a known CA");
  // The pin of another key.
  ExpectKeyRefusal(
      engine,
      engine->fceConnect(0, server->host_text() + "#" + stranger.pin, server->user(), kPassword),
      kEngineCertificateRefused, certificate.pin, "not the pinned key");
  // The pin that the refusal showed is accepted as it was printed.
  EXPECT_EQ(
      engine->fceConnect(0, server->host_text() + "#" + certificate.pin, server->user(), kPassword),
      0);
  EXPECT_EQ(engine->fceClose(0), 0);
  // Only the last connect logged in.
  const std::string log = server->log_text();
  EXPECT_EQ(log.find("logged in"), log.rfind("logged in")) << log;
  EXPECT_NE(log.find("logged in"), std::string::npos) << log;
}

TEST(TlsKeyCheckTest, ExplicitTlsAgainstAPlainServerNeverSendsTheLogin) {
  TempDir files;
  std::string error;
  testing::PyFtpdOptions options;
  options.login_dir = files.path();
  options.password = kPassword;
  auto server = FtpServer::StartPyFtpd(options, &error);
  ASSERT_NE(server, nullptr) << error;
  EngineSession engine;
  const int32_t refused =
      engine->fceConnect(0, "ftpes://" + server->host_text(), server->user(), kPassword);
  EXPECT_EQ(refused, kEngineTlsNotOffered) << engine.Text(refused);
  EXPECT_EQ(server->log_text().find("logged in"), std::string::npos) << server->log_text();

  // vsftpd logs every command: neither USER nor PASS arrives.
  if (!FtpServer::CanRunVsftpd(&error)) GTEST_SKIP() << error;
  testing::VsftpdOptions plain;
  plain.login_dir = files.path();
  plain.log_protocol = true;
  auto vsftpd = FtpServer::StartVsftpd(plain, &error);
  ASSERT_NE(vsftpd, nullptr) << error;
  EXPECT_EQ(
      engine->fceConnect(0, "ftpes://" + vsftpd->host_text(), vsftpd->user(), vsftpd->password()),
      kEngineTlsNotOffered);
  const std::string log = vsftpd->log_text();
  EXPECT_NE(log.find("\"AUTH TLS\""), std::string::npos) << log;
  EXPECT_EQ(log.find("\"USER"), std::string::npos) << log;
  EXPECT_EQ(log.find("\"PASS"), std::string::npos) << log;
  EXPECT_EQ(log.find(vsftpd->password()), std::string::npos) << log;
}

// HOME points at a directory of the test's own, whose known_hosts the engine reads.
class ScopedHome {
 public:
  explicit ScopedHome(const std::filesystem::path& home) {
    if (const char* old = getenv("HOME")) old_ = old, had_ = true;
    setenv("HOME", home.c_str(), 1);
    std::filesystem::create_directories(home / ".ssh");
  }
  ~ScopedHome() {
    if (had_) {
      setenv("HOME", old_.c_str(), 1);
    } else {
      unsetenv("HOME");
    }
  }

 private:
  std::string old_;
  bool had_ = false;
};

TEST(SftpHostKeyTest, OnlyAKnownOrPinnedHostKeyIsAccepted) {
  std::string why;
  if (!FtpServer::CanRunSshd(&why)) GTEST_SKIP() << why;
  TempDir files;
  const std::filesystem::path login = files.path() / "login";
  std::filesystem::create_directories(login);
  std::string error;
  testing::SshdOptions options;
  options.login_dir = login;
  auto server = FtpServer::StartSshd(options, &error);
  ASSERT_NE(server, nullptr) << error;
  TempDir home;
  ScopedHome scoped(home.path());
  const std::filesystem::path known_hosts = home.path() / ".ssh" / "known_hosts";
  EngineSession engine;
  auto connect = [&](const std::string& host) {
    return engine->fceConnect(0, host, server->user(), server->password());
  };

  // Unknown: no known_hosts file at all, then one without this server.
  ExpectKeyRefusal(engine, connect(server->host_text()), kEngineHostKeyRefused, server->key_pin(),
                   "not in ~/.ssh/known_hosts");
  testing::WriteWholeFile(
      known_hosts, "[127.0.0.1]:1 " +
                       server->known_hosts_line().substr(server->known_hosts_line().find(' ') + 1));
  ExpectKeyRefusal(engine, connect(server->host_text()), kEngineHostKeyRefused, server->key_pin(),
                   "not in ~/.ssh/known_hosts");
  // Changed: the entry for this server holds another key.
  auto other = FtpServer::StartSshd(options, &error);
  ASSERT_NE(other, nullptr) << error;
  const std::string other_key =
      other->known_hosts_line().substr(other->known_hosts_line().find(' '));
  const std::string this_host =
      server->known_hosts_line().substr(0, server->known_hosts_line().find(' '));
  testing::WriteWholeFile(known_hosts, this_host + other_key);
  ExpectKeyRefusal(engine, connect(server->host_text()), kEngineHostKeyRefused, server->key_pin(),
                   "CHANGED");
  // A wrong pin, with or without the prefix and padding.
  ExpectKeyRefusal(engine, connect(server->host_text() + "#" + other->key_pin()),
                   kEngineHostKeyRefused, server->key_pin(), "not the pinned key");
  EXPECT_EQ(server->log_text().find("Accepted password"), std::string::npos);

  // Known, and pinned in each written form.
  testing::WriteWholeFile(known_hosts, server->known_hosts_line());
  EXPECT_EQ(connect(server->host_text()), 0) << engine.Text(kEngineHostKeyRefused);
  const std::string bare = server->key_pin().substr(7);
  for (const std::string& pin : {server->key_pin(), bare, bare + "="}) {
    const int32_t pinned = connect(server->host_text() + "#" + pin);
    EXPECT_EQ(pinned, 0) << pin << ": " << engine.Text(pinned);
  }
  EXPECT_EQ(engine->fceClose(0), 0);
  // The known_hosts file was only read.
  EXPECT_EQ(testing::ReadWholeFile(known_hosts), server->known_hosts_line());
}

}  // namespace
}  // namespace zuno
