#include "engine/secure_transport.h"

#include <cstring>
#include <string>

#include "engine/engine_platform.h"

namespace zuno {
namespace {

// Pins that no key has: a connection made to fail on one stops right after the
// handshake, before anything of the login is sent.
constexpr char kImpossibleTlsPin[] = "sha256//AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=";
constexpr char kImpossibleSshPin[] = "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA";

// libcurl tells the hash of the server's public key in its progress text; nothing
// else of that text is kept or shown anywhere.
int OnDebugText(CURL*, curl_infotype type, char* data, size_t size, void* check) {
  if (type != CURLINFO_TEXT) return 0;
  static constexpr std::string_view kMarker = "public key hash: sha256//";
  const std::string_view line(data, size);
  const size_t at = line.find(kMarker);
  if (at == std::string_view::npos) return 0;
  std::string pin = "sha256//";
  for (size_t i = at + kMarker.size(); i < line.size(); ++i) {
    const char c = line[i];
    if (c == '\r' || c == '\n' || c == ' ') break;
    pin += c;
  }
  static_cast<KeyCheck*>(check)->seen_tls_pin = pin;
  return 0;
}

// Only a host key that the known hosts file holds for this host is accepted.
int OnHostKey(CURL*, const curl_khkey*, const curl_khkey*, curl_khmatch match, void* check) {
  auto* seen = static_cast<KeyCheck*>(check);
  switch (match) {
    case CURLKHMATCH_OK:
      seen->host_key = KeyCheck::HostKey::kKnown;
      return CURLKHSTAT_FINE;
    case CURLKHMATCH_MISMATCH:
      seen->host_key = KeyCheck::HostKey::kChanged;
      return CURLKHSTAT_REJECT;
    default:
      seen->host_key = KeyCheck::HostKey::kUnknown;
      return CURLKHSTAT_REJECT;
  }
}

const char* ProtocolOf(const ServerAddress& address) {
  switch (address.transport) {
    case Transport::kFtpImplicitTls:
      return "ftps";
    case Transport::kSftp:
      return "sftp";
    default:
      return "ftp";
  }
}

void ConfigureTls(CURL* curl, const std::string& pin, KeyCheck* check) {
  curl_easy_setopt(curl, CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_ALL));
  curl_easy_setopt(curl, CURLOPT_FTPSSLAUTH, static_cast<long>(CURLFTPAUTH_TLS));
  // TLS 1.2 exactly: under TLS 1.3 the server sends session tickets on every data
  // connection after the handshake, and libcurl 7.88 closes an upload's data
  // connection with them unread, which resets it and cuts the upload short.
  curl_easy_setopt(
      curl, CURLOPT_SSLVERSION,
      static_cast<long>(CURL_SSLVERSION_TLSv1_2) | static_cast<long>(CURL_SSLVERSION_MAX_TLSv1_2));
  if (pin.empty()) {
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    UseSystemCertificateStore(curl);
  } else {
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L);
    curl_easy_setopt(curl, CURLOPT_PINNEDPUBLICKEY, pin.c_str());
  }
  curl_easy_setopt(curl, CURLOPT_DEBUGFUNCTION, &OnDebugText);
  curl_easy_setopt(curl, CURLOPT_DEBUGDATA, check);
  curl_easy_setopt(curl, CURLOPT_VERBOSE, 1L);
}

}  // namespace

void ConfigureSecureTransport(CURL* curl, const ServerAddress& address, KeyCheck* check) {
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, ProtocolOf(address));
  *check = KeyCheck();
  if (IsTlsTransport(address.transport)) {
    ConfigureTls(curl, address.key_pin, check);
  } else if (address.transport == Transport::kSftp) {
    curl_easy_setopt(curl, CURLOPT_SSH_AUTH_TYPES,
                     static_cast<long>(CURLSSH_AUTH_PASSWORD | CURLSSH_AUTH_KEYBOARD));
    if (!address.key_pin.empty()) {
      curl_easy_setopt(curl, CURLOPT_SSH_HOST_PUBLIC_KEY_SHA256, address.key_pin.c_str());
    } else {
      // libcurl checks nothing when given neither a pin nor a known hosts file.
      const std::string known_hosts = KnownHostsPath();
      curl_easy_setopt(curl, CURLOPT_SSH_KNOWNHOSTS, known_hosts.c_str());
      curl_easy_setopt(curl, CURLOPT_SSH_KEYFUNCTION, &OnHostKey);
      curl_easy_setopt(curl, CURLOPT_SSH_KEYDATA, check);
    }
  }
}

std::string PinTextOfTlsKey(const std::string& seen_tls_pin) {
  if (seen_tls_pin.size() <= 8) return "";
  return "sha256:" + seen_tls_pin.substr(8);
}

std::string PinTextOfSshKey(const std::string& fingerprint) {
  if (fingerprint.empty()) return "";
  std::string bare = fingerprint;
  while (!bare.empty() && bare.back() == '=') bare.pop_back();
  return "SHA256:" + bare;
}

std::string FingerprintInSshPinRefusal(const std::string& message) {
  static constexpr std::string_view kBefore = "Remote ";
  const size_t start = message.find(kBefore);
  if (start == std::string::npos) return "";
  const size_t end = message.find(' ', start + kBefore.size());
  if (end == std::string::npos) return "";
  return message.substr(start + kBefore.size(), end - start - kBefore.size());
}

std::string ShortCertificateReason(const std::string& message) {
  static const struct {
    const char* found;
    const char* reason;
  } kReasons[] = {
      {"does not match pinned", "not the pinned key"},
      {"self-signed", "self-signed, not from a known CA"},
      {"unable to get local issuer", "issuer not a known CA"},
      {"subject name", "made out to another host name"},
      {"certificate has expired", "expired"},
      {"not yet valid", "not yet valid"},
  };
  for (const auto& known : kReasons) {
    if (message.find(known.found) != std::string::npos) return known.reason;
  }
  std::string reason = message;
  for (const char* prefix : {"SSL certificate problem: ", "SSL: "}) {
    if (reason.rfind(prefix, 0) == 0) reason.erase(0, strlen(prefix));
  }
  return reason;
}

std::string ReadServerKeyPin(const ServerAddress& address, long connect_ms) {
  CURL* curl = curl_easy_init();
  if (curl == nullptr) return "";
  KeyCheck check;
  char error[CURL_ERROR_SIZE] = {};
  const std::string url = ServerUrl(address);
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
  curl_easy_setopt(curl, CURLOPT_FRESH_CONNECT, 1L);
  curl_easy_setopt(curl, CURLOPT_FORBID_REUSE, 1L);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, connect_ms);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, connect_ms);
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error);
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, ProtocolOf(address));
  std::string pin;
  if (IsTlsTransport(address.transport)) {
    ConfigureTls(curl, kImpossibleTlsPin, &check);
    curl_easy_perform(curl);
    pin = PinTextOfTlsKey(check.seen_tls_pin);
  } else if (address.transport == Transport::kSftp) {
    curl_easy_setopt(curl, CURLOPT_SSH_AUTH_TYPES, static_cast<long>(CURLSSH_AUTH_PASSWORD));
    curl_easy_setopt(curl, CURLOPT_SSH_HOST_PUBLIC_KEY_SHA256, kImpossibleSshPin);
    curl_easy_perform(curl);
    pin = PinTextOfSshKey(FingerprintInSshPinRefusal(error));
  }
  curl_easy_cleanup(curl);
  return pin;
}

}  // namespace zuno
