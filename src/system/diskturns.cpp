#include "diskturns.h"

#include <sys/syscall.h>
#include <unistd.h>

bool takeLowestOrdinaryDiskTurns()
{
#if defined(SYS_ioprio_set)
    // From linux/ioprio.h: the best-effort class at its lowest level, for the
    // thread itself (who 0 is the calling thread, not its process).
    constexpr int WhoProcess = 1, ClassBestEffort = 2, ClassShift = 13, LowestLevel = 7;
    return ::syscall(SYS_ioprio_set, WhoProcess, 0, (ClassBestEffort << ClassShift) | LowestLevel) == 0;
#else
    return false;
#endif
}
