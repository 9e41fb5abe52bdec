#include "handoff.h"

#include <time.h>

namespace {

inline void relax()
{
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

}  // namespace

int64_t now_ns()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (int64_t)t.tv_sec * 1000000000 + t.tv_nsec;
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
    while (sem_wait(s) != 0) {}
    return false;
}
