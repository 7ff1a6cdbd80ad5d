#include <curl/curl.h>
#include <string.h>
#include <time.h>

#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <utility>

#include "engine/engine_errors.h"
#include "engine/engine_platform.h"
#include "engine/engine_state.h"
#include "engine/ftp_connection.h"
#include "engine/ftp_engine.h"
#include "engine/ftp_listing.h"
#include "engine/ftp_paths.h"
#include "engine/local_transfer_files.h"
#include "engine/secure_transport.h"
#include "engine/server_host.h"
#include "services/path_separator.h"

namespace zuno {
namespace {

// The longest directory listing that the file check reads.
constexpr size_t kListingLimit = 16 * 1024 * 1024;

// libcurl's process-wide start, made once.
bool StartCurl() {
  static const bool started = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
  return started;
}

bool IsReplyOfClass(int reply, int first_digit) { return reply / 100 == first_digit; }

// The server does not know the command (or its argument form).
bool IsUnknownCommandReply(int reply) {
  return reply == 500 || reply == 501 || reply == 502 || reply == 504;
}

// A failure that the server stated in a complete reply: the control connection
// is still in step and serves the next request.
bool IsCleanRefusal(const FtpOutcome& outcome, Transport transport) {
  switch (outcome.code) {
    case CURLE_REMOTE_ACCESS_DENIED:
    case CURLE_REMOTE_FILE_NOT_FOUND:
    case CURLE_FTP_COULDNT_RETR_FILE:
    case CURLE_QUOTE_ERROR:
    case CURLE_UPLOAD_FAILED:
      // SFTP answers with a status and no reply line; the session goes on.
      if (transport == Transport::kSftp) return true;
      return outcome.last_reply_code >= 400 && outcome.last_reply_code < 600 &&
             outcome.last_reply_code != 421;
    default:
      return false;
  }
}

// A failure that a connection gone since the last request explains.
bool IsConnectionLoss(const FtpOutcome& outcome) {
  switch (outcome.code) {
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_FTP_WEIRD_SERVER_REPLY:
      return true;
    default:
      return outcome.last_reply_code == 421;
  }
}

// What the caller of a request is doing, for the codes that depend on it.
enum class Purpose { kLogin, kDirectory, kCheck, kDownload, kUpload, kCommand };

int32_t CodeFor(const FtpOutcome& outcome, Purpose purpose, Transport transport) {
  // A server without TLS may refuse AUTH TLS as if it were a failed login.
  if (outcome.code == CURLE_USE_SSL_FAILED) return kEngineTlsNotOffered;
  if (outcome.last_reply_code == 530 || outcome.code == CURLE_LOGIN_DENIED) {
    return kEngineLoginRefused;
  }
  if (outcome.last_reply_code == 421) return kEngineConnectionLost;
  switch (outcome.code) {
    case CURLE_COULDNT_RESOLVE_HOST:
      return kEngineHostNotFound;
    case CURLE_COULDNT_CONNECT:
    case CURLE_FTP_CANT_GET_HOST:
    case CURLE_FTP_ACCEPT_FAILED:
      return kEngineCannotConnect;
    case CURLE_OPERATION_TIMEDOUT:
      return outcome.message.find("too slow") != std::string::npos ? kEngineStalled
                                                                   : kEngineTimeout;
    case CURLE_FTP_ACCEPT_TIMEOUT:
      return kEngineTimeout;
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING:
      return kEngineConnectionLost;
    case CURLE_PARTIAL_FILE:
      return kEngineTransferIncomplete;
    case CURLE_WRITE_ERROR:
      return purpose == Purpose::kCheck ? kEngineExistenceUnknown : kEngineLocalWriteFailed;
    case CURLE_READ_ERROR:
    case CURLE_ABORTED_BY_CALLBACK:
      return kEngineLocalReadFailed;
    case CURLE_FTP_WEIRD_SERVER_REPLY:
    case CURLE_FTP_WEIRD_PASS_REPLY:
    case CURLE_FTP_WEIRD_PASV_REPLY:
    case CURLE_FTP_WEIRD_227_FORMAT:
      return outcome.last_reply_code == 0 ? kEngineConnectionLost : kEngineBadReply;
    case CURLE_REMOTE_ACCESS_DENIED:
      // libcurl's word for a refused change of directory, and for a user name
      // that the server refuses outright.
      return purpose == Purpose::kLogin ? kEngineLoginRefused : kEngineNoServerDirectory;
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
      return transport == Transport::kSftp ? kEngineHostKeyRefused : kEngineCertificateRefused;
    case CURLE_USE_SSL_FAILED:
      return kEngineTlsNotOffered;
    case CURLE_SSL_CONNECT_ERROR:
      return kEngineSecureChannelFailed;
    case CURLE_FAILED_INIT:
    case CURLE_SSH:
      // libcurl's word for an SSH handshake that failed.
      if (transport == Transport::kSftp &&
          outcome.message.find("ssh session") != std::string::npos) {
        return kEngineSecureChannelFailed;
      }
      if (outcome.code == CURLE_SSH) {
        return purpose == Purpose::kCheck ? kEngineExistenceUnknown : kEngineServerRefused;
      }
      return kEngineStartFailed;
    case CURLE_OUT_OF_MEMORY:
      return kEngineStartFailed;
    case CURLE_REMOTE_FILE_NOT_FOUND:
      if (purpose == Purpose::kDirectory) return kEngineNoServerDirectory;
      if (purpose == Purpose::kCheck) return kEngineExistenceUnknown;
      return purpose == Purpose::kDownload ? kEngineServerFileMissing : kEngineServerRefused;
    default:
      return purpose == Purpose::kCheck ? kEngineExistenceUnknown : kEngineServerRefused;
  }
}

// The detail of a failed request for the user: the server's own reply when it
// refused, otherwise libcurl's description of what went wrong.
std::string DetailOf(const FtpOutcome& outcome) {
  if (outcome.last_reply_code >= 400) return outcome.last_reply;
  return outcome.message;
}

// The first number after the code of a reply such as "213 1234".
bool ReplyNumber(const std::string& reply, long long* number) {
  if (reply.size() < 5) return false;
  long long value = 0;
  size_t at = 4;
  if (reply[at] < '0' || reply[at] > '9') return false;
  while (at < reply.size() && at < 22 && reply[at] >= '0' && reply[at] <= '9') {
    value = value * 10 + (reply[at] - '0');
    ++at;
  }
  *number = value;
  return true;
}

// A name for an upload on its way, which no other machine or run can choose:
// host name, process and random bits.
std::string TemporaryServerName() {
  const std::string host = MachineName();
  std::string short_host;
  for (const char* c = host.c_str(); *c != '\0' && *c != '.' && short_host.size() < 24; ++c) {
    const bool plain = (*c >= 'a' && *c <= 'z') || (*c >= 'A' && *c <= 'Z') ||
                       (*c >= '0' && *c <= '9') || *c == '-';
    short_host += plain ? *c : '-';
  }
  if (short_host.empty()) short_host = "host";
  unsigned int random = 0;
  if (!FillRandom(&random, sizeof(random))) {
    random = static_cast<unsigned int>(time(nullptr)) ^
             (static_cast<unsigned int>(ProcessNumber()) << 16);
  }
  char tail[32];
  std::snprintf(tail, sizeof(tail), "%ld-%08x", ProcessNumber(), random);
  return "zuno-upload-" + short_host + "-" + tail + ".part";
}

// A directory listing held in memory.
class ListingText : public TransferSink {
 public:
  bool Write(const char* data, size_t size) override {
    if (text_.size() + size > kListingLimit) {
      too_long_ = true;
      return false;
    }
    text_.append(data, size);
    return true;
  }
  bool Restart() override {
    text_.clear();
    too_long_ = false;
    return true;
  }
  const std::string& text() const { return text_; }
  bool too_long() const { return too_long_; }

 private:
  std::string text_;
  bool too_long_ = false;
};

class CurlEngine final : public FtpEngine {
 public:
  // A run that ends without fceClose (a key during a retry) must end at once: a
  // connection still open then is dropped without waiting for the server's QUIT reply.
  ~CurlEngine() override {
    if (connection_ != nullptr) connection_->Abandon();
    connection_.reset();
  }

  int32_t fceAttach(int32_t channels) override;
  int32_t fceSetInteger(int32_t channel, int32_t parameter, int32_t value) override;
  int32_t fceSetLocalDir(int32_t channel, const std::string& directory) override;
  int32_t fceConnect(int32_t channel, const std::string& host, const std::string& user,
                     const std::string& password) override;
  int32_t fceSetServerDir(int32_t channel, const std::string& directory) override;
  int32_t fceGetList(int32_t channel, int32_t kind, char* buffer, int32_t size) override;
  int32_t fceSetMode(int32_t channel, int32_t mode) override;
  int32_t fceGetFile(int32_t channel, const std::string& transfer_text) override;
  int32_t fceDelFile(int32_t channel, const std::string& name) override;
  int32_t fcePutFile(int32_t channel, const std::string& name) override;
  int32_t fceClose(int32_t channel) override;
  int32_t fceErrorText(int32_t channel, int32_t code, char* buffer, int32_t size) override;
  int32_t fceRelease() override;

 private:
  // 0 when the engine is attached and the channel is 0, else the failure.
  int32_t CheckChannel(int32_t channel);
  // Also requires a login.
  int32_t CheckConnected(int32_t channel);
  // Records the detail of a failure and gives its code.
  int32_t Refuse(int32_t code, const std::string& detail);
  // The same for a failure on the way to the server: the next operation starts
  // on a fresh connection, since this one may be out of step.
  int32_t Fail(int32_t code, const std::string& detail);
  int32_t FailWith(const FtpOutcome& outcome, Purpose purpose);
  // The code and detail of a failed request; a refused server key comes with the
  // key the server showed, in the pin form ServerHost takes.
  int32_t CodeOf(const FtpOutcome& outcome, Purpose purpose) const;
  std::string DetailFor(const FtpOutcome& outcome, int32_t code) const;

  bool Sftp() const { return login_.address.transport == Transport::kSftp; }
  // The URL paths of the server directory and of a file in it.
  std::string DirectoryPath() const;
  std::string FilePath(const std::string& name) const;

  // Runs a request on the login's connection. A connection that the server has
  // ended since the last request, or that is found gone on the way, is replaced
  // by a new login (on the way: once, and the request made again from its start).
  FtpOutcome Run(const FtpRequest& request);
  // Ends the login's connection: with QUIT when it is in step, without otherwise.
  void EndConnection();

  int32_t CheckExistence(const std::string& name);
  int32_t CheckExistenceOverSftp(const std::string& name);
  int32_t RenameOverSftp(const std::string& from, const std::string& to);
  int32_t ConfirmAbsence(const std::string& name);
  int32_t ConfirmPlainFile(const std::string& name);
  void RemoveServerFile(const std::string& name);
  std::string LocalPath(const std::string& name) const;

  EngineState state_;
  std::string local_dir_;
  bool connected_ = false;
  LoginData login_;
  std::unique_ptr<FtpConnection> connection_;
  bool out_of_step_ = false;
  std::string server_dir_;
  bool ascii_ = false;
  bool machine_listing_unknown_ = false;
};

int32_t CurlEngine::Refuse(int32_t code, const std::string& detail) {
  return state_.Record(code, detail, login_.password);
}

int32_t CurlEngine::Fail(int32_t code, const std::string& detail) {
  out_of_step_ = true;
  return Refuse(code, detail);
}

int32_t CurlEngine::FailWith(const FtpOutcome& outcome, Purpose purpose) {
  const int32_t code = CodeOf(outcome, purpose);
  return Fail(code, DetailFor(outcome, code));
}

int32_t CurlEngine::CodeOf(const FtpOutcome& outcome, Purpose purpose) const {
  return CodeFor(outcome, purpose, login_.address.transport);
}

std::string CurlEngine::DetailFor(const FtpOutcome& outcome, int32_t code) const {
  const ServerAddress& address = login_.address;
  std::string pin;
  std::string reason;
  if (code == kEngineCertificateRefused) {
    pin = PinTextOfTlsKey(outcome.key_check.seen_tls_pin);
    reason = ShortCertificateReason(outcome.message);
  } else if (code == kEngineHostKeyRefused) {
    if (!address.key_pin.empty()) {
      pin = PinTextOfSshKey(FingerprintInSshPinRefusal(outcome.message));
      reason = "not the pinned key";
    } else if (outcome.key_check.host_key == KeyCheck::HostKey::kChanged) {
      reason = std::string("CHANGED from the one in ") + KnownHostsShownName();
    } else {
      reason = std::string("not in ") + KnownHostsShownName();
    }
  } else if (code == kEngineSecureChannelFailed && address.transport == Transport::kSftp &&
             outcome.message.find("exchange encryption keys") != std::string::npos) {
    // libssh2 1.10 signs with RSA only through SHA-1, which current OpenSSH refuses.
    return "no common key type (an RSA-only host key needs a newer libssh2)";
  } else {
    return DetailOf(outcome);
  }
  // The pin comes first so that it fits the error text whole.
  if (pin.empty()) pin = ReadServerKeyPin(address, state_.limits.connect_ms);
  return pin.empty() ? reason : "key #" + pin + "; " + reason;
}

std::string CurlEngine::DirectoryPath() const {
  return Sftp() ? SftpDirectoryUrlPath(server_dir_) : DirectoryUrlPath(server_dir_);
}

std::string CurlEngine::FilePath(const std::string& name) const {
  return Sftp() ? SftpFileUrlPath(server_dir_, name) : FileUrlPath(server_dir_, name);
}

int32_t CurlEngine::CheckChannel(int32_t channel) { return state_.CheckChannel(channel); }

int32_t CurlEngine::CheckConnected(int32_t channel) {
  if (const int32_t failure = CheckChannel(channel); failure < 0) return failure;
  if (!connected_) return Refuse(kEngineNotConnected, "");
  return 0;
}

FtpOutcome CurlEngine::Run(const FtpRequest& request) {
  for (int attempt = 0;; ++attempt) {
    if (connection_ == nullptr || out_of_step_ || !connection_->Quiet()) {
      if (connection_ != nullptr) connection_->Abandon();
      connection_ = std::make_unique<FtpConnection>(login_);
      out_of_step_ = false;
    }
    FtpOutcome outcome = connection_->Run(request, state_.limits);
    if (outcome.ok()) return outcome;
    if (!IsCleanRefusal(outcome, login_.address.transport)) out_of_step_ = true;
    // Only a connection that was gone before anything moved counts as stale; one
    // that breaks in the middle of a transfer is the server's doing.
    const bool stale = !outcome.logged_in_anew && outcome.bytes_received == 0 &&
                       outcome.bytes_sent == 0 && IsConnectionLoss(outcome);
    const bool again = attempt == 0 && stale &&
                       (request.sink == nullptr || request.sink->Restart()) &&
                       (request.source == nullptr || request.source->Restart());
    if (!again) return outcome;
  }
}

void CurlEngine::EndConnection() {
  if (connection_ != nullptr && out_of_step_) connection_->Abandon();
  connection_.reset();
  connected_ = false;
  out_of_step_ = false;
  WipeMemory(login_.password.data(), login_.password.size());
  login_ = LoginData();
}

int32_t CurlEngine::fceAttach(int32_t channels) {
  if (channels < 1) return Refuse(kEngineBadArgument, "at least one channel is needed");
  if (!StartCurl()) return Refuse(kEngineStartFailed, "");
  state_.attached = true;
  return channels;
}

int32_t CurlEngine::fceSetInteger(int32_t channel, int32_t parameter, int32_t value) {
  if (const int32_t failure = CheckChannel(channel); failure < 0) return failure;
  return state_.SetParameter(parameter, value);
}

int32_t CurlEngine::fceSetLocalDir(int32_t channel, const std::string& directory) {
  if (const int32_t failure = CheckChannel(channel); failure < 0) return failure;
  if (directory.empty()) return Refuse(kEngineLocalDirectoryMissing, "no directory given");
  std::string problem;
  if (!IsLocalDirectory(directory, &problem)) return Refuse(kEngineLocalDirectoryMissing, problem);
  local_dir_ = directory;
  return 0;
}

int32_t CurlEngine::fceConnect(int32_t channel, const std::string& host, const std::string& user,
                               const std::string& password) {
  if (const int32_t failure = CheckChannel(channel); failure < 0) return failure;
  ServerAddress address;
  std::string problem;
  if (!ParseServerHost(host, &address, &problem)) return Refuse(kEngineBadHostText, problem);
  const std::string_view breaks("\r\n\0", 3);
  if (user.find_first_of(breaks) != std::string::npos ||
      password.find_first_of(breaks) != std::string::npos) {
    return Refuse(kEngineBadArgument, "the user name or password contains a line break or NUL");
  }
  // A connect is always a fresh login; an earlier one ends here.
  EndConnection();
  login_.address = address;
  login_.user = user;
  login_.password = password;
  server_dir_.clear();
  ascii_ = false;
  machine_listing_unknown_ = false;
  connection_ = std::make_unique<FtpConnection>(login_);
  if (!connection_->usable()) {
    const int32_t code = Refuse(kEngineStartFailed, "");
    EndConnection();
    return code;
  }
  FtpRequest request;
  const FtpOutcome outcome = connection_->Run(request, state_.limits);
  if (!outcome.ok()) {
    const int32_t login_code = CodeOf(outcome, Purpose::kLogin);
    const int32_t code = Refuse(login_code, DetailFor(outcome, login_code));
    out_of_step_ = true;
    EndConnection();
    return code;
  }
  connected_ = true;
  return 0;
}

int32_t CurlEngine::fceSetServerDir(int32_t channel, const std::string& directory) {
  if (const int32_t failure = CheckConnected(channel); failure < 0) return failure;
  std::string problem;
  if (!IsUsableServerDirectory(directory, &problem)) {
    return Refuse(kEngineBadDirectoryText, problem);
  }
  FtpRequest request;
  // SFTP has no change of directory: a directory is there when it can be listed.
  ListingText listing;
  if (Sftp()) {
    request.kind = FtpRequest::Kind::kListing;
    request.url_path = SftpDirectoryUrlPath(directory);
    request.sink = &listing;
  } else {
    request.url_path = DirectoryUrlPath(directory);
  }
  const FtpOutcome outcome = Run(request);
  if (!outcome.ok() && !listing.too_long()) return FailWith(outcome, Purpose::kDirectory);
  server_dir_ = directory;
  return 0;
}

int32_t CurlEngine::fceGetList(int32_t channel, int32_t kind, char* buffer, int32_t size) {
  if (const int32_t failure = CheckConnected(channel); failure < 0) return failure;
  if (kind != 3) return Refuse(kEngineUnsupportedListKind, "list kind " + std::to_string(kind));
  if (buffer == nullptr || size < 1) return Refuse(kEngineBadArgument, "no list buffer");
  const size_t length = strnlen(buffer, static_cast<size_t>(size));
  if (length == static_cast<size_t>(size)) {
    return Refuse(kEngineBadArgument, "the name in the list buffer has no end");
  }
  const std::string name(buffer, length);
  std::string problem;
  if (!IsUsableServerName(name, &problem)) return Refuse(kEngineBadName, problem);
  return CheckExistence(name);
}

// A file is there when the directory's listing shows it. It is absent only when a
// complete listing that shows every name lacks it and asking for its size does not
// contradict that; every other answer is a doubt, and a doubt is a failure.
int32_t CurlEngine::CheckExistence(const std::string& name) {
  if (Sftp()) return CheckExistenceOverSftp(name);
  const std::string directory = DirectoryUrlPath(server_dir_);
  if (!machine_listing_unknown_) {
    ListingText listing;
    FtpRequest request;
    request.kind = FtpRequest::Kind::kListing;
    request.url_path = directory;
    request.listing_command = "MLSD";
    request.sink = &listing;
    const FtpOutcome outcome = Run(request);
    if (listing.too_long()) return Fail(kEngineExistenceUnknown, "the listing is too long");
    if (outcome.ok()) {
      // libcurl takes some refusals of a listing (450) for an empty one.
      if (!IsReplyOfClass(outcome.last_reply_code, 2)) {
        return Fail(kEngineExistenceUnknown, outcome.last_reply);
      }
      switch (FindInMachineListing(listing.text(), name)) {
        case ListedAs::kFile:
          return 1;
        case ListedAs::kDirectory:
          return Fail(kEngineNotAFile, name + " is a directory");
        case ListedAs::kAbsent:
          return ConfirmAbsence(name);
      }
    }
    if (!IsCleanRefusal(outcome, Transport::kFtp) ||
        !IsUnknownCommandReply(outcome.last_reply_code)) {
      return FailWith(outcome, Purpose::kCheck);
    }
    machine_listing_unknown_ = true;
  }

  // Without machine listings: a name list, asked to show the names that begin with
  // a dot too; a server that does not take the option gets the plain request.
  bool shows_dot_names = false;
  bool listed = false;
  for (const char* command : {"NLST -a", "NLST"}) {
    ListingText listing;
    FtpRequest request;
    request.kind = FtpRequest::Kind::kListing;
    request.url_path = directory;
    request.listing_command = command;
    request.sink = &listing;
    const FtpOutcome outcome = Run(request);
    if (listing.too_long()) return Fail(kEngineExistenceUnknown, "the listing is too long");
    if (outcome.ok()) {
      if (!IsReplyOfClass(outcome.last_reply_code, 2)) {
        return Fail(kEngineExistenceUnknown, outcome.last_reply);
      }
      if (NameListHas(listing.text(), name)) return ConfirmPlainFile(name);
      shows_dot_names = NameListShowsDotEntries(listing.text());
      listed = true;
      break;
    }
    if (!IsCleanRefusal(outcome, Transport::kFtp) || !IsReplyOfClass(outcome.last_reply_code, 5)) {
      return FailWith(outcome, Purpose::kCheck);
    }
  }
  if (!listed) return Fail(kEngineExistenceUnknown, "the server gives no listing of names");
  if (name.front() == '.' && !shows_dot_names) {
    return Fail(kEngineExistenceUnknown, "the server's listing hides names that begin with a dot");
  }
  return ConfirmAbsence(name);
}

// An SFTP listing shows every name, those that begin with a dot too: a complete
// one that lacks the name shows it absent. A listed name is a file unless it can
// be opened as a directory.
int32_t CurlEngine::CheckExistenceOverSftp(const std::string& name) {
  ListingText listing;
  FtpRequest request;
  request.kind = FtpRequest::Kind::kListing;
  request.url_path = SftpDirectoryUrlPath(server_dir_);
  request.sink = &listing;
  const FtpOutcome outcome = Run(request);
  if (listing.too_long()) return Fail(kEngineExistenceUnknown, "the listing is too long");
  if (!outcome.ok()) return FailWith(outcome, Purpose::kCheck);
  if (!NameListHas(listing.text(), name)) return 0;
  ListingText inside;
  FtpRequest as_directory;
  as_directory.kind = FtpRequest::Kind::kListing;
  as_directory.url_path = SftpFileUrlPath(server_dir_, name) + "/";
  as_directory.sink = &inside;
  const FtpOutcome opened = Run(as_directory);
  if (opened.ok() || inside.too_long()) return Fail(kEngineNotAFile, name + " is a directory");
  if (opened.code == CURLE_REMOTE_FILE_NOT_FOUND) return 1;
  return FailWith(opened, Purpose::kCheck);
}

// SFTP's rename never replaces a file. The driver deletes the server's copy before
// the upload, so the first rename normally works; a copy that is still there is
// deleted right before a second one.
int32_t CurlEngine::RenameOverSftp(const std::string& from, const std::string& to) {
  const std::string rename =
      "rename " + SftpQuotedPath(server_dir_, from) + " " + SftpQuotedPath(server_dir_, to);
  FtpRequest request;
  request.url_path = SftpDirectoryUrlPath(server_dir_);
  request.commands_after = {rename};
  FtpOutcome renamed = Run(request);
  if (renamed.ok()) return 0;
  if (renamed.code == CURLE_QUOTE_ERROR) {
    request.commands_after = {"*rm " + SftpQuotedPath(server_dir_, to), rename};
    renamed = Run(request);
    if (renamed.ok()) return 0;
  }
  return FailWith(renamed, Purpose::kCommand);
}

// A listing that lacks the name is checked against the size of the file: a server
// that tells a size has the file after all; one that says it has no such file, or
// that does not know the size command, leaves the listing's word standing.
int32_t CurlEngine::ConfirmAbsence(const std::string& name) {
  FtpRequest request;
  request.kind = FtpRequest::Kind::kFileInfo;
  request.url_path = FileUrlPath(server_dir_, name);
  const FtpOutcome outcome = Run(request);
  if (outcome.ok()) return outcome.reported_size >= 0 ? 1 : 0;
  if (outcome.code == CURLE_REMOTE_FILE_NOT_FOUND && IsCleanRefusal(outcome, Transport::kFtp)) {
    return 0;
  }
  return FailWith(outcome, Purpose::kCheck);
}

// A name list shows directories too. The size of the file tells them apart: a
// directory has none (550), and a server that does not know the command leaves
// the listing's word standing.
int32_t CurlEngine::ConfirmPlainFile(const std::string& name) {
  FtpRequest request;
  request.kind = FtpRequest::Kind::kFileInfo;
  request.url_path = FileUrlPath(server_dir_, name);
  const FtpOutcome outcome = Run(request);
  if (outcome.ok()) return 1;
  if (outcome.code == CURLE_REMOTE_FILE_NOT_FOUND && IsCleanRefusal(outcome, Transport::kFtp)) {
    return Fail(kEngineNotAFile, name + " is listed, but has no size: " + outcome.last_reply);
  }
  return FailWith(outcome, Purpose::kCheck);
}

int32_t CurlEngine::fceSetMode(int32_t channel, int32_t mode) {
  if (const int32_t failure = CheckConnected(channel); failure < 0) return failure;
  if (mode == 'B') {
    ascii_ = false;
  } else if (mode == 'A') {
    ascii_ = true;
  } else {
    return Refuse(kEngineBadMode, "mode " + std::to_string(mode));
  }
  return 0;
}

std::string CurlEngine::LocalPath(const std::string& name) const {
  if (local_dir_.empty()) return name;
  const char last = local_dir_.back();
  return last == '/' || last == kPathSeparator ? local_dir_ + name
                                               : local_dir_ + kPathSeparator + name;
}

int32_t CurlEngine::fceGetFile(int32_t channel, const std::string& transfer_text) {
  if (const int32_t failure = CheckConnected(channel); failure < 0) return failure;
  const size_t colon = transfer_text.find(':');
  if (colon == std::string::npos) return Refuse(kEngineBadTransferText, "no ':' in the text");
  const std::string server_name = transfer_text.substr(0, colon);
  const std::string local_name = transfer_text.substr(colon + 1);
  std::string problem;
  if (!IsUsableServerName(server_name, &problem)) return Refuse(kEngineBadName, problem);
  if (local_name.empty() || local_name.back() == '/' ||
      local_name.find('\0') != std::string::npos) {
    return Refuse(kEngineBadTransferText, "no usable local file name after the ':'");
  }

  LocalDownload download(LocalPath(local_name));
  if (!download.Open(&problem)) return Refuse(kEngineLocalWriteFailed, problem);
  FtpRequest request;
  request.kind = FtpRequest::Kind::kDownload;
  request.url_path = FilePath(server_name);
  request.sink = &download;
  request.ascii = ascii_;
  const FtpOutcome outcome = Run(request);
  if (!outcome.ok()) {
    if (outcome.code == CURLE_WRITE_ERROR) {
      return Fail(kEngineLocalWriteFailed, download.write_error());
    }
    return FailWith(outcome, Purpose::kDownload);
  }
  // In ASCII mode the line ends change on the way, and with them the size.
  if (!ascii_ && outcome.reported_size >= 0 && download.bytes() != outcome.reported_size) {
    return Fail(kEngineTransferIncomplete, "received " + std::to_string(download.bytes()) + " of " +
                                               std::to_string(outcome.reported_size) + " bytes");
  }
  if (!download.Commit(&problem)) return Fail(kEngineLocalWriteFailed, problem);
  return 0;
}

int32_t CurlEngine::fceDelFile(int32_t channel, const std::string& name) {
  if (const int32_t failure = CheckConnected(channel); failure < 0) return failure;
  std::string problem;
  if (!IsUsableServerName(name, &problem)) return Refuse(kEngineBadName, problem);
  FtpRequest request;
  request.url_path = DirectoryPath();
  request.commands_after = {Sftp() ? "*rm " + SftpQuotedPath(server_dir_, name) : "*DELE " + name};
  const FtpOutcome outcome = Run(request);
  if (!outcome.ok()) return FailWith(outcome, Purpose::kCommand);
  // SFTP tells no reply: whether the file is gone is checked below.
  if (!Sftp() && IsReplyOfClass(outcome.last_reply_code, 2)) return 0;
  // A refusal is fine when the file is not there; otherwise the file stays and
  // the refusal is the failure.
  const std::string refusal = outcome.last_reply;
  const int32_t exists = CheckExistence(name);
  if (exists == 0) return 0;
  if (Sftp()) return Fail(kEngineServerRefused, "the file is still there");
  return Fail(kEngineServerRefused, refusal.empty() ? "DELE " + name : refusal);
}

void CurlEngine::RemoveServerFile(const std::string& name) {
  FtpRequest request;
  request.url_path = DirectoryPath();
  request.commands_after = {Sftp() ? "*rm " + SftpQuotedPath(server_dir_, name) : "*DELE " + name};
  Run(request);
}

int32_t CurlEngine::fcePutFile(int32_t channel, const std::string& name) {
  if (const int32_t failure = CheckConnected(channel); failure < 0) return failure;
  std::string problem;
  if (!IsUsableServerName(name, &problem)) return Refuse(kEngineBadName, problem);
  LocalUpload upload;
  switch (upload.Open(LocalPath(name), &problem)) {
    case LocalUpload::OpenResult::kOpened:
      break;
    case LocalUpload::OpenResult::kMissing:
      return Refuse(kEngineLocalFileMissing, problem);
    case LocalUpload::OpenResult::kUnreadable:
      return Refuse(kEngineLocalReadFailed, problem);
  }

  // The file goes up under a name of its own and takes the real name only once
  // the server holds all of it, so the name never shows a partial file.
  const std::string temporary = TemporaryServerName();
  FtpRequest send;
  send.kind = FtpRequest::Kind::kUpload;
  send.url_path = FilePath(temporary);
  send.source = &upload;
  send.upload_size = upload.size();
  send.ascii = ascii_;
  // FTP: the server's size of the file proves that all of it arrived. SFTP
  // confirms every write it takes.
  if (!ascii_ && !Sftp()) send.commands_after = {"*SIZE " + temporary};
  const FtpOutcome sent = Run(send);
  int32_t failure = 0;
  if (!sent.ok()) {
    failure = sent.code == CURLE_ABORTED_BY_CALLBACK || sent.code == CURLE_READ_ERROR
                  ? Fail(kEngineLocalReadFailed, upload.read_error())
                  : FailWith(sent, Purpose::kUpload);
  } else if (sent.bytes_sent != upload.size()) {
    failure = Fail(kEngineTransferIncomplete, "sent " + std::to_string(sent.bytes_sent) + " of " +
                                                  std::to_string(upload.size()) + " bytes");
  } else if (!ascii_ && !Sftp() && !IsUnknownCommandReply(sent.last_reply_code)) {
    long long stored = -1;
    if (sent.last_reply_code != 213 || !ReplyNumber(sent.last_reply, &stored) ||
        stored != upload.size()) {
      failure = Fail(kEngineTransferIncomplete,
                     "the server holds " + (stored >= 0 ? std::to_string(stored) : "an unknown") +
                         " of " + std::to_string(upload.size()) + " bytes");
    }
  }
  if (failure == 0 && Sftp()) {
    failure = RenameOverSftp(temporary, name);
    if (failure == 0) return 0;
  } else if (failure == 0) {
    FtpRequest rename;
    rename.url_path = DirectoryUrlPath(server_dir_);
    rename.commands_after = {"RNFR " + temporary, "RNTO " + name};
    const FtpOutcome renamed = Run(rename);
    if (renamed.ok()) return 0;
    failure = FailWith(renamed, Purpose::kCommand);
  }
  // A server that stopped answering would only make the clean-up wait as long
  // again; the name of the leftover cannot be mistaken for anything else.
  if (failure != kEngineTimeout && failure != kEngineStalled) RemoveServerFile(temporary);
  out_of_step_ = true;
  return failure;
}

int32_t CurlEngine::fceClose(int32_t channel) {
  if (const int32_t failure = CheckChannel(channel); failure < 0) return failure;
  EndConnection();
  return 0;
}

int32_t CurlEngine::fceErrorText(int32_t channel, int32_t code, char* buffer, int32_t size) {
  return state_.ErrorText(channel, code, buffer, size);
}

int32_t CurlEngine::fceRelease() {
  if (!state_.attached) return kEngineNotAttached;
  EndConnection();
  state_.attached = false;
  return 0;
}

}  // namespace

std::unique_ptr<FtpEngine> MakeFtpEngine() { return std::make_unique<CurlEngine>(); }

}  // namespace zuno
