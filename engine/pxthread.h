// Base class for an object that owns one detached POSIX thread.
//
// Threads: construct and start() from any one thread; run() executes on the
// new thread. Nothing here is realtime-safe (thread creation allocates).
// The thread is detached and never joined: the derived class arranges its
// own end, and the object must outlive every use the thread makes of it.

#ifndef TESS_PXTHREAD_H
#define TESS_PXTHREAD_H

#include <pthread.h>
#include <stddef.h>

class Pxthread
{
public:
    Pxthread();
    virtual ~Pxthread();

    // Creates the thread with scheduling policy 'policy' and a priority
    // 'priority' below the policy's highest one (an offset of 0 or more
    // gives the highest; the result is never below the lowest). A stack
    // size the system refuses, such as 0, leaves the default stack.
    // Returns 0, or the error number of pthread_create.
    int start(int policy, int priority, size_t stacksize);

    // The thread body.
    virtual void run() = 0;

private:
    // The priority start() asks for with this policy and offset.
    static int priority_for(int policy, int priority);
    static void *entry(void *arg);

    pthread_t _thread;
};

#endif
