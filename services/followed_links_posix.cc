#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "services/followed_links.h"

namespace zuno {
namespace {

// A descriptor that only names a file system object (O_PATH), closed when it goes away.
class PathHandle {
 public:
  PathHandle(int directory, const char* name, int flags)
      : fd_(openat(directory, name, O_PATH | O_CLOEXEC | flags)) {}
  ~PathHandle() {
    if (fd_ >= 0) close(fd_);
  }
  PathHandle(const PathHandle&) = delete;
  PathHandle& operator=(const PathHandle&) = delete;
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }

 private:
  int fd_;
};

// Where a link's text leads, seen from the directory the link stands in.
std::string LinkDestination(const std::string& directory, const std::string& text) {
  if (text.front() == '/' || directory == ".") return text;
  return (directory == "/" ? "" : directory) + "/" + text;
}

FollowedPath Followed(std::string path) { return {.ok = true, .path = std::move(path)}; }
FollowedPath NotFollowed(std::string reason) { return {.ok = false, .reason = std::move(reason)}; }

// The path comes last, so a shortened error line still says what happened.
FollowedPath ForeignLink(const std::string& link) {
  return {
      .ok = false, .reason = "another user's link, not followed: " + link, .foreign_link = true};
}

}  // namespace

PathParts SplitPath(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return {".", path};
  if (slash == 0) return {"/", path.substr(1)};
  return {path.substr(0, slash), path.substr(slash + 1)};
}

FollowedPath FollowOwnLinks(const std::string& path) {
  std::string current = path;
  for (int followed = 0;; ++followed) {
    const PathParts parts = SplitPath(current);
    if (parts.name.empty()) return Followed(current);
    // The link is examined and read through one handle on the link itself, so a
    // link swapped in between cannot have its text taken for the examined one's.
    const PathHandle directory(AT_FDCWD, parts.directory.c_str(), O_DIRECTORY);
    if (!directory.valid()) return Followed(current);
    const PathHandle entry(directory.get(), parts.name.c_str(), O_NOFOLLOW);
    struct stat entry_st;
    if (!entry.valid() || fstat(entry.get(), &entry_st) != 0 || !S_ISLNK(entry_st.st_mode)) {
      return Followed(current);
    }
    if (followed == kMaxFollowedLinks) return NotFollowed(strerror(ELOOP));
    struct stat directory_st;
    if (fstat(directory.get(), &directory_st) != 0) return NotFollowed(strerror(errno));
    if (entry_st.st_uid != geteuid() && entry_st.st_uid != directory_st.st_uid) {
      return ForeignLink(current);
    }
    char text[PATH_MAX];
    const ssize_t length = readlinkat(entry.get(), "", text, sizeof text);
    if (length < 0) return NotFollowed(strerror(errno));
    if (length == 0) return NotFollowed(strerror(ENOENT));
    if (static_cast<size_t>(length) == sizeof text) return NotFollowed(strerror(ENAMETOOLONG));
    current = LinkDestination(parts.directory, std::string(text, static_cast<size_t>(length)));
  }
}

}  // namespace zuno
