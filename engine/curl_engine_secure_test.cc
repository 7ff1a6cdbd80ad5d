// The checks of the server's key: what a refused certificate or host key does
// and says, and that nothing of the login leaves before the key is accepted.

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "engine/engine_errors.h"
#include "engine/engine_platform.h"
#include "engine/ftp_engine.h"
#include "tests/support/engine_test_session.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_servers.h"

namespace zuno {
namespace {

using testing::EngineSession;
using testing::TempDir;
using testing::TestServer;

// The refusal names the reason and shows the key that the server showed, in the
// form ServerHost takes, whole, within the driver's 150-byte text.
void ExpectKeyRefusal(EngineSession& engine, const TestServer& server, int32_t code,
                      int32_t expected, const std::string& reason) {
  EXPECT_EQ(code, expected);
  const std::string text = engine.Text(code);
  EXPECT_NE(text.find("#" + server.key_pin), std::string::npos) << text;
  EXPECT_NE(text.find(reason), std::string::npos) << text;
  EXPECT_EQ(text.find(server.password), std::string::npos) << text;
  EXPECT_EQ(engine->fceSetServerDir(0, ""), kEngineNotConnected);
}

class TlsKeyCheckTest : public testing::EngineServerTest {};

TEST_F(TlsKeyCheckTest, UnknownCaAndWrongPinAreRefusedBeforeTheLogin) {
  USE_TEST_SERVER("tls-key-check");
  std::string error;
  bool skip = false;
  const TestServer* stranger = testing::FindTestServer("pyftpd-tls", &error, &skip);
  ASSERT_NE(stranger, nullptr) << error;
  const TestServer& tls = server();
  auto connect = [&](const std::string& host) {
    return engine_->fceConnect(0, host, tls.user, tls.password);
  };

  // No pin: the throwaway CA is in no trust store.
  ExpectKeyRefusal(engine_, tls, connect(tls.host_text), kEngineCertificateRefused,
                   "issuer not a known CA");
  // The pin of another key.
  ExpectKeyRefusal(engine_, tls, connect(tls.host_text + "#" + stranger->key_pin),
                   kEngineCertificateRefused, "not the pinned key");
  // The pin that the refusal showed is accepted as it was printed.
  EXPECT_EQ(connect(tls.host_text + "#" + tls.key_pin), 0);
  EXPECT_EQ(engine_->fceClose(0), 0);
  // Only the last connect logged in.
  const std::string log = tls.log_text();
  EXPECT_EQ(log.find("logged in"), log.rfind("logged in")) << log;
  EXPECT_NE(log.find("logged in"), std::string::npos) << log;
}

// Without a pin the chain is checked against the system's store: once the system
// trusts the CA, the certificate is accepted as it is, and refused again after.
TEST_F(TlsKeyCheckTest, WithoutAPinTheSystemsCertificateStoreDecides) {
  USE_TEST_SERVER("vsftpd-implicit-tls");
  const TestServer& tls = server();
  {
    testing::ScopedTrustedCa trusted(tls.ca_file);
    if (!trusted.available()) GTEST_SKIP() << trusted.problem();
    const int32_t verified = engine_->fceConnect(0, tls.host_text, tls.user, tls.password);
    EXPECT_EQ(verified, 0) << engine_.Text(verified);
    EXPECT_EQ(engine_->fceClose(0), 0);
  }
  EXPECT_EQ(engine_->fceConnect(0, tls.host_text, tls.user, tls.password),
            kEngineCertificateRefused);
}

TEST_F(TlsKeyCheckTest, ExplicitTlsAgainstAPlainServerNeverSendsTheLogin) {
  USE_TEST_SERVER("pyftpd-without-tls");
  const int32_t refused =
      engine_->fceConnect(0, "ftpes://" + server().host_text, server().user, server().password);
  EXPECT_EQ(refused, kEngineTlsNotOffered) << engine_.Text(refused);
  EXPECT_EQ(server().log_text().find("logged in"), std::string::npos) << server().log_text();

  // vsftpd logs every command: neither USER nor PASS arrives.
  USE_TEST_SERVER("vsftpd-without-tls");
  const TestServer& vsftpd = server();
  EXPECT_EQ(engine_->fceConnect(0, "ftpes://" + vsftpd.host_text, vsftpd.user, vsftpd.password),
            kEngineTlsNotOffered);
  const std::string log = vsftpd.log_text();
  EXPECT_NE(log.find("\"AUTH TLS\""), std::string::npos) << log;
  EXPECT_EQ(log.find("\"USER"), std::string::npos) << log;
  EXPECT_EQ(log.find("\"PASS"), std::string::npos) << log;
  EXPECT_EQ(log.find(vsftpd.password), std::string::npos) << log;
}

class SftpHostKeyTest : public testing::EngineServerTest {};

TEST_F(SftpHostKeyTest, OnlyAKnownOrPinnedHostKeyIsAccepted) {
  USE_TEST_SERVER("sshd-other-key");
  const TestServer& other = server();
  USE_TEST_SERVER("sshd-key-check");
  const TestServer& ssh = server();
  TempDir home;
  testing::ScopedUserHome scoped(home.path());
  const std::filesystem::path known_hosts = home.path() / ".ssh" / "known_hosts";
  auto connect = [&](const std::string& host) {
    return engine_->fceConnect(0, host, ssh.user, ssh.password);
  };
  const std::string not_known = std::string("not in ") + KnownHostsShownName();

  // Unknown: no known_hosts file at all, then one without this server.
  ExpectKeyRefusal(engine_, ssh, connect(ssh.host_text), kEngineHostKeyRefused, not_known);
  testing::WriteWholeFile(known_hosts, "[127.0.0.1]:1 " + ssh.known_hosts_line.substr(
                                                              ssh.known_hosts_line.find(' ') + 1));
  ExpectKeyRefusal(engine_, ssh, connect(ssh.host_text), kEngineHostKeyRefused, not_known);
  // Changed: the entry for this server holds another key.
  const std::string other_key = other.known_hosts_line.substr(other.known_hosts_line.find(' '));
  const std::string this_host = ssh.known_hosts_line.substr(0, ssh.known_hosts_line.find(' '));
  testing::WriteWholeFile(known_hosts, this_host + other_key);
  ExpectKeyRefusal(engine_, ssh, connect(ssh.host_text), kEngineHostKeyRefused, "CHANGED");
  // A wrong pin.
  ExpectKeyRefusal(engine_, ssh, connect(ssh.host_text + "#" + other.key_pin),
                   kEngineHostKeyRefused, "not the pinned key");
  EXPECT_EQ(ssh.log_text().find("Accepted password"), std::string::npos);

  // Known, and pinned in each written form: with or without the prefix and padding.
  testing::WriteWholeFile(known_hosts, ssh.known_hosts_line);
  EXPECT_EQ(connect(ssh.host_text), 0) << engine_.Text(kEngineHostKeyRefused);
  const std::string bare = ssh.key_pin.substr(7);
  for (const std::string& pin : {ssh.key_pin, bare, bare + "="}) {
    const int32_t pinned = connect(ssh.host_text + "#" + pin);
    EXPECT_EQ(pinned, 0) << pin << ": " << engine_.Text(pinned);
  }
  EXPECT_EQ(engine_->fceClose(0), 0);
  // The known_hosts file was only read.
  EXPECT_EQ(testing::ReadWholeFile(known_hosts), ssh.known_hosts_line);
}

}  // namespace
}  // namespace zuno
