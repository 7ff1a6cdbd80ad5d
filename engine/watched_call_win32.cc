#include "engine/watched_call_win32.h"

#include <windows.h>

#include <memory>
#include <utility>

#include "engine/stall_watch.h"

namespace zuno {
namespace {

// How often the limits are looked at while the work runs.
constexpr DWORD kCheckEveryMs = 25;
// How long cancelled work may take to come back before it is left behind.
constexpr DWORD kGraceMs = 2000;

struct Job {
  std::function<void()> work;
};

DWORD WINAPI RunJob(void* parameter) {
  std::unique_ptr<std::shared_ptr<Job>> job(static_cast<std::shared_ptr<Job>*>(parameter));
  (*job)->work();
  return 0;
}

}  // namespace

CallEnd RunWatched(std::function<void()> work, const CallLimits& limits,
                   const std::function<void()>& cancel) {
  auto job = std::make_shared<Job>();
  job->work = std::move(work);
  auto* parameter = new std::shared_ptr<Job>(job);
  const HANDLE thread = CreateThread(nullptr, 0, RunJob, parameter, 0, nullptr);
  if (thread == nullptr) {
    // No thread to be had: the work runs here, held only to the library's own limits.
    delete parameter;
    job->work();
    return CallEnd::kFinished;
  }

  StallWatch stall(limits.stall_ms, limits.stall_bytes_per_second);
  const ULONGLONG start = GetTickCount64();
  CallEnd end = CallEnd::kFinished;
  for (;;) {
    if (WaitForSingleObject(thread, kCheckEveryMs) == WAIT_OBJECT_0) break;
    const auto elapsed = static_cast<int64_t>(GetTickCount64() - start);
    if (limits.progress && stall.Stalled(elapsed, limits.progress())) {
      end = CallEnd::kStalled;
    } else if (limits.deadline_ms > 0 && elapsed >= limits.deadline_ms) {
      end = CallEnd::kTimedOut;
    }
    if (end != CallEnd::kFinished) {
      if (cancel) cancel();
      WaitForSingleObject(thread, kGraceMs);
      break;
    }
  }
  CloseHandle(thread);
  return end;
}

}  // namespace zuno
