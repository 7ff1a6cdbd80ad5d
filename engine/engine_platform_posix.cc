#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <stdlib.h>
#include <string.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "engine/engine_platform.h"

namespace zuno {

std::string MachineName() {
  char host[256] = {};
  if (gethostname(host, sizeof(host) - 1) != 0) return "";
  return host;
}

long ProcessNumber() { return static_cast<long>(getpid()); }

bool FillRandom(void* data, size_t size) {
  return getrandom(data, size, 0) == static_cast<ssize_t>(size);
}

void WipeMemory(void* data, size_t size) { explicit_bzero(data, size); }

curl_socket_t OpenSocket(int family, int type, int protocol) {
  return ::socket(family, type | SOCK_CLOEXEC, protocol);
}

int CloseSocket(curl_socket_t socket) { return close(socket); }

void ShutDownSocket(curl_socket_t socket) { shutdown(socket, SHUT_RDWR); }

bool SocketsQuiet(const std::vector<curl_socket_t>& sockets) {
  std::vector<pollfd> watched;
  for (curl_socket_t socket : sockets) watched.push_back({socket, POLLIN, 0});
  if (watched.empty()) return true;
  if (poll(watched.data(), watched.size(), 0) < 0) return false;
  for (const pollfd& socket : watched) {
    if (socket.revents != 0) return false;
  }
  return true;
}

bool IsLocalDirectory(const std::string& path, std::string* problem) {
  struct stat status;
  if (stat(path.c_str(), &status) != 0) {
    *problem = path + ": " + strerror(errno);
    return false;
  }
  if (!S_ISDIR(status.st_mode)) {
    *problem = path + " is not a directory";
    return false;
  }
  return true;
}

int CreateUniqueFile(std::string* path) { return mkostemp(path->data(), O_CLOEXEC); }

int OpenForReading(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW);
  if (fd >= 0) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

bool StandsAsOtherThanPlainFile(const std::string& path) {
  struct stat existing;
  return lstat(path.c_str(), &existing) == 0 && !S_ISREG(existing.st_mode);
}

long WriteSome(int fd, const char* data, size_t size) {
  while (true) {
    const ssize_t written = write(fd, data, size);
    if (written < 0 && errno == EINTR) continue;
    return static_cast<long>(written);
  }
}

long ReadSome(int fd, char* data, size_t size) {
  while (true) {
    const ssize_t got = read(fd, data, size);
    if (got < 0 && errno == EINTR) continue;
    return static_cast<long>(got);
  }
}

bool EmptyFile(int fd) { return ftruncate(fd, 0) == 0 && lseek(fd, 0, SEEK_SET) == 0; }

bool SeekToStart(int fd) { return lseek(fd, 0, SEEK_SET) == 0; }

bool OpenFileSize(int fd, long long* size, bool* plain_file) {
  struct stat status;
  if (fstat(fd, &status) != 0) return false;
  *size = status.st_size;
  *plain_file = S_ISREG(status.st_mode);
  return true;
}

bool TakePermissionsOf(int fd, const std::string& target) {
  struct stat existing;
  const mode_t mode = lstat(target.c_str(), &existing) == 0 && S_ISREG(existing.st_mode)
                          ? existing.st_mode & 0777
                          : 0600;
  return fchmod(fd, mode) == 0;
}

bool FlushToDisk(int fd) { return fsync(fd) == 0; }

int CloseFile(int fd) { return close(fd); }

bool RenameOver(const std::string& from, const std::string& to) {
  return rename(from.c_str(), to.c_str()) == 0;
}

void FlushDirectory(const std::string& directory) {
  const int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

bool RemoveFile(const std::string& path) { return unlink(path.c_str()) == 0; }

void UseSystemCertificateStore(CURL*) {
  // libcurl's own CA bundle is the system's store.
}

std::string KnownHostsPath() {
  const char* home = getenv("HOME");
  std::string directory = home != nullptr ? home : "";
  if (directory.empty()) {
    if (const passwd* account = getpwuid(getuid()); account != nullptr && account->pw_dir) {
      directory = account->pw_dir;
    }
  }
  if (directory.empty()) directory = "/nonexistent";
  if (directory.back() != '/') directory += '/';
  return directory + ".ssh/known_hosts";
}

const char* KnownHostsShownName() { return "~/.ssh/known_hosts"; }

}  // namespace zuno
