#pragma once

// Small helpers shared by the Win32 services. Include only from *_win32.cc files.

#include <windows.h>

#include <string>

namespace zuno {

// Keeps the system's critical-error and file-not-found message boxes switched off
// (error mode 0x8001) while it lives, and clears the last error so that a failure of
// the call it guards shows as a non-zero last error. The previous mode comes back
// when it goes away.
class QuietErrorMode {
 public:
  QuietErrorMode() : previous_(SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX)) {
    SetLastError(0);
  }
  ~QuietErrorMode() { SetErrorMode(previous_); }
  QuietErrorMode(const QuietErrorMode&) = delete;
  QuietErrorMode& operator=(const QuietErrorMode&) = delete;

 private:
  UINT previous_;
};

// A kernel handle that is closed when it goes away.
class OwnedHandle {
 public:
  OwnedHandle() = default;
  explicit OwnedHandle(HANDLE handle) : handle_(handle) {}
  ~OwnedHandle() { Reset(); }
  OwnedHandle(OwnedHandle&& other) noexcept : handle_(other.Release()) {}
  OwnedHandle& operator=(OwnedHandle&& other) noexcept {
    if (this != &other) {
      Reset();
      handle_ = other.Release();
    }
    return *this;
  }
  OwnedHandle(const OwnedHandle&) = delete;
  OwnedHandle& operator=(const OwnedHandle&) = delete;

  HANDLE get() const { return handle_; }
  bool valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
  HANDLE Release() {
    HANDLE handle = handle_;
    handle_ = INVALID_HANDLE_VALUE;
    return handle;
  }
  void Reset() {
    if (valid()) CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
  }

 private:
  HANDLE handle_ = INVALID_HANDLE_VALUE;
};

// The system's own sentence for an error code, without its trailing line end; the
// code as a number when the system has no text for it.
std::string SystemErrorText(DWORD error);

}  // namespace zuno
