#include <string>

#include "services/followed_links.h"

namespace zuno {

FollowedPath FollowOwnLinks(const std::string& path) {
  // Making a symbolic link on Windows takes a privilege that ordinary users do
  // not have by default, so no other user plants one for this program to follow:
  // the path is used as it is, and the call that uses it reports the system's reason.
  return {.ok = true, .path = path};
}

}  // namespace zuno
