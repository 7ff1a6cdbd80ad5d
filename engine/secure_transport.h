#pragma once

#include <curl/curl.h>

#include <string>

#include "engine/server_host.h"

namespace zuno {

// What the check of the server's key saw on the latest connection of a handle.
struct KeyCheck {
  // TLS: the server key's pin as libcurl computed it ("sha256//BASE64="), when it
  // did (it does whenever a pin is given).
  std::string seen_tls_pin;
  // SSH without a pin: how the host key compared with the user's known hosts.
  enum class HostKey { kUnchecked, kKnown, kUnknown, kChanged };
  HostKey host_key = HostKey::kUnchecked;
};

// Sets a libcurl handle up for the transport of the address, with the server's key
// always checked:
// - FTP over TLS: TLS is required for the control and the data connections (the
//   login never goes out in clear text). Without a pin the certificate chain and
//   the host name are verified against the system's CA store. With a pin, the
//   pin is the check: the server's public key must be exactly the pinned one, and
//   the chain and host name are not asked for, so that a home server with a
//   self-signed certificate works.
// - SFTP: password login only. The host key must match the pin, or, without one,
//   an entry in the user's known hosts file; an unknown or changed key is refused
//   and the file is never written.
// Plain FTP gets nothing. check records what the handshake shows; it must live as
// long as the handle's requests.
void ConfigureSecureTransport(CURL* curl, const ServerAddress& address, KeyCheck* check);

// The key that the server shows, in the pin form ServerHost takes ("sha256:..." for
// TLS, "SHA256:..." for SSH), read on a connection of its own that sends no user
// name or password and ends right after the handshake: it is made to fail on a pin
// that no key has, with the server's own key in the failure. Empty when the key
// could not be read. For the error text of a refused key only.
std::string ReadServerKeyPin(const ServerAddress& address, long connect_ms);

// The pin form of a key that libcurl reported: "sha256//X=" (TLS) or the base64 of
// an SSH fingerprint; empty for an empty key.
std::string PinTextOfTlsKey(const std::string& seen_tls_pin);
std::string PinTextOfSshKey(const std::string& fingerprint);

// The server's fingerprint in libcurl's refusal of a pinned SSH host key, empty
// when the message has none.
std::string FingerprintInSshPinRefusal(const std::string& message);

// A short reason for a refused certificate, from libcurl's message.
std::string ShortCertificateReason(const std::string& message);

}  // namespace zuno
