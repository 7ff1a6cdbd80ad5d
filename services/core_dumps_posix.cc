#include <sys/resource.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

#include "services/core_dumps.h"

namespace zuno {

void DisableCoreDumps() {
  // No core file at all. Only the soft limit: a started browser that wants core
  // files of its own may still raise it again.
  rlimit limit{};
  if (getrlimit(RLIMIT_CORE, &limit) == 0) {
    limit.rlim_cur = 0;
    setrlimit(RLIMIT_CORE, &limit);
  }
#ifdef __linux__
  // A core pattern that pipes dumps to a collector ignores the limit; a process
  // that is not dumpable is never dumped (and cannot be read through ptrace or
  // /proc by other processes of the same user either).
  prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
#endif
}

}  // namespace zuno
