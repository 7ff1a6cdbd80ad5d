#pragma once

#include <string>

namespace zuno {

// A local path after the symbolic links that may be followed have been followed.
struct FollowedPath {
  bool ok = false;
  // When ok: the name the file itself stands under (it is no link, and it may not
  // exist yet), so that it can be read, or replaced in its own directory.
  std::string path;
  // When not ok: why the path was not followed, either the system's reason or, when
  // `foreign_link`, "another user's link, not followed: " and the link's path.
  std::string reason;
  bool foreign_link = false;
};

// Follows the chain of symbolic links that starts at `path`, at most kMaxFollowedLinks
// of them. A link is followed only when it belongs to this user or to the owner of
// the directory it stands in (the rule of the kernel's protected_symlinks): a link
// that another user planted in a directory others may write to would otherwise send
// what the program reads or writes to a file of that user's choosing. A relative
// link is taken from the link's own directory. A path that cannot be examined is
// handed back as it is: the call that then uses it reports the system's reason.
FollowedPath FollowOwnLinks(const std::string& path);

inline constexpr int kMaxFollowedLinks = 8;

// A local path's directory ("." when it has none, "/" for the root) and its last
// component.
struct PathParts {
  std::string directory;
  std::string name;
};
PathParts SplitPath(const std::string& path);

}  // namespace zuno
