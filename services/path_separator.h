#pragma once

namespace zuno {

// The character that separates a directory from the names inside it in a local path.
// kPathSeparators: every character that the system takes as one.
#ifdef _WIN32
inline constexpr char kPathSeparator = '\\';
inline constexpr char kPathSeparators[] = "\\/";
#else
inline constexpr char kPathSeparator = '/';
inline constexpr char kPathSeparators[] = "/";
#endif

}  // namespace zuno
