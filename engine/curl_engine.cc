#include <curl/curl.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <map>
#include <memory>
#include <string>
#include <utility>

#include "engine/engine_errors.h"
#include "engine/engine_platform.h"
#include "engine/engine_state.h"
#include "engine/existence_proof.h"
#include "engine/ftp_connection.h"
#include "engine/ftp_engine.h"
#include "engine/ftp_listing.h"
#include "engine/ftp_paths.h"
#include "engine/local_transfer_files.h"
#include "engine/secure_transport.h"
#include "engine/server_host.h"
#include "engine/sha256.h"
#include "services/path_separator.h"

namespace zuno {
namespace {

// The longest directory listing that the file check reads.
constexpr size_t kListingLimit = 16 * 1024 * 1024;
// A download whose size the server does not tell is cut off at this size and after
// this time: far beyond any bookmark file, and short of filling a disk.
constexpr long long kUnknownSizeByteLimit = 256LL * 1024 * 1024;
constexpr int64_t kUnknownSizeTimeLimitMs = 30LL * 60 * 1000;

// libcurl's process-wide start, made once.
bool StartCurl() {
  static const bool started = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
  return started;
}

bool IsReplyOfClass(int reply, int first_digit) { return reply / 100 == first_digit; }

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

// This machine's host name in a form that any server takes in a file name.
std::string ShortHostName() {
  const std::string host = MachineName();
  std::string short_host;
  for (const char* c = host.c_str(); *c != '\0' && *c != '.' && short_host.size() < 24; ++c) {
    const bool plain = (*c >= 'a' && *c <= 'z') || (*c >= 'A' && *c <= 'Z') ||
                       (*c >= '0' && *c <= '9') || *c == '-';
    short_host += plain ? *c : '-';
  }
  return short_host.empty() ? "host" : short_host;
}

// The name an upload takes on its way, and the name an old copy takes for a moment
// on a server whose rename never replaces a file. Each machine has its own, and the
// same one every run, so whatever an interrupted run left under it is replaced by
// the next upload.
std::string TemporaryServerName() { return "zuno-upload-" + ShortHostName() + ".part"; }
std::string SetAsideServerName() { return "zuno-replaced-" + ShortHostName() + ".old"; }

// The replaced copies of the server directory's files, and how many of each are kept.
constexpr const char* kHistoryDirectory = "zuno-history";
constexpr size_t kHistoryKept = 10;

// The UTC time to the millisecond as 20261211T145700.123Z: sorts as it counts, and
// fits any file name.
std::string UtcStamp() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const long milliseconds = static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
  const std::tm* utc = std::gmtime(&seconds);
  char text[32] = "00000000T000000";
  if (utc != nullptr) std::strftime(text, sizeof(text), "%Y%m%dT%H%M%S", utc);
  char stamp[40];
  std::snprintf(stamp, sizeof(stamp), "%s.%03ldZ", text, milliseconds);
  return stamp;
}
constexpr size_t kStampLength = 20;

// A name with a text put in before its extension ("a.html" -> "a.TEXT.html"), so
// the copy still opens as what it is.
std::string NameWith(const std::string& name, const std::string& text) {
  const size_t dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0) return name + "." + text;
  return name.substr(0, dot) + "." + text + name.substr(dot);
}

// Whether a name in the history directory is a kept copy of the file.
bool IsHistoryCopyOf(const std::string& entry, const std::string& name) {
  const std::string pattern = NameWith(name, std::string(kStampLength, '#'));
  if (entry.size() != pattern.size()) return false;
  for (size_t i = 0; i < entry.size(); ++i) {
    if (pattern[i] != '#' ? entry[i] != pattern[i]
                          : !((entry[i] >= '0' && entry[i] <= '9') || entry[i] == 'T' ||
                              entry[i] == 'Z' || entry[i] == '.')) {
      return false;
    }
  }
  return true;
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

// Counts and hashes the bytes of a download on their way to another sink (or to
// none), and refuses any byte beyond a limit.
class CheckedSink : public TransferSink {
 public:
  CheckedSink(TransferSink* target, long long limit) : target_(target), limit_(limit) {}
  bool Write(const char* data, size_t size) override {
    if (bytes_ + static_cast<long long>(size) > limit_) {
      over_limit_ = true;
      return false;
    }
    if (target_ != nullptr && !target_->Write(data, size)) return false;
    hash_.Add(data, size);
    bytes_ += static_cast<long long>(size);
    return true;
  }
  bool Restart() override {
    if (target_ != nullptr && !target_->Restart()) return false;
    hash_.Reset();
    digest_.clear();
    bytes_ = 0;
    over_limit_ = false;
    return true;
  }
  long long bytes() const { return bytes_; }
  bool over_limit() const { return over_limit_; }
  // The digest of the bytes so far; once asked for, it stays as it is.
  const std::string& Digest() {
    if (digest_.empty()) digest_ = hash_.HexDigest();
    return digest_;
  }

 private:
  TransferSink* target_;
  std::string digest_;
  long long limit_;
  Sha256 hash_;
  long long bytes_ = 0;
  bool over_limit_ = false;
};

// Hashes the bytes of an upload as they are read.
class CheckedSource : public TransferSource {
 public:
  explicit CheckedSource(TransferSource* source) : source_(source) {}
  long Read(char* data, size_t size) override {
    const long got = source_->Read(data, size);
    if (got > 0) hash_.Add(data, static_cast<size_t>(got));
    return got;
  }
  bool Restart() override {
    hash_.Reset();
    return source_->Restart();
  }
  std::string Digest() { return hash_.HexDigest(); }

 private:
  TransferSource* source_;
  Sha256 hash_;
};

// Takes nothing: a download that only shows whether the server begins to send.
class FirstByteSink : public TransferSink {
 public:
  bool Write(const char*, size_t) override {
    began_ = true;
    return false;
  }
  bool Restart() override { return true; }
  bool began() const { return began_; }

 private:
  bool began_ = false;
};

class CurlEngine final : public FtpEngine {
 public:
  explicit CurlEngine(StopCheck stop) : stop_(std::move(stop)) {}
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
  int32_t fceCheckServerCopy(int32_t channel, const std::string& name) override;
  int32_t fcePutConflictCopy(int32_t channel, const std::string& name, char* buffer,
                             int32_t size) override;
  int32_t fceClose(int32_t channel) override;
  int32_t fceErrorText(int32_t channel, int32_t code, char* buffer, int32_t size) override;
  int32_t fceRelease() override;

 private:
  // What this login has learnt of the server: which commands it does not know,
  // and the facts of the name of the latest existence check.
  struct ServerKnowledge {
    bool no_machine_entry = false;      // MLST
    bool no_machine_listing = false;    // MLSD
    bool no_size = false;               // SIZE
    bool no_modification_time = false;  // MDTM
    std::string checked_name;
    long long checked_size = -1;
    std::string checked_modified;  // MLST's modify fact or MDTM's time, as the server wrote it
  };

  // What this run saw of a server file: absent, or the copy it downloaded.
  struct SeenCopy {
    bool absent = false;
    long long size = -1;
    std::string modified;
    std::string digest;
  };

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
  // Commands in the server directory, nothing transferred.
  FtpOutcome RunCommands(std::vector<std::string> commands);
  // Ends the login's connection: with QUIT when it is in step, without otherwise.
  void EndConnection();

  int32_t CheckExistence(const std::string& name);
  int32_t ProbeName(const std::string& name, NameEvidence* evidence);
  int32_t ListForName(const std::string& name, NameEvidence* evidence);
  int32_t CheckExistenceOverSftp(const std::string& name);
  // Whether a download of the name begins (kPlainFile) or is refused as naming no
  // file (kNoSuchFile); any other outcome is the failure.
  int32_t RetrieveBegins(const std::string& name, NameProbe* probe);

  // Which command asked the server for the size of an upload it holds.
  enum class SizeQuestion { kNone, kSize, kMachineEntry };
  int32_t ProveUpload(const FtpOutcome& sent, SizeQuestion asked, const std::string& temporary,
                      long long size, const std::string& digest);
  int32_t ReadBack(const std::string& temporary, long long size, const std::string& digest);
  // Sends the local file to the server under the name, by way of the temporary name;
  // keep_history: the old copy goes into the history (result 1: the server keeps
  // none).
  int32_t Upload(const std::string& local_name, const std::string& name, bool keep_history);
  int32_t PutInPlace(const std::string& temporary, const std::string& name);
  int32_t PutInPlaceOverFtp(const std::string& temporary, const std::string& name);
  int32_t PutInPlaceOverSftp(const std::string& temporary, const std::string& name);
  int32_t PutInPlaceKeepingTheOld(const std::string& temporary, const std::string& name);
  void PruneHistory(const std::string& name);
  std::vector<std::string> RenameCommands(const std::string& from, const std::string& to) const;
  std::string DeleteCommand(const std::string& name) const;
  void RemoveServerFile(const std::string& name);
  std::string LocalPath(const std::string& name) const;

  StopCheck stop_;
  EngineState state_;
  std::string local_dir_;
  bool connected_ = false;
  LoginData login_;
  std::unique_ptr<FtpConnection> connection_;
  bool out_of_step_ = false;
  std::string server_dir_;
  bool ascii_ = false;
  ServerKnowledge known_;
  // Kept for the whole run, from the download pass to the upload pass.
  std::map<std::string, SeenCopy> seen_;
};

int32_t CurlEngine::Refuse(int32_t code, const std::string& detail) {
  return state_.Record(code, detail);
}

int32_t CurlEngine::Fail(int32_t code, const std::string& detail) {
  out_of_step_ = true;
  return Refuse(code, detail);
}

int32_t CurlEngine::FailWith(const FtpOutcome& outcome, Purpose purpose) {
  if (outcome.interrupted) return Fail(kEngineInterrupted, "");
  const int32_t code = CodeOf(outcome, purpose);
  return Fail(code, DetailFor(outcome, code));
}

int32_t CurlEngine::CodeOf(const FtpOutcome& outcome, Purpose purpose) const {
  if (outcome.interrupted) return kEngineInterrupted;
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
    FtpOutcome outcome = connection_->Run(request, state_.limits, stop_);
    if (outcome.ok()) return outcome;
    if (outcome.interrupted || !IsCleanRefusal(outcome, login_.address.transport)) {
      out_of_step_ = true;
    }
    // Only a connection that was gone before anything moved counts as stale; one
    // that breaks in the middle of a transfer is the server's doing.
    const bool stale = !outcome.interrupted && !outcome.logged_in_anew &&
                       outcome.bytes_received == 0 && outcome.bytes_sent == 0 &&
                       IsConnectionLoss(outcome);
    const bool again = attempt == 0 && stale &&
                       (request.sink == nullptr || request.sink->Restart()) &&
                       (request.source == nullptr || request.source->Restart());
    if (!again) return outcome;
  }
}

FtpOutcome CurlEngine::RunCommands(std::vector<std::string> commands) {
  FtpRequest request;
  request.url_path = DirectoryPath();
  request.commands_after = std::move(commands);
  return Run(request);
}

void CurlEngine::EndConnection() {
  if (connection_ != nullptr && out_of_step_) connection_->Abandon();
  connection_.reset();
  connected_ = false;
  out_of_step_ = false;
  WipeMemory(login_.password.data(), login_.password.size());
  login_ = LoginData();
  known_ = ServerKnowledge();
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
  connection_ = std::make_unique<FtpConnection>(login_);
  if (!connection_->usable()) {
    const int32_t code = Refuse(kEngineStartFailed, "");
    EndConnection();
    return code;
  }
  FtpRequest request;
  const FtpOutcome outcome = connection_->Run(request, state_.limits, stop_);
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
  known_.checked_name.clear();
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
  const int32_t exists = CheckExistence(name);
  if (exists == 0) seen_[name] = SeenCopy{.absent = true};
  return exists;
}

// A short account of the evidence, for the text of a check that stays in doubt.
std::string DescribeEvidence(const NameEvidence& evidence) {
  const auto said = [](NameProbe probe) -> const char* {
    switch (probe) {
      case NameProbe::kNotAsked:
        return "not asked";
      case NameProbe::kPlainFile:
        return "a file";
      case NameProbe::kDirectory:
        return "a directory";
      case NameProbe::kExists:
        return "there";
      case NameProbe::kNoSuchFile:
        return "no such file";
      case NameProbe::kUnknownCommand:
        return "unknown command";
      case NameProbe::kUnclear:
        return "unclear";
    }
    return "";
  };
  std::string text = "no proof either way: listing ";
  if (!evidence.listing_complete) {
    text += "incomplete";
  } else {
    text += evidence.listed == ListedAs::kAbsent ? "lacks it" : "shows it";
  }
  text += std::string(", MLST ") + said(evidence.machine_entry) + ", SIZE " + said(evidence.size) +
          ", MDTM " + said(evidence.modification_time);
  if (evidence.retrieve != NameProbe::kNotAsked)
    text += std::string(", RETR ") + said(evidence.retrieve);
  return text;
}

// The file is there when a command on its exact name shows it (MLST, else SIZE and
// MDTM), or the directory's listing does. It is absent only when a complete listing
// lacks the name and a command on the exact name says there is no such file: where
// the server knows none of those commands, a download that the server refuses
// does. Every other answer is a doubt, and a doubt is a failure.
int32_t CurlEngine::CheckExistence(const std::string& name) {
  known_.checked_name = name;
  known_.checked_size = -1;
  known_.checked_modified.clear();
  if (Sftp()) return CheckExistenceOverSftp(name);
  NameEvidence evidence;
  const auto verdict = [&]() -> int32_t {
    switch (DecideExistence(evidence)) {
      case ExistenceVerdict::kPresent:
        return 1;
      case ExistenceVerdict::kAbsent:
        return 0;
      case ExistenceVerdict::kNotAFile:
        return Fail(kEngineNotAFile, name + " is a directory");
      case ExistenceVerdict::kDoubt:
        break;
    }
    return kEngineExistenceUnknown;
  };
  if (const int32_t failure = ProbeName(name, &evidence); failure < 0) return failure;
  if (const int32_t decided = verdict(); decided == 1 || decided == kEngineNotAFile) {
    return decided;
  }
  if (const int32_t failure = ListForName(name, &evidence); failure < 0) return failure;
  int32_t decided = verdict();
  const bool asked_in_vain = decided == kEngineExistenceUnknown && evidence.listing_complete &&
                             evidence.listed == ListedAs::kAbsent;
  // The last resort, for a server that knows no command on a single name: whether
  // it begins to send the file.
  if (asked_in_vain) {
    if (const int32_t failure = RetrieveBegins(name, &evidence.retrieve); failure < 0) {
      return failure;
    }
    decided = verdict();
  }
  if (decided == kEngineExistenceUnknown) {
    return Fail(kEngineExistenceUnknown, DescribeEvidence(evidence));
  }
  return decided;
}

// MLST where the server has it: one command that shows type and size. Else SIZE
// (in binary mode, which some servers require for it) and MDTM together.
int32_t CurlEngine::ProbeName(const std::string& name, NameEvidence* evidence) {
  if (!known_.no_machine_entry) {
    const FtpOutcome outcome = RunCommands({"*MLST " + name});
    if (!outcome.ok()) return FailWith(outcome, Purpose::kCheck);
    const FtpReply& reply = outcome.ReplyFromEnd(0);
    NameFacts facts;
    const bool entry = reply.code == 250 && FactsInMachineEntry(reply.lines, &facts);
    evidence->machine_entry = reply.code == 250 && !entry
                                  ? NameProbe::kUnclear
                                  : ProbeOfReply(reply.code, facts.listed == ListedAs::kDirectory);
    if (evidence->machine_entry == NameProbe::kPlainFile) {
      known_.checked_size = facts.size;
      known_.checked_modified = facts.modified;
    }
    if (evidence->machine_entry == NameProbe::kUnknownCommand) known_.no_machine_entry = true;
    if (evidence->machine_entry != NameProbe::kUnknownCommand &&
        evidence->machine_entry != NameProbe::kUnclear) {
      return 0;
    }
  }
  std::vector<std::string> commands = {"TYPE I"};
  if (!known_.no_size) commands.push_back("*SIZE " + name);
  if (!known_.no_modification_time) commands.push_back("*MDTM " + name);
  if (commands.size() == 1) return 0;
  const FtpOutcome outcome = RunCommands(commands);
  if (!outcome.ok()) return FailWith(outcome, Purpose::kCheck);
  size_t from_end = 0;
  if (!known_.no_modification_time) {
    const FtpReply& reply = outcome.ReplyFromEnd(from_end++);
    evidence->modification_time =
        reply.code == 213 ? NameProbe::kExists : ProbeOfReply(reply.code, false);
    if (reply.code == 213 && reply.final_line.size() > 4) {
      known_.checked_modified = reply.final_line.substr(4);
    }
    if (evidence->modification_time == NameProbe::kUnknownCommand) {
      known_.no_modification_time = true;
    }
  }
  if (!known_.no_size) {
    const FtpReply& reply = outcome.ReplyFromEnd(from_end);
    long long size = -1;
    evidence->size = reply.code == 213 && !ReplyNumber(reply.final_line, &size)
                         ? NameProbe::kUnclear
                         : ProbeOfReply(reply.code, false);
    if (evidence->size == NameProbe::kPlainFile) known_.checked_size = size;
    if (evidence->size == NameProbe::kUnknownCommand) known_.no_size = true;
  }
  return 0;
}

// A machine listing where the server has one (it shows every name and its size),
// else a name list asked to show the names that begin with a dot too.
int32_t CurlEngine::ListForName(const std::string& name, NameEvidence* evidence) {
  const std::string directory = DirectoryUrlPath(server_dir_);
  if (!known_.no_machine_listing) {
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
      const NameFacts facts = FactsInMachineListing(listing.text(), name);
      evidence->listing_complete = true;
      evidence->listed = facts.listed;
      if (facts.listed == ListedAs::kFile && known_.checked_size < 0) {
        known_.checked_size = facts.size;
      }
      if (facts.listed == ListedAs::kFile && known_.checked_modified.empty()) {
        known_.checked_modified = facts.modified;
      }
      return 0;
    }
    if (!IsCleanRefusal(outcome, Transport::kFtp) ||
        !IsUnknownCommandReply(outcome.last_reply_code)) {
      return FailWith(outcome, Purpose::kCheck);
    }
    known_.no_machine_listing = true;
  }
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
      evidence->listed = NameListHas(listing.text(), name) ? ListedAs::kFile : ListedAs::kAbsent;
      // A list that hides the names beginning with a dot cannot show such a name absent.
      evidence->listing_complete = name.front() != '.' || NameListShowsDotEntries(listing.text());
      return 0;
    }
    if (!IsCleanRefusal(outcome, Transport::kFtp) || !IsReplyOfClass(outcome.last_reply_code, 5)) {
      return FailWith(outcome, Purpose::kCheck);
    }
  }
  return 0;
}

int32_t CurlEngine::RetrieveBegins(const std::string& name, NameProbe* probe) {
  FirstByteSink sink;
  FtpRequest request;
  request.kind = FtpRequest::Kind::kDownload;
  request.url_path = FilePath(name);
  request.sink = &sink;
  const FtpOutcome outcome = Run(request);
  if (outcome.ok() || sink.began()) {
    // Stopped at its first byte, the transfer leaves the connection out of step.
    if (sink.began()) out_of_step_ = true;
    *probe = NameProbe::kPlainFile;
    return 0;
  }
  if (outcome.code == CURLE_REMOTE_FILE_NOT_FOUND &&
      IsCleanRefusal(outcome, login_.address.transport)) {
    *probe = NameProbe::kNoSuchFile;
    return 0;
  }
  return FailWith(outcome, Purpose::kCheck);
}

// An SFTP listing shows every name, those that begin with a dot too. A listed name
// is a file unless it can be opened as a directory; a name that is not listed is
// absent when opening it as a file says there is no such file.
int32_t CurlEngine::CheckExistenceOverSftp(const std::string& name) {
  ListingText listing;
  FtpRequest request;
  request.kind = FtpRequest::Kind::kListing;
  request.url_path = SftpDirectoryUrlPath(server_dir_);
  request.sink = &listing;
  const FtpOutcome outcome = Run(request);
  if (listing.too_long()) return Fail(kEngineExistenceUnknown, "the listing is too long");
  if (!outcome.ok()) return FailWith(outcome, Purpose::kCheck);
  if (!NameListHas(listing.text(), name)) {
    NameProbe probe = NameProbe::kNotAsked;
    if (const int32_t failure = RetrieveBegins(name, &probe); failure < 0) return failure;
    return probe == NameProbe::kNoSuchFile ? 0 : 1;
  }
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
  // A server name may hold a colon itself: the name of the latest check, followed
  // by the colon, is taken whole.
  const std::string& checked = known_.checked_name;
  size_t colon = transfer_text.find(':');
  if (!checked.empty() && transfer_text.size() > checked.size() &&
      transfer_text.compare(0, checked.size(), checked) == 0 &&
      transfer_text[checked.size()] == ':') {
    colon = checked.size();
  }
  if (colon == std::string::npos) return Refuse(kEngineBadTransferText, "no ':' in the text");
  const std::string server_name = transfer_text.substr(0, colon);
  const std::string local_name = transfer_text.substr(colon + 1);
  std::string problem;
  if (!IsUsableServerName(server_name, &problem)) return Refuse(kEngineBadName, problem);
  if (local_name.empty() || local_name.back() == '/' ||
      local_name.find('\0') != std::string::npos) {
    return Refuse(kEngineBadTransferText, "no usable local file name after the ':'");
  }
  const long long checked_size = server_name == checked ? known_.checked_size : -1;

  LocalDownload download(LocalPath(local_name));
  if (!download.Open(&problem)) return Refuse(kEngineLocalWriteFailed, problem);
  CheckedSink received(&download, checked_size >= 0 ? checked_size : kUnknownSizeByteLimit);
  FtpRequest request;
  request.kind = FtpRequest::Kind::kDownload;
  request.url_path = FilePath(server_name);
  request.sink = &received;
  request.ascii = ascii_;
  if (checked_size < 0) request.time_limit_ms = kUnknownSizeTimeLimitMs;
  const FtpOutcome outcome = Run(request);
  if (received.over_limit()) {
    if (checked_size >= 0) {
      return Fail(kEngineServerChanged,
                  "more than the " + std::to_string(checked_size) + " bytes the server showed");
    }
    return Fail(kEngineTooLarge, "more than " + std::to_string(kUnknownSizeByteLimit) + " bytes");
  }
  if (!outcome.ok()) {
    if (outcome.code == CURLE_WRITE_ERROR && !outcome.interrupted) {
      return Fail(kEngineLocalWriteFailed, download.write_error());
    }
    return FailWith(outcome, Purpose::kDownload);
  }
  // In ASCII mode the line ends change on the way, and with them the size.
  if (!ascii_) {
    const long long told = outcome.reported_size;
    if (checked_size >= 0 && told >= 0 && told != checked_size) {
      return Fail(kEngineServerChanged, "its size went from " + std::to_string(checked_size) +
                                            " to " + std::to_string(told) + " bytes");
    }
    const long long expected = checked_size >= 0 ? checked_size : told;
    if (expected >= 0 && received.bytes() != expected) {
      return Fail(kEngineTransferIncomplete, "received " + std::to_string(received.bytes()) +
                                                 " of " + std::to_string(expected) + " bytes");
    }
    if (expected < 0) {
      // The server tells no size at all: only a second copy, byte for byte the
      // same, shows that the first one is whole.
      CheckedSink again(nullptr, kUnknownSizeByteLimit);
      request.sink = &again;
      const FtpOutcome second = Run(request);
      if (again.over_limit()) {
        return Fail(kEngineTooLarge,
                    "more than " + std::to_string(kUnknownSizeByteLimit) + " bytes");
      }
      if (!second.ok()) return FailWith(second, Purpose::kDownload);
      if (again.bytes() != received.bytes() || again.Digest() != received.Digest()) {
        return Fail(kEngineTransferIncomplete,
                    "two downloads differ (" + std::to_string(received.bytes()) + " and " +
                        std::to_string(again.bytes()) + " bytes) and the server tells no size");
      }
    }
  }
  if (!download.Commit(&problem)) return Fail(kEngineLocalWriteFailed, problem);
  seen_[server_name] = SeenCopy{.size = received.bytes(),
                                .modified = server_name == checked ? known_.checked_modified : "",
                                .digest = received.Digest()};
  return 0;
}

// The old copy stays on the server until fcePutFile has the new one complete in
// its place, so nothing is removed here: a run that ends between the two leaves
// the server's copy as it was.
int32_t CurlEngine::fceDelFile(int32_t channel, const std::string& name) {
  if (const int32_t failure = CheckConnected(channel); failure < 0) return failure;
  std::string problem;
  if (!IsUsableServerName(name, &problem)) return Refuse(kEngineBadName, problem);
  return 0;
}

std::string CurlEngine::DeleteCommand(const std::string& name) const {
  return Sftp() ? "*rm " + SftpQuotedPath(server_dir_, name) : "*DELE " + name;
}

void CurlEngine::RemoveServerFile(const std::string& name) { RunCommands({DeleteCommand(name)}); }

int32_t CurlEngine::fcePutFile(int32_t channel, const std::string& name) {
  if (const int32_t failure = CheckConnected(channel); failure < 0) return failure;
  std::string problem;
  if (!IsUsableServerName(name, &problem)) return Refuse(kEngineBadName, problem);
  return Upload(name, name, /*keep_history=*/true);
}

int32_t CurlEngine::fcePutConflictCopy(int32_t channel, const std::string& name, char* buffer,
                                       int32_t size) {
  if (const int32_t failure = CheckConnected(channel); failure < 0) return failure;
  std::string problem;
  if (!IsUsableServerName(name, &problem)) return Refuse(kEngineBadName, problem);
  const std::string conflict = NameWith(name, "conflict-" + ShortHostName() + "-" + UtcStamp());
  if (buffer == nullptr || size < 1 || conflict.size() >= static_cast<size_t>(size)) {
    return Refuse(kEngineBadArgument, "no room for the conflict copy's name");
  }
  const int32_t sent = Upload(name, conflict, /*keep_history=*/false);
  if (sent < 0) return sent;
  conflict.copy(buffer, conflict.size());
  buffer[conflict.size()] = '\0';
  return 0;
}

int32_t CurlEngine::Upload(const std::string& local_name, const std::string& name,
                           bool keep_history) {
  std::string problem;
  LocalUpload upload;
  switch (upload.Open(LocalPath(local_name), &problem)) {
    case LocalUpload::OpenResult::kOpened:
      break;
    case LocalUpload::OpenResult::kMissing:
      return Refuse(kEngineLocalFileMissing, problem);
    case LocalUpload::OpenResult::kUnreadable:
      return Refuse(kEngineLocalReadFailed, problem);
  }

  // The file goes up under a name of its own and takes the real name only once
  // the server is shown to hold all of it: the real name always holds a whole
  // copy, the old one until the new one is in its place.
  const std::string temporary = TemporaryServerName();
  CheckedSource source(&upload);
  FtpRequest send;
  send.kind = FtpRequest::Kind::kUpload;
  send.url_path = FilePath(temporary);
  send.source = &source;
  send.upload_size = upload.size();
  send.ascii = ascii_;
  // The size the server holds, asked right after the transfer (SFTP confirms every
  // write it takes).
  SizeQuestion asked = SizeQuestion::kNone;
  if (!ascii_ && !Sftp()) {
    if (!known_.no_size) {
      send.commands_after = {"*SIZE " + temporary};
      asked = SizeQuestion::kSize;
    } else if (!known_.no_machine_entry) {
      send.commands_after = {"*MLST " + temporary};
      asked = SizeQuestion::kMachineEntry;
    }
  }
  const FtpOutcome sent = Run(send);
  int32_t failure = 0;
  if (!sent.ok()) {
    failure = !sent.interrupted &&
                      (sent.code == CURLE_ABORTED_BY_CALLBACK || sent.code == CURLE_READ_ERROR)
                  ? Fail(kEngineLocalReadFailed, upload.read_error())
                  : FailWith(sent, Purpose::kUpload);
  } else if (sent.bytes_sent != upload.size()) {
    failure = Fail(kEngineTransferIncomplete, "sent " + std::to_string(sent.bytes_sent) + " of " +
                                                  std::to_string(upload.size()) + " bytes");
  } else if (!ascii_ && !Sftp()) {
    failure = ProveUpload(sent, asked, temporary, upload.size(), source.Digest());
  }
  if (failure == 0) {
    failure = keep_history ? PutInPlaceKeepingTheOld(temporary, name) : PutInPlace(temporary, name);
    if (failure >= 0) return failure;
  }
  // A server that stopped answering would only make the clean-up wait as long
  // again, and a key must end the run at once; what is left under the temporary
  // name goes with the next upload.
  if (failure != kEngineTimeout && failure != kEngineStalled && failure != kEngineInterrupted) {
    RemoveServerFile(temporary);
  }
  out_of_step_ = true;
  return failure;
}

// The server holds the whole upload when the size it tells (SIZE, else MLST) is the
// size sent; a server that tells none is read back and compared byte for byte.
int32_t CurlEngine::ProveUpload(const FtpOutcome& sent, SizeQuestion asked,
                                const std::string& temporary, long long size,
                                const std::string& digest) {
  const auto judge = [&](long long stored) {
    if (stored == size) return 0;
    return Fail(kEngineTransferIncomplete, "the server holds " + std::to_string(stored) + " of " +
                                               std::to_string(size) + " bytes");
  };
  const auto unknown = [&](const FtpReply& reply) {
    return Fail(kEngineTransferIncomplete, "the server does not tell how much of the " +
                                               std::to_string(size) +
                                               " bytes it holds: " + reply.final_line);
  };
  if (asked == SizeQuestion::kSize) {
    const FtpReply& reply = sent.ReplyFromEnd(0);
    long long stored = -1;
    if (reply.code == 213 && ReplyNumber(reply.final_line, &stored)) return judge(stored);
    if (!IsUnknownCommandReply(reply.code)) return unknown(reply);
    known_.no_size = true;
  }
  if (!known_.no_machine_entry) {
    FtpOutcome asked_again;
    const FtpOutcome* answer = &sent;
    if (asked != SizeQuestion::kMachineEntry) {
      asked_again = RunCommands({"*MLST " + temporary});
      if (!asked_again.ok()) return FailWith(asked_again, Purpose::kUpload);
      answer = &asked_again;
    }
    const FtpReply& reply = answer->ReplyFromEnd(0);
    NameFacts facts;
    if (reply.code == 250 && FactsInMachineEntry(reply.lines, &facts) && facts.size >= 0) {
      return judge(facts.size);
    }
    if (reply.code != 250 && !IsUnknownCommandReply(reply.code)) return unknown(reply);
    if (IsUnknownCommandReply(reply.code)) known_.no_machine_entry = true;
  }
  return ReadBack(temporary, size, digest);
}

int32_t CurlEngine::ReadBack(const std::string& temporary, long long size,
                             const std::string& digest) {
  CheckedSink back(nullptr, size);
  FtpRequest request;
  request.kind = FtpRequest::Kind::kDownload;
  request.url_path = FilePath(temporary);
  request.sink = &back;
  const FtpOutcome outcome = Run(request);
  if (back.over_limit()) {
    return Fail(kEngineTransferIncomplete,
                "the server holds more than the " + std::to_string(size) + " bytes sent");
  }
  if (!outcome.ok()) return FailWith(outcome, Purpose::kUpload);
  if (back.bytes() != size || back.Digest() != digest) {
    return Fail(kEngineTransferIncomplete, "the server holds " + std::to_string(back.bytes()) +
                                               " bytes that differ from the " +
                                               std::to_string(size) + " sent");
  }
  return 0;
}

// Most servers' rename replaces an existing file in one step. For one whose rename
// never does, the old copy takes a name of its own first, the new one takes its
// place, and the old one goes; a failure on the way puts the old one back.
int32_t CurlEngine::PutInPlace(const std::string& temporary, const std::string& name) {
  return Sftp() ? PutInPlaceOverSftp(temporary, name) : PutInPlaceOverFtp(temporary, name);
}

int32_t CurlEngine::PutInPlaceOverFtp(const std::string& temporary, const std::string& name) {
  const FtpOutcome renamed = RunCommands({"RNFR " + temporary, "RNTO " + name});
  if (renamed.ok()) return 0;
  const bool refused_target = IsCleanRefusal(renamed, Transport::kFtp) &&
                              renamed.ReplyFromEnd(1).code == 350 &&
                              IsReplyOfClass(renamed.last_reply_code, 5);
  const int32_t failure = FailWith(renamed, Purpose::kCommand);
  if (!refused_target) return failure;
  const std::string aside = SetAsideServerName();
  if (!RunCommands({"*DELE " + aside, "RNFR " + name, "RNTO " + aside}).ok()) return failure;
  const FtpOutcome moved_in = RunCommands({"RNFR " + temporary, "RNTO " + name});
  if (moved_in.ok()) {
    RunCommands({"*DELE " + aside});
    return 0;
  }
  const int32_t moved_failure = FailWith(moved_in, Purpose::kCommand);
  RunCommands({"RNFR " + aside, "RNTO " + name});
  return moved_failure;
}

std::vector<std::string> CurlEngine::RenameCommands(const std::string& from,
                                                    const std::string& to) const {
  if (Sftp()) {
    return {"rename " + SftpQuotedPath(server_dir_, from) + " " + SftpQuotedPath(server_dir_, to)};
  }
  return {"RNFR " + from, "RNTO " + to};
}

// The old copy goes into the history directory (made when missing), the new one
// takes its name, and the oldest kept copies beyond the last ten go. Should the
// new one not get in, the old one comes back at once. A server that keeps no
// history directory gets the plain replacement (result 1).
int32_t CurlEngine::PutInPlaceKeepingTheOld(const std::string& temporary, const std::string& name) {
  const std::string kept = std::string(kHistoryDirectory) + "/" + NameWith(name, UtcStamp());
  const auto old_is_absent = [&](const FtpOutcome& outcome) {
    // FTP: RNFR itself refused. SFTP tells no more than that the rename failed.
    return !Sftp() && IsReplyOfClass(outcome.last_reply_code, 5) &&
           outcome.ReplyFromEnd(1).code != 350;
  };
  FtpOutcome moved = RunCommands(RenameCommands(name, kept));
  if (!moved.ok()) {
    if (!IsCleanRefusal(moved, login_.address.transport)) return FailWith(moved, Purpose::kCommand);
    if (old_is_absent(moved)) return PutInPlace(temporary, name);
    RunCommands({Sftp() ? "*mkdir " + SftpQuotedPath(server_dir_, kHistoryDirectory)
                        : std::string("*MKD ") + kHistoryDirectory});
    moved = RunCommands(RenameCommands(name, kept));
    if (!moved.ok()) {
      if (!IsCleanRefusal(moved, login_.address.transport)) {
        return FailWith(moved, Purpose::kCommand);
      }
      const int32_t replaced = PutInPlace(temporary, name);
      // Over SFTP a failed rename may also mean that there was no old copy.
      if (replaced < 0 || Sftp()) return replaced;
      return 1;
    }
  }
  const FtpOutcome moved_in = RunCommands(RenameCommands(temporary, name));
  if (!moved_in.ok()) {
    const int32_t failure = FailWith(moved_in, Purpose::kCommand);
    // Even after a key: the name must not stay without its copy.
    const StopCheck stop = std::exchange(stop_, nullptr);
    RunCommands(RenameCommands(kept, name));
    stop_ = stop;
    return failure;
  }
  PruneHistory(name);
  return 0;
}

void CurlEngine::PruneHistory(const std::string& name) {
  ListingText listing;
  FtpRequest request;
  request.kind = FtpRequest::Kind::kListing;
  request.url_path = DirectoryPath() + kHistoryDirectory + "/";
  request.sink = &listing;
  if (!Run(request).ok()) return;
  std::vector<std::string> copies;
  size_t start = 0;
  const std::string& text = listing.text();
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string entry = text.substr(start, end - start);
    if (!entry.empty() && entry.back() == '\r') entry.pop_back();
    if (const size_t slash = entry.rfind('/'); slash != std::string::npos)
      entry.erase(0, slash + 1);
    if (IsHistoryCopyOf(entry, name)) copies.push_back(entry);
    start = end + 1;
  }
  if (copies.size() <= kHistoryKept) return;
  std::sort(copies.begin(), copies.end());
  std::vector<std::string> deletes;
  for (size_t i = 0; i + kHistoryKept < copies.size(); ++i) {
    deletes.push_back(DeleteCommand(std::string(kHistoryDirectory) + "/" + copies[i]));
  }
  RunCommands(deletes);
}

// SFTP's rename never replaces a file (version 3 of the protocol, which OpenSSH
// speaks): the old copy is set aside for the moment of the rename.
int32_t CurlEngine::PutInPlaceOverSftp(const std::string& temporary, const std::string& name) {
  const auto rename = [&](const std::string& from, const std::string& to) {
    return RenameCommands(from, to).front();
  };
  const FtpOutcome renamed = RunCommands({rename(temporary, name)});
  if (renamed.ok()) return 0;
  const int32_t failure = FailWith(renamed, Purpose::kCommand);
  if (renamed.code != CURLE_QUOTE_ERROR) return failure;
  const std::string aside = SetAsideServerName();
  if (!RunCommands({DeleteCommand(aside), rename(name, aside)}).ok()) return failure;
  const FtpOutcome moved_in = RunCommands({rename(temporary, name)});
  if (moved_in.ok()) {
    RunCommands({DeleteCommand(aside)});
    return 0;
  }
  const int32_t moved_failure = FailWith(moved_in, Purpose::kCommand);
  RunCommands({rename(aside, name)});
  return moved_failure;
}

// Unchanged only on proof: the same size and modification time as the copy that
// was downloaded; where the server tells no time, the same bytes; absent then and
// absent now.
int32_t CurlEngine::fceCheckServerCopy(int32_t channel, const std::string& name) {
  if (const int32_t failure = CheckConnected(channel); failure < 0) return failure;
  std::string problem;
  if (!IsUsableServerName(name, &problem)) return Refuse(kEngineBadName, problem);
  const auto seen = seen_.find(name);
  const int32_t exists = CheckExistence(name);
  if (exists < 0) return exists;
  long long server_size = known_.checked_size;
  bool changed = false;
  if (seen == seen_.end()) {
    changed = false;
  } else if (seen->second.absent || exists == 0) {
    changed = seen->second.absent != (exists == 0);
  } else if (seen->second.size >= 0 && !seen->second.modified.empty() && known_.checked_size >= 0 &&
             !known_.checked_modified.empty()) {
    changed = seen->second.size != known_.checked_size ||
              seen->second.modified != known_.checked_modified;
  } else {
    CheckedSink now(nullptr, kUnknownSizeByteLimit);
    FtpRequest request;
    request.kind = FtpRequest::Kind::kDownload;
    request.url_path = FilePath(name);
    request.sink = &now;
    request.time_limit_ms = kUnknownSizeTimeLimitMs;
    const FtpOutcome outcome = Run(request);
    if (now.over_limit())
      return Fail(kEngineTooLarge, "more than " + std::to_string(kUnknownSizeByteLimit) + " bytes");
    if (!outcome.ok()) return FailWith(outcome, Purpose::kCheck);
    changed = now.Digest() != seen->second.digest;
    server_size = now.bytes();
  }
  if (changed) return 1;
  struct stat local;
  if (exists == 1 && server_size != 0 && stat(LocalPath(name).c_str(), &local) == 0 &&
      local.st_size == 0) {
    return 2;
  }
  return 0;
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

std::unique_ptr<FtpEngine> MakeFtpEngine(StopCheck stop) {
  return std::make_unique<CurlEngine>(std::move(stop));
}

}  // namespace zuno
