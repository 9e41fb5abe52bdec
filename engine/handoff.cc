#include "handoff.h"

#include <sched.h>
#include <time.h>
#include <unistd.h>

namespace {

inline void relax()
{
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

}  // namespace

int32_t processors()
{
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof(set), &set) == 0) return CPU_COUNT(&set);
    long n = sysconf(_SC_NPROCESSORS_ONLN);
    return (n > 0) ? (int32_t)n : 1;
}

int64_t now_ns()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (int64_t)t.tv_sec * 1000000000 + t.tv_nsec;
}

void take_sleeping(sem_t *s)
{
    while (sem_wait(s) != 0) {}
}

bool take_polling(sem_t *s, int64_t deadline)
{
    while (now_ns() < deadline) {
        for (int k = 0; k < 32; k++) {
            int v = 0;
            sem_getvalue(s, &v);
            if ((v > 0) && (sem_trywait(s) == 0)) return true;
            relax();
        }
    }
    take_sleeping(s);
    return false;
}
