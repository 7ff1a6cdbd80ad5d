#pragma once

#include <string>

namespace zuno::testing {

// A path of the Linux side (the source tree, the build) as Windows programs under
// Wine reach it: "/work/x" becomes "Z:\work\x". Other paths stay as they are.
inline std::string HostPath(const std::string& path) {
  if (path.empty() || path.front() != '/') return path;
  std::string windows = "Z:" + path;
  for (char& c : windows) {
    if (c == '/') c = '\\';
  }
  return windows;
}

}  // namespace zuno::testing
