#include "engine/wininet_engine.h"

#include <windows.h>
#include <wininet.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/engine_errors.h"
#include "engine/engine_state.h"
#include "engine/existence_proof.h"
#include "engine/ftp_listing.h"
#include "engine/ftp_paths.h"
#include "engine/server_host.h"
#include "engine/stall_watch.h"
#include "engine/watched_call_win32.h"

namespace zuno {
namespace {

constexpr char kAgent[] = "ZUNO";

// The limits of the engine's numbered parameters, in ms (10: bytes per second).
using Limits = EngineLimits;

// One entry of a directory listing as WinINet parsed it.
struct ListedName {
  std::string name;
  bool directory = false;
};

// What one request left behind, filled on the thread that made the WinINet calls:
// whether it worked, that thread's last error and the server's last reply (both
// are kept per thread), and what the request itself produced.
struct Request {
  bool ok = false;
  DWORD error = 0;
  std::string reply;
  CallEnd end = CallEnd::kFinished;
  // Set once the caller has given up on the request; the work then only cleans up.
  std::atomic<bool> abandoned{false};
  HINTERNET session = nullptr;      // a login
  std::string text;                 // the login directory
  std::vector<ListedName> entries;  // a listing
  bool listing_complete = false;
};

// The server's last reply on this thread, as WinINet kept it.
std::string LastReply() {
  std::vector<char> buffer(4096);
  DWORD error = 0;
  DWORD length = static_cast<DWORD>(buffer.size());
  if (!InternetGetLastResponseInfoA(&error, buffer.data(), &length)) {
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return "";
    buffer.resize(length + 1);
    length = static_cast<DWORD>(buffer.size());
    if (!InternetGetLastResponseInfoA(&error, buffer.data(), &length)) return "";
  }
  std::string text(buffer.data(), std::min<size_t>(length, buffer.size()));
  const size_t end = text.find('\0');
  if (end != std::string::npos) text.resize(end);
  while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) text.pop_back();
  return text;
}

bool IsCompleteListingReply(int code) { return code == 226 || code == 250; }

// A reply that the server gave in full and that leaves its connection in step.
bool IsCleanRefusal(const Request& request) {
  const int code = ReplyCode(request.reply);
  return request.end == CallEnd::kFinished && code >= 400 && code < 600 && code != 421;
}

// What the caller of a request is doing, for the codes that depend on it.
enum class Purpose { kLogin, kDirectory, kCheck, kDownload, kUpload, kCommand };

int32_t CodeFor(const Request& request, Purpose purpose) {
  if (request.end == CallEnd::kTimedOut) return kEngineTimeout;
  if (request.end == CallEnd::kStalled) return kEngineStalled;
  const int code = ReplyCode(request.reply);
  if (code == 530 || request.error == ERROR_INTERNET_LOGIN_FAILURE) return kEngineLoginRefused;
  if (code == 421) return kEngineConnectionLost;
  switch (request.error) {
    case ERROR_INTERNET_NAME_NOT_RESOLVED:
      return kEngineHostNotFound;
    case ERROR_INTERNET_CANNOT_CONNECT:
      return kEngineCannotConnect;
    case ERROR_INTERNET_TIMEOUT:
      return kEngineTimeout;
    case ERROR_INTERNET_CONNECTION_ABORTED:
    case ERROR_INTERNET_CONNECTION_RESET:
    case ERROR_INTERNET_OPERATION_CANCELLED:
    case ERROR_FTP_DROPPED:
    case ERROR_FTP_TRANSFER_IN_PROGRESS:
      return kEngineConnectionLost;
    default:
      break;
  }
  if (code >= 400 && code < 600) {
    switch (purpose) {
      case Purpose::kDirectory:
        return code == 550 ? kEngineNoServerDirectory : kEngineServerRefused;
      case Purpose::kDownload:
        return code == 550 ? kEngineServerFileMissing : kEngineServerRefused;
      case Purpose::kCheck:
        return kEngineExistenceUnknown;
      default:
        return kEngineServerRefused;
    }
  }
  // No reply that says what went wrong: the connection did not hold.
  return purpose == Purpose::kLogin && request.error != 0 ? kEngineCannotConnect
                                                          : kEngineConnectionLost;
}

// The detail of a failed request for the user: the server's reply when it refused,
// otherwise what WinINet or the watch saw.
std::string DetailOf(const Request& request, const Limits& limits) {
  switch (request.end) {
    case CallEnd::kTimedOut:
      return "no answer within the time limit";
    case CallEnd::kStalled:
      return "fewer than " + std::to_string(limits.stall_bytes_per_second) +
             " bytes per second for " + std::to_string(limits.stall_ms) + " ms";
    case CallEnd::kFinished:
      break;
  }
  if (ReplyCode(request.reply) >= 400) return request.reply;
  switch (request.error) {
    case ERROR_INTERNET_NAME_NOT_RESOLVED:
      return "the name was not found";
    case ERROR_INTERNET_CANNOT_CONNECT:
      return "the connection was refused";
    case ERROR_INTERNET_TIMEOUT:
      return "WinINet's time limit passed";
    case 0:
      return "the server ended the connection";
    default:
      return "WinINet error " + std::to_string(request.error);
  }
}

// The system's sentence for a local failure.
std::string LocalReason(DWORD error) {
  char* text = nullptr;
  const DWORD length = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<char*>(&text), 0,
      nullptr);
  std::string message = length > 0 && text != nullptr ? std::string(text, length) : "";
  if (text != nullptr) LocalFree(text);
  while (!message.empty() && (message.back() == '\r' || message.back() == '\n' ||
                              message.back() == ' ' || message.back() == '.')) {
    message.pop_back();
  }
  return message.empty() ? "system error " + std::to_string(error) : message;
}

// A name for an upload on its way, which no other machine or run can choose:
// computer name, process and bits of the clocks.
std::string TemporaryServerName() {
  char computer[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = sizeof(computer);
  std::string host;
  if (GetComputerNameA(computer, &size)) {
    for (const char* c = computer; *c != '\0' && host.size() < 24; ++c) {
      const bool plain = (*c >= 'a' && *c <= 'z') || (*c >= 'A' && *c <= 'Z') ||
                         (*c >= '0' && *c <= '9') || *c == '-';
      host += plain ? *c : '-';
    }
  }
  if (host.empty()) host = "host";
  LARGE_INTEGER counter;
  QueryPerformanceCounter(&counter);
  static unsigned int sequence = 0;
  const unsigned long long mixed =
      (static_cast<unsigned long long>(counter.QuadPart) * 0x9E3779B97F4A7C15ull) ^
      (GetTickCount64() << 20) ^ ++sequence;
  char tail[48];
  std::snprintf(tail, sizeof(tail), "%lu-%08x", static_cast<unsigned long>(GetCurrentProcessId()),
                static_cast<unsigned int>(mixed ^ (mixed >> 32)));
  return "zuno-upload-" + host + "-" + tail + ".part";
}

bool HasBlank(std::string_view name) { return name.find_first_of(" \t") != name.npos; }

// A download's temporary file next to its target, under a name that says whose it
// is, removed when it goes away unless it has been put in the target's place.
class DownloadFile {
 public:
  explicit DownloadFile(const std::string& directory) {
    static unsigned int counter = 0;
    const UINT previous = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
      const std::string name = directory + "zuno-download-" +
                               std::to_string(GetCurrentProcessId()) + "-" +
                               std::to_string(++counter) + ".part";
      const HANDLE file = CreateFileA(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
      if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
        path_ = name;
      } else if (GetLastError() != ERROR_FILE_EXISTS) {
        error_ = GetLastError();
        break;
      }
    }
    SetErrorMode(previous);
  }
  ~DownloadFile() {
    if (!path_.empty()) DeleteFileA(path_.c_str());
  }
  DownloadFile(const DownloadFile&) = delete;
  DownloadFile& operator=(const DownloadFile&) = delete;

  const std::string& path() const { return path_; }
  DWORD error() const { return error_; }
  // The bytes that have arrived so far.
  int64_t Size() const {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path_.c_str(), GetFileExInfoStandard, &data)) return 0;
    return (static_cast<int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  }
  // Replaces the target with the complete download in one step; 0 or the reason.
  DWORD MoveOver(const std::string& target) {
    if (!MoveFileExA(path_.c_str(), target.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      return GetLastError();
    }
    path_.clear();
    return 0;
  }

 private:
  std::string path_;
  DWORD error_ = 0;
};

class WinInetEngine final : public FtpEngine {
 public:
  ~WinInetEngine() override { fceRelease(); }

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
  using Work = std::function<bool(HINTERNET session, Request& request)>;

  int32_t CheckChannel(int32_t channel);
  int32_t CheckConnected(int32_t channel);
  // Records the detail of a failure and gives its code.
  int32_t Refuse(int32_t code, const std::string& detail);
  // The same for a failure on the way to the server: the next operation starts on a
  // fresh login, since this connection may be out of step.
  int32_t Fail(int32_t code, const std::string& detail);
  int32_t FailWith(const Request& request, Purpose purpose);

  // Runs WinINet calls on the login's connection, watched by the limits. The work
  // gets the session handle and must capture only copies.
  std::shared_ptr<Request> Run(Work work, const CallLimits& limits);
  // One FTP command without data, e.g. "SIZE name"; binary type first when asked.
  std::shared_ptr<Request> Command(const std::string& command, bool binary_first = false);
  CallLimits ReplyLimits(int replies = 1) const;

  // Logs in anew on a connection of its own.
  int32_t Login();
  // The connection for the next request: a connection found gone is replaced by a
  // new login, which then returns to the server directory.
  int32_t Prepare();
  int32_t EnterServerDirectory();
  int32_t ChangeDirectory(const std::string& directory);
  // Closes the connection's handles, within the reply limit.
  void CloseConnection();
  // Gives the connection up at once, from outside a request blocked on it.
  void AbandonConnection();
  void EndLogin();

  int32_t CheckExistence(const std::string& name);
  std::shared_ptr<Request> List();
  void RemoveServerFile(const std::string& name);
  std::string LocalPath(const std::string& name) const;

  EngineState state_;
  std::string local_dir_;

  // The login: kept from fceConnect to fceClose, so that a lost connection can be
  // replaced by an equal one.
  bool connected_ = false;
  ServerAddress address_;
  std::string user_;
  std::string password_;
  std::string login_dir_;  // as the server names it (PWD); empty when unknown
  std::string server_dir_;
  bool ascii_ = false;

  // The connection that serves the login now.
  HINTERNET internet_ = nullptr;
  HINTERNET session_ = nullptr;
  bool usable_ = false;
  // The directory the connection is in, relative to the login directory ("" is the
  // login directory itself); unknown after a failed change of directory.
  std::optional<std::string> current_dir_;
};

int32_t WinInetEngine::Refuse(int32_t code, const std::string& detail) {
  return state_.Record(code, detail, password_);
}

int32_t WinInetEngine::Fail(int32_t code, const std::string& detail) {
  usable_ = false;
  return Refuse(code, detail);
}

int32_t WinInetEngine::FailWith(const Request& request, Purpose purpose) {
  const int32_t code = CodeFor(request, purpose);
  const std::string detail = DetailOf(request, state_.limits);
  return IsCleanRefusal(request) ? Refuse(code, detail) : Fail(code, detail);
}

int32_t WinInetEngine::CheckChannel(int32_t channel) { return state_.CheckChannel(channel); }

int32_t WinInetEngine::CheckConnected(int32_t channel) {
  if (const int32_t failure = CheckChannel(channel); failure < 0) return failure;
  if (!connected_) return Refuse(kEngineNotConnected, "");
  return 0;
}

CallLimits WinInetEngine::ReplyLimits(int replies) const {
  CallLimits limits;
  limits.deadline_ms = state_.limits.reply_ms * replies;
  return limits;
}

std::shared_ptr<Request> WinInetEngine::Run(Work work, const CallLimits& limits) {
  auto request = std::make_shared<Request>();
  const HINTERNET session = session_;
  const CallEnd end = RunWatched(
      [request, session, work] {
        SetLastError(0);
        request->ok = work(session, *request);
        request->error = request->ok ? 0 : GetLastError();
        request->reply = LastReply();
      },
      limits, [this] { AbandonConnection(); });
  if (end != CallEnd::kFinished) {
    request->abandoned = true;
    // The work may still change its own record; the caller gets a copy of the verdict.
    auto verdict = std::make_shared<Request>();
    verdict->end = end;
    return verdict;
  }
  return request;
}

std::shared_ptr<Request> WinInetEngine::Command(const std::string& command, bool binary_first) {
  return Run(
      [command, binary_first](HINTERNET session, Request&) {
        if (binary_first) {
          FtpCommandA(session, FALSE, FTP_TRANSFER_TYPE_BINARY, "TYPE I", 0, nullptr);
        }
        return FtpCommandA(session, FALSE, FTP_TRANSFER_TYPE_BINARY, command.c_str(), 0, nullptr) !=
               FALSE;
      },
      ReplyLimits(binary_first ? 2 : 1));
}

void WinInetEngine::AbandonConnection() {
  // Closing the handles cancels what is blocked on them; WinINet keeps the objects
  // alive until the blocked call has come back.
  if (session_ != nullptr) InternetCloseHandle(session_);
  if (internet_ != nullptr) InternetCloseHandle(internet_);
  session_ = nullptr;
  internet_ = nullptr;
  usable_ = false;
  current_dir_.reset();
}

void WinInetEngine::CloseConnection() {
  if (session_ == nullptr && internet_ == nullptr) return;
  const HINTERNET session = session_;
  const HINTERNET internet = internet_;
  session_ = nullptr;
  internet_ = nullptr;
  usable_ = false;
  current_dir_.reset();
  // Closing a login may say goodbye to the server and wait for its answer.
  RunWatched(
      [session, internet] {
        if (session != nullptr) InternetCloseHandle(session);
        if (internet != nullptr) InternetCloseHandle(internet);
      },
      ReplyLimits(), nullptr);
}

void WinInetEngine::EndLogin() {
  CloseConnection();
  connected_ = false;
  SecureZeroMemory(password_.data(), password_.size());
  password_.clear();
  user_.clear();
  login_dir_.clear();
  server_dir_.clear();
}

int32_t WinInetEngine::Login() {
  CloseConnection();
  const HINTERNET internet = InternetOpenA(kAgent, INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
  if (internet == nullptr) return Refuse(kEngineStartFailed, LocalReason(GetLastError()));
  // WinINet's own limits; the watch below holds every call to them as well.
  const auto set = [internet](DWORD option, int64_t value) {
    DWORD milliseconds = static_cast<DWORD>(value);
    InternetSetOptionA(internet, option, &milliseconds, sizeof(milliseconds));
  };
  set(INTERNET_OPTION_CONNECT_TIMEOUT, state_.limits.connect_ms);
  set(INTERNET_OPTION_RECEIVE_TIMEOUT, state_.limits.reply_ms);
  set(INTERNET_OPTION_SEND_TIMEOUT, state_.limits.reply_ms);
  set(INTERNET_OPTION_DATA_RECEIVE_TIMEOUT, state_.limits.stall_ms);
  set(INTERNET_OPTION_DATA_SEND_TIMEOUT, state_.limits.stall_ms);

  auto request = std::make_shared<Request>();
  const std::string host = address_.host;
  const auto port = static_cast<INTERNET_PORT>(address_.port);
  const std::string user = user_;
  std::string password = password_;
  CallLimits limits;
  limits.deadline_ms = state_.limits.connect_ms + state_.limits.reply_ms;
  const CallEnd end = RunWatched(
      [request, internet, host, port, user, password]() mutable {
        SetLastError(0);
        const HINTERNET session =
            InternetConnectA(internet, host.c_str(), port, user.c_str(), password.c_str(),
                             INTERNET_SERVICE_FTP, INTERNET_FLAG_PASSIVE, 0);
        SecureZeroMemory(password.data(), password.size());
        request->error = session == nullptr ? GetLastError() : 0;
        request->reply = LastReply();
        if (session == nullptr) return;
        char directory[MAX_PATH * 4] = {};
        DWORD length = sizeof(directory);
        if (FtpGetCurrentDirectoryA(session, directory, &length)) request->text = directory;
        if (request->abandoned) {
          InternetCloseHandle(session);
          return;
        }
        request->session = session;
        request->ok = true;
      },
      limits, [internet] { InternetCloseHandle(internet); });
  SecureZeroMemory(password.data(), password.size());
  if (end != CallEnd::kFinished) {
    request->abandoned = true;
    Request verdict;
    verdict.end = end;
    return Fail(CodeFor(verdict, Purpose::kLogin), DetailOf(verdict, state_.limits));
  }
  if (!request->ok) {
    InternetCloseHandle(internet);
    return Fail(CodeFor(*request, Purpose::kLogin), DetailOf(*request, state_.limits));
  }
  internet_ = internet;
  session_ = request->session;
  usable_ = true;
  current_dir_ = "";
  login_dir_ = request->text;
  return 0;
}

int32_t WinInetEngine::Prepare() {
  if (usable_ && session_ != nullptr) {
    // A connection that the server ended meanwhile is found here, before the request.
    const std::shared_ptr<Request> probe = Command("NOOP");
    const int code = ReplyCode(probe->reply);
    const bool alive =
        probe->ok || (probe->end == CallEnd::kFinished && code >= 400 && code < 600 && code != 421);
    if (!alive) usable_ = false;
  }
  if (!usable_ || session_ == nullptr) {
    if (const int32_t failure = Login(); failure < 0) return failure;
  }
  return EnterServerDirectory();
}

int32_t WinInetEngine::ChangeDirectory(const std::string& directory) {
  const std::shared_ptr<Request> changed = Run(
      [directory](HINTERNET session, Request&) {
        return FtpSetCurrentDirectoryA(session, directory.c_str()) != FALSE;
      },
      ReplyLimits());
  if (changed->ok) return 0;
  current_dir_.reset();
  return FailWith(*changed, Purpose::kDirectory);
}

int32_t WinInetEngine::EnterServerDirectory() {
  if (current_dir_ == server_dir_) return 0;
  if (current_dir_ != std::optional<std::string>("")) {
    // Back to the login directory first, since a relative server directory is taken
    // from there. Without its name only a new login gets there.
    if (login_dir_.empty()) {
      if (const int32_t failure = Login(); failure < 0) return failure;
    } else if (const int32_t failure = ChangeDirectory(login_dir_); failure < 0) {
      return failure;
    }
    current_dir_ = "";
  }
  if (server_dir_.empty()) return 0;
  if (const int32_t failure = ChangeDirectory(server_dir_); failure < 0) return failure;
  current_dir_ = server_dir_;
  return 0;
}

int32_t WinInetEngine::fceAttach(int32_t channels) {
  if (channels < 1) return Refuse(kEngineBadArgument, "at least one channel is needed");
  state_.attached = true;
  return channels;
}

int32_t WinInetEngine::fceSetInteger(int32_t channel, int32_t parameter, int32_t value) {
  if (const int32_t failure = CheckChannel(channel); failure < 0) return failure;
  return state_.SetParameter(parameter, value);
}

int32_t WinInetEngine::fceSetLocalDir(int32_t channel, const std::string& directory) {
  if (const int32_t failure = CheckChannel(channel); failure < 0) return failure;
  if (directory.empty()) return Refuse(kEngineLocalDirectoryMissing, "no directory given");
  const UINT previous = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  const DWORD attributes = GetFileAttributesA(directory.c_str());
  const DWORD error = GetLastError();
  SetErrorMode(previous);
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    return Refuse(kEngineLocalDirectoryMissing, directory + ": " + LocalReason(error));
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    return Refuse(kEngineLocalDirectoryMissing, directory + " is not a directory");
  }
  local_dir_ = directory;
  return 0;
}

int32_t WinInetEngine::fceConnect(int32_t channel, const std::string& host, const std::string& user,
                                  const std::string& password) {
  if (const int32_t failure = CheckChannel(channel); failure < 0) return failure;
  ServerAddress address;
  std::string problem;
  if (!ParseServerHost(host, &address, &problem)) return Refuse(kEngineBadHostText, problem);
  // Secure ways of speaking to the server are not offered here, and plain FTP is
  // never used in their place.
  if (address.transport != Transport::kFtp) {
    return Refuse(kEngineBadHostText, host.substr(0, host.find("://")) +
                                          ":// is not supported, only plain FTP; not connected");
  }
  const std::string_view breaks("\r\n\0", 3);
  if (user.find_first_of(breaks) != std::string::npos ||
      password.find_first_of(breaks) != std::string::npos) {
    return Refuse(kEngineBadArgument, "the user name or password contains a line break or NUL");
  }
  // A connect is always a fresh login; an earlier one ends here.
  EndLogin();
  address_ = address;
  user_ = user;
  password_ = password;
  ascii_ = false;
  if (const int32_t failure = Login(); failure < 0) {
    const std::string detail = state_.Detail(failure);
    EndLogin();
    state_.Record(failure, detail);
    return failure;
  }
  connected_ = true;
  return 0;
}

int32_t WinInetEngine::fceSetServerDir(int32_t channel, const std::string& directory) {
  if (const int32_t failure = CheckConnected(channel); failure < 0) return failure;
  std::string problem;
  if (!IsUsableServerDirectory(directory, &problem)) {
    return Refuse(kEngineBadDirectoryText, problem);
  }
  // From the login directory, since a relative directory is taken from there.
  const std::string previous = server_dir_;
  server_dir_.clear();
  if (const int32_t failure = Prepare(); failure < 0) {
    server_dir_ = previous;
    return failure;
  }
  if (!directory.empty()) {
    if (const int32_t failure = ChangeDirectory(directory); failure < 0) {
      server_dir_ = previous;
      return failure;
    }
  }
  server_dir_ = directory;
  current_dir_ = directory;
  return 0;
}

int32_t WinInetEngine::fceGetList(int32_t channel, int32_t kind, char* buffer, int32_t size) {
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
  if (const int32_t failure = Prepare(); failure < 0) return failure;
  return CheckExistence(name);
}

std::shared_ptr<Request> WinInetEngine::List() {
  CallLimits limits;
  limits.deadline_ms =
      state_.limits.connect_ms + state_.limits.reply_ms * 3 + state_.limits.stall_ms;
  return Run(
      [](HINTERNET session, Request& request) {
        WIN32_FIND_DATAA entry;
        constexpr DWORD kFresh = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE;
        const HINTERNET find = FtpFindFirstFileA(session, nullptr, &entry, kFresh, 0);
        if (find == nullptr) {
          // No entry at all: an empty directory, when the listing ended as it should.
          request.listing_complete = IsCompleteListingReply(ReplyCode(LastReply()));
          return request.listing_complete;
        }
        do {
          request.entries.push_back(
              {entry.cFileName, (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0});
        } while (!request.abandoned && InternetFindNextFileA(find, &entry));
        const bool ran_out = GetLastError() == ERROR_NO_MORE_FILES;
        bool complete = IsCompleteListingReply(ReplyCode(LastReply()));
        InternetCloseHandle(find);
        complete = complete || IsCompleteListingReply(ReplyCode(LastReply()));
        request.listing_complete = ran_out && complete;
        return request.listing_complete;
      },
      limits);
}

int32_t WinInetEngine::CheckExistence(const std::string& name) {
  ExistenceEvidence evidence;
  evidence.name_has_blank = HasBlank(name);

  const std::shared_ptr<Request> size = Command("SIZE " + name, true);
  evidence.size_reply = ReplyCode(size->reply);
  if (!size->ok && !IsCleanRefusal(*size)) return FailWith(*size, Purpose::kCheck);

  const std::shared_ptr<Request> listing = List();
  if (listing->end != CallEnd::kFinished || (!listing->ok && !IsCleanRefusal(*listing))) {
    return FailWith(*listing, Purpose::kCheck);
  }
  if (!listing->listing_complete) {
    return Refuse(kEngineExistenceUnknown,
                  listing->reply.empty() ? "the listing of the directory did not end as it should"
                                         : listing->reply);
  }
  for (const ListedName& entry : listing->entries) {
    if (entry.name == name) {
      evidence.listed = entry.directory ? ListedAs::kDirectory : ListedAs::kFile;
    }
  }

  if (NeedsModificationTime(evidence)) {
    const std::shared_ptr<Request> modified = Command("MDTM " + name);
    evidence.modification_time_reply = ReplyCode(modified->reply);
    if (!modified->ok && !IsCleanRefusal(*modified)) return FailWith(*modified, Purpose::kCheck);
  }

  switch (JudgeExistence(evidence)) {
    case ExistenceVerdict::kPresent:
      return 1;
    case ExistenceVerdict::kAbsent:
      return 0;
    case ExistenceVerdict::kNotAFile:
      return Refuse(kEngineNotAFile, name + " is a directory");
    case ExistenceVerdict::kDoubt:
      break;
  }
  return Refuse(kEngineExistenceUnknown,
                size->reply.empty() ? "the server neither shows nor denies " + name : size->reply);
}

int32_t WinInetEngine::fceSetMode(int32_t channel, int32_t mode) {
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

std::string WinInetEngine::LocalPath(const std::string& name) const {
  if (local_dir_.empty()) return name;
  const char last = local_dir_.back();
  return last == '\\' || last == '/' || last == ':' ? local_dir_ + name : local_dir_ + "\\" + name;
}

int32_t WinInetEngine::fceGetFile(int32_t channel, const std::string& transfer_text) {
  if (const int32_t failure = CheckConnected(channel); failure < 0) return failure;
  const size_t colon = transfer_text.find(':');
  if (colon == std::string::npos) return Refuse(kEngineBadTransferText, "no ':' in the text");
  const std::string server_name = transfer_text.substr(0, colon);
  const std::string local_name = transfer_text.substr(colon + 1);
  std::string problem;
  if (!IsUsableServerName(server_name, &problem)) return Refuse(kEngineBadName, problem);
  if (local_name.empty() || local_name.back() == '\\' || local_name.back() == '/' ||
      local_name.find('\0') != std::string::npos) {
    return Refuse(kEngineBadTransferText, "no usable local file name after the ':'");
  }
  const std::string target = LocalPath(local_name);
  const size_t cut = target.find_last_of("\\/:");
  const std::string directory = cut == std::string::npos ? "" : target.substr(0, cut + 1);

  if (const int32_t failure = Prepare(); failure < 0) return failure;
  // The size the server gives, to check the bytes that arrive against it.
  long long expected = -1;
  if (!ascii_) {
    const std::shared_ptr<Request> size = Command("SIZE " + server_name, true);
    if (!size->ok && !IsCleanRefusal(*size)) return FailWith(*size, Purpose::kDownload);
    if (!size->ok || !ReplyNumber(size->reply, &expected)) expected = -1;
  }

  DownloadFile download(directory);
  if (download.path().empty()) {
    return Refuse(kEngineLocalWriteFailed,
                  (directory.empty() ? "." : directory) + ": " + LocalReason(download.error()));
  }
  const std::string temporary = download.path();
  const DWORD type = ascii_ ? FTP_TRANSFER_TYPE_ASCII : FTP_TRANSFER_TYPE_BINARY;
  CallLimits limits;
  limits.progress = [&download] { return download.Size(); };
  limits.stall_ms = state_.limits.stall_ms;
  limits.stall_bytes_per_second = state_.limits.stall_bytes_per_second;
  const std::shared_ptr<Request> got = Run(
      [server_name, temporary, type](HINTERNET session, Request&) {
        return FtpGetFileA(session, server_name.c_str(), temporary.c_str(), FALSE,
                           FILE_ATTRIBUTE_NORMAL, type | INTERNET_FLAG_RELOAD, 0) != FALSE;
      },
      limits);
  if (!got->ok) {
    const int code = ReplyCode(got->reply);
    if (got->end == CallEnd::kFinished && code < 400 && got->error != 0 &&
        got->error < INTERNET_ERROR_BASE) {
      return Fail(kEngineLocalWriteFailed, temporary + ": " + LocalReason(got->error));
    }
    return FailWith(*got, Purpose::kDownload);
  }
  const int64_t received = download.Size();
  if (expected >= 0 && received != expected) {
    return Fail(kEngineTransferIncomplete, "received " + std::to_string(received) + " of " +
                                               std::to_string(expected) + " bytes");
  }
  if (const DWORD error = download.MoveOver(target); error != 0) {
    return Refuse(kEngineLocalWriteFailed, target + ": " + LocalReason(error));
  }
  return 0;
}

void WinInetEngine::RemoveServerFile(const std::string& name) {
  if (Prepare() < 0) return;
  Run([name](HINTERNET session,
             Request&) { return FtpDeleteFileA(session, name.c_str()) != FALSE; },
      ReplyLimits());
}

int32_t WinInetEngine::fceDelFile(int32_t channel, const std::string& name) {
  if (const int32_t failure = CheckConnected(channel); failure < 0) return failure;
  std::string problem;
  if (!IsUsableServerName(name, &problem)) return Refuse(kEngineBadName, problem);
  if (const int32_t failure = Prepare(); failure < 0) return failure;
  const std::shared_ptr<Request> deleted =
      Run([name](HINTERNET session,
                 Request&) { return FtpDeleteFileA(session, name.c_str()) != FALSE; },
          ReplyLimits());
  if (deleted->ok) return 0;
  if (!IsCleanRefusal(*deleted)) return FailWith(*deleted, Purpose::kCommand);
  // A refusal is fine when the file is not there; otherwise the file stays and the
  // refusal is the failure.
  const std::string refusal = deleted->reply;
  if (CheckExistence(name) == 0) return 0;
  return Fail(kEngineServerRefused, refusal.empty() ? "DELE " + name : refusal);
}

int32_t WinInetEngine::fcePutFile(int32_t channel, const std::string& name) {
  if (const int32_t failure = CheckConnected(channel); failure < 0) return failure;
  std::string problem;
  if (!IsUsableServerName(name, &problem)) return Refuse(kEngineBadName, problem);
  const std::string source = LocalPath(name);
  int64_t size = 0;
  {
    const UINT previous = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    WIN32_FILE_ATTRIBUTE_DATA data;
    const bool found = GetFileAttributesExA(source.c_str(), GetFileExInfoStandard, &data) != 0;
    const DWORD error = GetLastError();
    HANDLE readable = INVALID_HANDLE_VALUE;
    if (found && (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      readable = CreateFileA(source.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    const DWORD open_error = GetLastError();
    if (readable != INVALID_HANDLE_VALUE) CloseHandle(readable);
    SetErrorMode(previous);
    if (!found) {
      return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
                 ? Refuse(kEngineLocalFileMissing, source + ": " + LocalReason(error))
                 : Refuse(kEngineLocalReadFailed, source + ": " + LocalReason(error));
    }
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      return Refuse(kEngineLocalReadFailed, source + " is a directory");
    }
    if (readable == INVALID_HANDLE_VALUE) {
      return Refuse(kEngineLocalReadFailed, source + ": " + LocalReason(open_error));
    }
    size = (static_cast<int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  }
  if (const int32_t failure = Prepare(); failure < 0) return failure;

  // The file goes up under a name of its own and takes the real name only once the
  // server holds all of it, so the name never shows a partial file.
  const std::string temporary = TemporaryServerName();
  const DWORD type = ascii_ ? FTP_TRANSFER_TYPE_ASCII : FTP_TRANSFER_TYPE_BINARY;
  CallLimits limits;
  limits.deadline_ms =
      state_.limits.connect_ms + UploadTimeLimitMs(size, state_.limits.stall_ms,
                                                   state_.limits.stall_bytes_per_second,
                                                   state_.limits.reply_ms * 3);
  const std::shared_ptr<Request> sent = Run(
      [source, temporary, type](HINTERNET session, Request&) {
        return FtpPutFileA(session, source.c_str(), temporary.c_str(), type, 0) != FALSE;
      },
      limits);
  int32_t failure = 0;
  if (!sent->ok) {
    failure = sent->end == CallEnd::kFinished && ReplyCode(sent->reply) < 400 && sent->error != 0 &&
                      sent->error < INTERNET_ERROR_BASE
                  ? Fail(kEngineLocalReadFailed, source + ": " + LocalReason(sent->error))
                  : FailWith(*sent, Purpose::kUpload);
  } else if (!ascii_) {
    const std::shared_ptr<Request> stored = Command("SIZE " + temporary, true);
    const int code = ReplyCode(stored->reply);
    long long held = -1;
    if (!stored->ok && !IsCleanRefusal(*stored)) {
      failure = FailWith(*stored, Purpose::kUpload);
    } else if (!IsUnknownCommandReply(code) &&
               (code != 213 || !ReplyNumber(stored->reply, &held) || held != size)) {
      failure = Fail(kEngineTransferIncomplete,
                     "the server holds " + (held >= 0 ? std::to_string(held) : "an unknown") +
                         " of " + std::to_string(size) + " bytes");
    }
  }
  if (failure == 0) {
    const std::shared_ptr<Request> renamed = Run(
        [temporary, name](HINTERNET session, Request&) {
          return FtpRenameFileA(session, temporary.c_str(), name.c_str()) != FALSE;
        },
        ReplyLimits(2));
    if (renamed->ok) return 0;
    failure = FailWith(*renamed, Purpose::kCommand);
  }
  // A server that stopped answering would only make the clean-up wait as long
  // again; the name of the leftover cannot be mistaken for anything else.
  if (failure != kEngineTimeout && failure != kEngineStalled) RemoveServerFile(temporary);
  usable_ = false;
  return failure;
}

int32_t WinInetEngine::fceClose(int32_t channel) {
  if (const int32_t failure = CheckChannel(channel); failure < 0) return failure;
  EndLogin();
  return 0;
}

int32_t WinInetEngine::fceErrorText(int32_t channel, int32_t code, char* buffer, int32_t size) {
  return state_.ErrorText(channel, code, buffer, size);
}

int32_t WinInetEngine::fceRelease() {
  if (!state_.attached) return kEngineNotAttached;
  EndLogin();
  state_.attached = false;
  return 0;
}

}  // namespace

std::unique_ptr<FtpEngine> MakeWinInetEngine() { return std::make_unique<WinInetEngine>(); }

}  // namespace zuno
