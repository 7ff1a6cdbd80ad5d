#include "engine/ftp_connection.h"

#include <chrono>
#include <string>

#include "engine/engine_platform.h"

namespace zuno {
namespace {

// The longest wait for the answer to QUIT: the login is over either way, and a
// server that keeps silent must not hold up the end of a pass.
constexpr long kQuitReplySeconds = 3;
// How often a running request asks whether it must stop.
constexpr auto kStopCheckInterval = std::chrono::milliseconds(50);
// The most of one reply that is kept.
constexpr size_t kReplyTextLimit = 4096;

// libcurl counts some limits in whole seconds; a limit never becomes shorter.
long WholeSeconds(int64_t milliseconds) {
  const long seconds = static_cast<long>((milliseconds + 999) / 1000);
  return seconds < 1 ? 1 : seconds;
}

size_t DiscardData(char*, size_t size, size_t count, void*) { return size * count; }

// What libcurl's progress calls ask, at most every kStopCheckInterval: whether the
// request must stop. libcurl makes them while a transfer runs and also while it
// waits for a reply inside a call (the commands after a transfer, the reply to a
// transfer), so they reach every wait of a request.
struct StopProbe {
  const StopCheck* stop = nullptr;
  bool stopped = false;
  std::chrono::steady_clock::time_point next_check = std::chrono::steady_clock::now();
};

int OnProgress(void* probe, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  auto* stop = static_cast<StopProbe*>(probe);
  if (stop->stopped) return 1;
  if (stop->stop == nullptr || *stop->stop == nullptr) return 0;
  const auto now = std::chrono::steady_clock::now();
  if (now < stop->next_check) return 0;
  stop->next_check = now + kStopCheckInterval;
  if (!(*stop->stop)()) return 0;
  stop->stopped = true;
  return 1;
}

size_t WriteToSink(char* data, size_t size, size_t count, void* sink) {
  const size_t bytes = size * count;
  return static_cast<TransferSink*>(sink)->Write(data, bytes) ? bytes : 0;
}

size_t ReadFromSource(char* data, size_t size, size_t count, void* source) {
  const long got = static_cast<TransferSource*>(source)->Read(data, size * count);
  return got < 0 ? CURL_READFUNC_ABORT : static_cast<size_t>(got);
}

// A list of commands for libcurl that frees itself.
class CommandList {
 public:
  explicit CommandList(const std::vector<std::string>& commands) {
    for (const std::string& command : commands) {
      curl_slist* longer = curl_slist_append(list_, command.c_str());
      if (longer == nullptr) {
        complete_ = false;
        break;
      }
      list_ = longer;
    }
  }
  ~CommandList() { curl_slist_free_all(list_); }
  CommandList(const CommandList&) = delete;
  CommandList& operator=(const CommandList&) = delete;

  curl_slist* get() const { return list_; }
  bool complete() const { return complete_; }

 private:
  curl_slist* list_ = nullptr;
  bool complete_ = true;
};

}  // namespace

FtpConnection::FtpConnection(const LoginData& login)
    : login_(login), curl_(curl_easy_init()), multi_(curl_multi_init()) {}

FtpConnection::~FtpConnection() {
  // The connection goes with the multi handle, with QUIT when it is still in step.
  // libcurl sends it through a handle of its own that takes its reply limit from the
  // latest handle added, so the short limit goes in by adding this one once more.
  if (multi_ != nullptr && curl_ != nullptr) {
    curl_easy_setopt(curl_, CURLOPT_SERVER_RESPONSE_TIMEOUT, kQuitReplySeconds);
    curl_easy_setopt(curl_, CURLOPT_TIMEOUT, kQuitReplySeconds);
    if (curl_multi_add_handle(multi_, curl_) == CURLM_OK) curl_multi_remove_handle(multi_, curl_);
  }
  if (multi_ != nullptr) curl_multi_cleanup(multi_);
  if (curl_ != nullptr) curl_easy_cleanup(curl_);
  WipeMemory(login_.password.data(), login_.password.size());
}

void FtpConnection::Abandon() {
  // With its sockets shut, the QUIT that the clean-up tries fails at once.
  for (curl_socket_t socket : sockets_) ShutDownSocket(socket);
  if (multi_ != nullptr) curl_multi_cleanup(multi_);
  multi_ = nullptr;
  if (curl_ != nullptr) curl_easy_cleanup(curl_);
  curl_ = nullptr;
}

bool FtpConnection::Quiet() const { return SocketsQuiet(sockets_); }

curl_socket_t FtpConnection::OnOpenSocket(void* self, curlsocktype, curl_sockaddr* address) {
  const curl_socket_t socket = OpenSocket(address->family, address->socktype, address->protocol);
  auto* connection = static_cast<FtpConnection*>(self);
  if (socket != CURL_SOCKET_BAD) connection->sockets_.push_back(socket);
  connection->opened_socket_ = true;
  return socket;
}

int FtpConnection::OnCloseSocket(void* self, curl_socket_t socket) {
  std::vector<curl_socket_t>& sockets = static_cast<FtpConnection*>(self)->sockets_;
  for (size_t i = 0; i < sockets.size(); ++i) {
    if (sockets[i] == socket) {
      sockets.erase(sockets.begin() + static_cast<long>(i));
      break;
    }
  }
  return CloseSocket(socket);
}

size_t FtpConnection::OnReplyLine(char* data, size_t size, size_t count, void* self) {
  auto* connection = static_cast<FtpConnection*>(self);
  const size_t bytes = size * count;
  std::string line(data, bytes);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  // The final line of a reply is three digits and a blank (or nothing more);
  // "ddd-" begins a reply of several lines.
  const bool final_line = line.size() >= 3 && line[0] >= '0' && line[0] <= '9' && line[1] >= '0' &&
                          line[1] <= '9' && line[2] >= '0' && line[2] <= '9' &&
                          (line.size() == 3 || line[3] == ' ');
  // Only a new connection begins with the greeting, 220.
  if (line.compare(0, 3, "220") == 0) connection->greeted_ = true;
  std::string& lines = connection->reply_lines_;
  if (lines.size() < kReplyTextLimit) {
    if (!lines.empty()) lines += '\n';
    lines.append(line, 0, kReplyTextLimit - lines.size());
  }
  if (final_line) {
    connection->reply_code_ = (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
    if (line.size() > 200) line.resize(200);
    connection->reply_text_ = line;
    connection->replies_.push_back({connection->reply_code_, line, std::move(lines)});
    lines.clear();
  }
  return bytes;
}

void FtpConnection::ConfigureRequest(const FtpRequest& request, const EngineTimeouts& timeouts,
                                     curl_slist* commands) {
  CURL* curl = curl_;
  curl_easy_reset(curl);
  const std::string url = ServerUrl(login_.address) + request.url_path;
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_USERNAME, login_.user.c_str());
  curl_easy_setopt(curl, CURLOPT_PASSWORD, login_.password.c_str());
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error_buffer_);
  // One CWD with the whole directory, exactly as the user wrote it.
  curl_easy_setopt(curl, CURLOPT_FTP_FILEMETHOD, static_cast<long>(CURLFTPMETHOD_SINGLECWD));
  curl_easy_setopt(curl, CURLOPT_PATH_AS_IS, 1L);
  // Passive mode, to the address of the control connection whatever PASV says.
  curl_easy_setopt(curl, CURLOPT_FTP_USE_EPSV, 1L);
  curl_easy_setopt(curl, CURLOPT_FTP_SKIP_PASV_IP, 1L);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(timeouts.connect_ms));
  curl_easy_setopt(curl, CURLOPT_SERVER_RESPONSE_TIMEOUT, WholeSeconds(timeouts.reply_ms));
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT,
                   static_cast<long>(timeouts.stall_bytes_per_second));
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, WholeSeconds(timeouts.stall_ms));
  curl_easy_setopt(curl, CURLOPT_ACCEPTTIMEOUT_MS, static_cast<long>(timeouts.data_open_ms));
  curl_easy_setopt(curl, CURLOPT_OPENSOCKETFUNCTION, &FtpConnection::OnOpenSocket);
  curl_easy_setopt(curl, CURLOPT_OPENSOCKETDATA, this);
  curl_easy_setopt(curl, CURLOPT_CLOSESOCKETFUNCTION, &FtpConnection::OnCloseSocket);
  curl_easy_setopt(curl, CURLOPT_CLOSESOCKETDATA, this);
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &FtpConnection::OnReplyLine);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, this);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &DiscardData);
  ConfigureSecureTransport(curl, login_.address, &key_check_);
  if (first_request_) curl_easy_setopt(curl, CURLOPT_FRESH_CONNECT, 1L);
  // SFTP runs its commands before the transfer (a request without one ends before
  // libcurl would come to commands after it); FTP after the change of directory.
  if (commands != nullptr) {
    curl_easy_setopt(
        curl, login_.address.transport == Transport::kSftp ? CURLOPT_QUOTE : CURLOPT_POSTQUOTE,
        commands);
  }
  if (request.ascii) curl_easy_setopt(curl, CURLOPT_TRANSFERTEXT, 1L);
  curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, &OnProgress);
  curl_easy_setopt(curl, CURLOPT_XFERINFODATA, stop_probe_);
  if (request.time_limit_ms > 0) {
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(request.time_limit_ms));
  }

  switch (request.kind) {
    case FtpRequest::Kind::kCommandsOnly:
    case FtpRequest::Kind::kFileInfo:
      curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
      break;
    case FtpRequest::Kind::kListing:
      if (request.listing_command.empty()) {
        curl_easy_setopt(curl, CURLOPT_DIRLISTONLY, 1L);
      } else {
        curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, request.listing_command.c_str());
      }
      curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &WriteToSink);
      curl_easy_setopt(curl, CURLOPT_WRITEDATA, request.sink);
      break;
    case FtpRequest::Kind::kDownload:
      curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &WriteToSink);
      curl_easy_setopt(curl, CURLOPT_WRITEDATA, request.sink);
      break;
    case FtpRequest::Kind::kUpload:
      curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
      curl_easy_setopt(curl, CURLOPT_READFUNCTION, &ReadFromSource);
      curl_easy_setopt(curl, CURLOPT_READDATA, request.source);
      curl_easy_setopt(curl, CURLOPT_INFILESIZE_LARGE,
                       static_cast<curl_off_t>(request.upload_size));
      break;
  }
}

// Runs the request to its end. libcurl's own waits are kept short: after some
// replies (EPSV) libcurl has nothing to wait for yet still sleeps out the whole
// wait, so a long one would add a second to a transfer for nothing.
CURLcode FtpConnection::Perform() {
  if (curl_multi_add_handle(multi_, curl_) != CURLM_OK) return CURLE_FAILED_INIT;
  CURLcode result = CURLE_OK;
  int running = 1;
  while (running > 0) {
    if (curl_multi_perform(multi_, &running) != CURLM_OK) {
      result = CURLE_FAILED_INIT;
      break;
    }
    if (running > 0 && curl_multi_poll(multi_, nullptr, 0, 10, nullptr) != CURLM_OK) {
      result = CURLE_FAILED_INIT;
      break;
    }
  }
  int queued = 0;
  while (CURLMsg* message = curl_multi_info_read(multi_, &queued)) {
    if (message->msg == CURLMSG_DONE && message->easy_handle == curl_) {
      result = message->data.result;
    }
  }
  return result;
}

const FtpReply& FtpOutcome::ReplyFromEnd(size_t nth) const {
  static const FtpReply kNone;
  return nth < replies.size() ? replies[replies.size() - 1 - nth] : kNone;
}

std::string FtpConnection::WithoutPassword(std::string text) const {
  if (login_.password.empty() || text.find(login_.password) == std::string::npos) return text;
  return "(a reply that is not shown: it holds the password)";
}

FtpOutcome FtpConnection::Run(const FtpRequest& request, const EngineTimeouts& timeouts,
                              const StopCheck& stop) {
  FtpOutcome outcome;
  if (!usable()) {
    outcome.code = CURLE_FAILED_INIT;
    outcome.message = "the connection is closed";
    return outcome;
  }
  CommandList commands(request.commands_after);
  if (!commands.complete()) {
    outcome.code = CURLE_OUT_OF_MEMORY;
    outcome.message = "out of memory";
    return outcome;
  }
  StopProbe probe{&stop};
  stop_probe_ = &probe;
  ConfigureRequest(request, timeouts, commands.get());
  error_buffer_[0] = '\0';
  reply_text_.clear();
  reply_code_ = 0;
  reply_lines_.clear();
  replies_.clear();
  greeted_ = false;
  opened_socket_ = false;

  outcome.code = Perform();
  first_request_ = false;
  if (probe.stopped) {
    outcome.interrupted = true;
    // Shut, the sockets let nothing that follows wait for the server.
    for (curl_socket_t socket : sockets_) ShutDownSocket(socket);
  }

  if (outcome.interrupted) {
    outcome.message = "stopped for a key";
  } else {
    // libcurl's own words; only the server's replies can echo the password.
    outcome.message = error_buffer_[0] != '\0' ? error_buffer_ : curl_easy_strerror(outcome.code);
  }
  if (outcome.code == CURLE_OK) outcome.message.clear();
  outcome.last_reply_code = reply_code_;
  outcome.last_reply = WithoutPassword(reply_text_);
  for (FtpReply& reply : replies_) {
    reply.final_line = WithoutPassword(std::move(reply.final_line));
    reply.lines = WithoutPassword(std::move(reply.lines));
  }
  outcome.replies = std::move(replies_);
  replies_.clear();
  // SSH has no greeting line: a new connection is a new login.
  outcome.logged_in_anew = login_.address.transport == Transport::kSftp ? opened_socket_ : greeted_;
  outcome.key_check = key_check_;
  curl_off_t value = 0;
  if (curl_easy_getinfo(curl_, CURLINFO_SIZE_DOWNLOAD_T, &value) == CURLE_OK) {
    outcome.bytes_received = value;
  }
  if (curl_easy_getinfo(curl_, CURLINFO_SIZE_UPLOAD_T, &value) == CURLE_OK) {
    outcome.bytes_sent = value;
  }
  if (curl_easy_getinfo(curl_, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &value) == CURLE_OK) {
    outcome.reported_size = value;
  }
  curl_multi_remove_handle(multi_, curl_);
  stop_probe_ = nullptr;
  curl_easy_setopt(curl_, CURLOPT_XFERINFODATA, nullptr);
  // The command list goes away now; the handle must not point at it any more.
  curl_easy_setopt(curl_, CURLOPT_POSTQUOTE, nullptr);
  curl_easy_setopt(curl_, CURLOPT_QUOTE, nullptr);
  return outcome;
}

}  // namespace zuno
