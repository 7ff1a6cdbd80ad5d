#pragma once

#include <curl/curl.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/engine_state.h"
#include "engine/ftp_engine.h"
#include "engine/secure_transport.h"
#include "engine/server_host.h"

namespace zuno {

// The time limits of every exchange with the server.
using EngineTimeouts = EngineLimits;

// What a login needs; kept so that a lost connection can log in again.
struct LoginData {
  ServerAddress address;
  std::string user;
  std::string password;
};

// Where the bytes of a download or listing go.
class TransferSink {
 public:
  virtual ~TransferSink() = default;
  // False stops the transfer (the local side failed).
  virtual bool Write(const char* data, size_t size) = 0;
  // Forgets what was written, for a transfer that starts again.
  virtual bool Restart() = 0;
};

// Where the bytes of an upload come from.
class TransferSource {
 public:
  virtual ~TransferSource() = default;
  // Fills up to size bytes; 0 at the end, -1 when the local side failed.
  virtual long Read(char* data, size_t size) = 0;
  // Goes back to the first byte, for a transfer that starts again.
  virtual bool Restart() = 0;
};

// One exchange on the control connection: optionally a transfer, then commands.
struct FtpRequest {
  enum class Kind {
    kCommandsOnly,  // change into the directory, then the commands
    kFileInfo,      // change into the directory and ask for the file's size
    kListing,       // a listing of the directory with listing_command
    kDownload,      // the file into sink
    kUpload,        // source into the file
  };
  Kind kind = Kind::kCommandsOnly;
  // The URL path after "ftp://host:port/" (see ftp_paths.h).
  std::string url_path;
  // The FTP listing command; empty: a list of names only (SFTP).
  std::string listing_command;
  // Commands sent after the transfer (SFTP: before it); a leading '*' lets a command
  // fail without failing the request (its reply is then the outcome's last reply).
  std::vector<std::string> commands_after;
  TransferSink* sink = nullptr;
  TransferSource* source = nullptr;
  long long upload_size = -1;
  bool ascii = false;
  // The longest the whole request may take, ms; 0: no limit beyond the others.
  int64_t time_limit_ms = 0;
};

// One reply of the server: its code, its final line, and all its lines (those of a
// reply of several lines too, such as MLST's), without CR LF, joined by LF.
struct FtpReply {
  int code = 0;
  std::string final_line;
  std::string lines;
};

// What came of a request.
struct FtpOutcome {
  CURLcode code = CURLE_OK;
  // libcurl's description of a failure.
  std::string message;
  // The final line of the last reply of the server, without CR LF, and its code
  // (0 when the server said nothing).
  int last_reply_code = 0;
  std::string last_reply;
  // Every reply of the request, in order; the last ones answer the commands.
  std::vector<FtpReply> replies;
  // A new login was made for this request (the earlier connection was gone).
  bool logged_in_anew = false;
  // The request was stopped because a key was waiting; the connection is gone.
  bool interrupted = false;
  // What the check of the server's key saw (TLS and SFTP).
  KeyCheck key_check;
  long long bytes_received = 0;
  long long bytes_sent = 0;
  // The size of the file as the server reported it, -1 when it did not.
  long long reported_size = -1;

  bool ok() const { return code == CURLE_OK; }
  // The reply to the command that was nth from the end of the request (0: the
  // last), or an empty reply when the server gave fewer.
  const FtpReply& ReplyFromEnd(size_t nth) const;
};

// One login on the server (FTP, FTP over TLS or SFTP): a libcurl handle whose control connection
// serves every request until the object goes away, which sends QUIT and waits a few seconds at
// most for its answer. libcurl logs in again by itself when it finds the connection gone before
// a request. No reply of the server in an outcome ever holds the password: a reply that echoes it
// is replaced whole.
class FtpConnection {
 public:
  explicit FtpConnection(const LoginData& login);
  ~FtpConnection();
  FtpConnection(const FtpConnection&) = delete;
  FtpConnection& operator=(const FtpConnection&) = delete;

  // False when libcurl could not make its handles.
  bool usable() const { return curl_ != nullptr && multi_ != nullptr; }
  // Runs one request. stop, when given, is asked every few milliseconds; when it
  // answers true the request ends at once as interrupted, its connection dropped.
  FtpOutcome Run(const FtpRequest& request, const EngineTimeouts& timeouts,
                 const StopCheck& stop = nullptr);
  // Whether the connection is as the last request left it: since then the server
  // has neither said anything nor closed it. A server that has (a "421" at its idle
  // limit) has ended the session, and libcurl 7.88 must not be handed such a
  // connection: reading the leftover reply, it reads freed memory.
  bool Quiet() const;
  // Ends the connection without QUIT, for a connection out of step or a server
  // that has stopped answering: nothing waits for it.
  void Abandon();

 private:
  static size_t OnReplyLine(char* data, size_t size, size_t count, void* self);
  static curl_socket_t OnOpenSocket(void* self, curlsocktype purpose, curl_sockaddr* address);
  static int OnCloseSocket(void* self, curl_socket_t socket);
  void ConfigureRequest(const FtpRequest& request, const EngineTimeouts& timeouts,
                        curl_slist* commands);
  CURLcode Perform();
  // The text, or a stand-in when it holds the password.
  std::string WithoutPassword(std::string text) const;

  LoginData login_;
  CURL* curl_ = nullptr;
  // The connections live in the multi handle between requests.
  CURLM* multi_ = nullptr;
  // Every socket libcurl has open for this login: control and data connections.
  std::vector<curl_socket_t> sockets_;
  bool first_request_ = true;
  // What the progress calls of the running request ask (see ftp_connection.cc).
  void* stop_probe_ = nullptr;
  char error_buffer_[CURL_ERROR_SIZE] = {};
  std::string reply_text_;
  int reply_code_ = 0;
  // The lines of the reply being read, and the complete replies of the request.
  std::string reply_lines_;
  std::vector<FtpReply> replies_;
  bool greeted_ = false;
  // A connection to the server was opened during the request.
  bool opened_socket_ = false;
  KeyCheck key_check_;
};

}  // namespace zuno
