#pragma once

namespace zuno {

// The character that separates a directory from the names inside it in a local path.
#ifdef _WIN32
inline constexpr char kPathSeparator = '\\';
#else
inline constexpr char kPathSeparator = '/';
#endif

}  // namespace zuno
