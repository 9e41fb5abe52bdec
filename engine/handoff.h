// Waiting for another thread of a convolver. Waking a sleeping thread costs
// tens of microseconds on a virtual machine, sometimes more than the work
// it is woken for, so a thread that expects its signal soon polls for it a
// bounded time before it sleeps.
//
// REALTIME-SAFE, any thread: no allocation, no lock, only the semaphore's
// own calls.

#ifndef TESS_HANDOFF_H
#define TESS_HANDOFF_H

#include <semaphore.h>
#include <stdint.h>

// Processors this process may run on.
int32_t processors();

// The monotonic clock, in nanoseconds.
int64_t now_ns();

// Takes one count of 's', sleeping until there is one.
void take_sleeping(sem_t *s);

// Takes one count of 's', polling it until 'deadline' (now_ns() time)
// before sleeping on it. Returns true when it was taken while polling.
bool take_polling(sem_t *s, int64_t deadline);

#endif
