#include <winsock2.h>
// After winsock2.h, which must come first.
#include <bcrypt.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>
#include <climits>
#include <string>
#include <vector>

#include "engine/engine_platform.h"
#include "services/win32_util.h"

namespace zuno {
namespace {

// The C library's word for the most common reasons a file call of the system fails.
int ErrnoOf(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_WRITE_PROTECT:
      return EACCES;
    case ERROR_ALREADY_EXISTS:
    case ERROR_FILE_EXISTS:
      return EEXIST;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ENOSPC;
    case ERROR_NOT_SAME_DEVICE:
      return EXDEV;
    default:
      return EIO;
  }
}

// Calls of the C library take at most INT_MAX bytes at a time.
unsigned int ChunkOf(size_t size) {
  return static_cast<unsigned int>(size > INT_MAX ? INT_MAX : size);
}

}  // namespace

std::string MachineName() {
  char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = sizeof(name);
  if (!GetComputerNameA(name, &size)) return "";
  return std::string(name, size);
}

long ProcessNumber() { return static_cast<long>(GetCurrentProcessId()); }

bool FillRandom(void* data, size_t size) {
  return BCryptGenRandom(nullptr, static_cast<PUCHAR>(data), static_cast<ULONG>(size),
                         BCRYPT_USE_SYSTEM_PREFERRED_RNG) == 0;
}

void WipeMemory(void* data, size_t size) { SecureZeroMemory(data, size); }

curl_socket_t OpenSocket(int family, int type, int protocol) {
  SOCKET socket = WSASocketW(family, type, protocol, nullptr, 0,
                             WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  if (socket == INVALID_SOCKET) {
    // Systems before Windows 7 SP1 do not know the flag.
    socket = WSASocketW(family, type, protocol, nullptr, 0, WSA_FLAG_OVERLAPPED);
    if (socket != INVALID_SOCKET) {
      SetHandleInformation(reinterpret_cast<HANDLE>(socket), HANDLE_FLAG_INHERIT, 0);
    }
  }
  return socket;
}

int CloseSocket(curl_socket_t socket) { return closesocket(socket); }

void ShutDownSocket(curl_socket_t socket) { shutdown(socket, SD_BOTH); }

bool SocketsQuiet(const std::vector<curl_socket_t>& sockets) {
  std::vector<WSAPOLLFD> watched;
  for (curl_socket_t socket : sockets) watched.push_back({socket, POLLRDNORM, 0});
  if (watched.empty()) return true;
  if (WSAPoll(watched.data(), static_cast<ULONG>(watched.size()), 0) == SOCKET_ERROR) return false;
  for (const WSAPOLLFD& socket : watched) {
    if (socket.revents != 0) return false;
  }
  return true;
}

bool IsLocalDirectory(const std::string& path, std::string* problem) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    *problem = path + ": " + SystemErrorText(GetLastError());
    return false;
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    *problem = path + " is not a directory";
    return false;
  }
  return true;
}

int CreateUniqueFile(std::string* path) {
  static const char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  const size_t unique = path->size() >= 6 ? path->size() - 6 : 0;
  if (path->compare(unique, std::string::npos, "XXXXXX") != 0) {
    errno = EINVAL;
    return -1;
  }
  for (int attempt = 0; attempt < 100; ++attempt) {
    unsigned char random[6];
    if (!FillRandom(random, sizeof(random))) {
      errno = EIO;
      return -1;
    }
    for (size_t i = 0; i < 6; ++i) (*path)[unique + i] = kLetters[random[i] % 36];
    const int fd = _open(path->c_str(), _O_CREAT | _O_EXCL | _O_RDWR | _O_BINARY | _O_NOINHERIT,
                         _S_IREAD | _S_IWRITE);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

int OpenForReading(const std::string& path) {
  return _open(path.c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT);
}

bool StandsAsOtherThanPlainFile(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES &&
         (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0;
}

long WriteSome(int fd, const char* data, size_t size) { return _write(fd, data, ChunkOf(size)); }

long ReadSome(int fd, char* data, size_t size) { return _read(fd, data, ChunkOf(size)); }

bool EmptyFile(int fd) { return _chsize(fd, 0) == 0 && _lseeki64(fd, 0, SEEK_SET) == 0; }

bool SeekToStart(int fd) { return _lseeki64(fd, 0, SEEK_SET) == 0; }

bool OpenFileSize(int fd, long long* size, bool* plain_file) {
  struct _stat64 status;
  if (_fstat64(fd, &status) != 0) return false;
  *size = status.st_size;
  *plain_file = (status.st_mode & _S_IFMT) == _S_IFREG;
  return true;
}

bool TakePermissionsOf(int, const std::string&) {
  // A new file inherits the directory's access rules, as the replaced one did.
  return true;
}

bool FlushToDisk(int fd) { return _commit(fd) == 0; }

int CloseFile(int fd) { return _close(fd); }

bool RenameOver(const std::string& from, const std::string& to) {
  if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return true;
  }
  errno = ErrnoOf(GetLastError());
  return false;
}

void FlushDirectory(const std::string&) {
  // MOVEFILE_WRITE_THROUGH has made the rename durable.
}

bool RemoveFile(const std::string& path) { return _unlink(path.c_str()) == 0; }

void UseSystemCertificateStore(CURL* curl) {
  curl_easy_setopt(curl, CURLOPT_SSL_OPTIONS, static_cast<long>(CURLSSLOPT_NATIVE_CA));
}

std::string KnownHostsPath() {
  char profile[MAX_PATH + 1] = {};
  const DWORD length = GetEnvironmentVariableA("USERPROFILE", profile, sizeof(profile));
  std::string directory = length > 0 && length < sizeof(profile) ? profile : "";
  if (directory.empty()) directory = "C:\\nonexistent";
  if (directory.back() != '\\' && directory.back() != '/') directory += '\\';
  return directory + ".ssh\\known_hosts";
}

const char* KnownHostsShownName() { return "%USERPROFILE%\\.ssh\\known_hosts"; }

}  // namespace zuno
