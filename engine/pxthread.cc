#include "pxthread.h"

#include <sched.h>
#include <string.h>

Pxthread::Pxthread()
{
    memset(&_thread, 0, sizeof(_thread));
}

Pxthread::~Pxthread()
{
}

int Pxthread::priority_for(int policy, int priority)
{
    int min = sched_get_priority_min(policy);
    int max = sched_get_priority_max(policy);
    int prio = (priority < 0) ? max + priority : max;
    if (prio < min) prio = min;
    return prio;
}

int Pxthread::start(int policy, int priority, size_t stacksize)
{
    pthread_attr_t attr;
    sched_param parm;

    parm.sched_priority = priority_for(policy, priority);
    pthread_attr_init(&attr);
    // The results of these settings are deliberately not examined: a
    // refused stack size leaves the default one.
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_attr_setschedpolicy(&attr, policy);
    pthread_attr_setschedparam(&attr, &parm);
    pthread_attr_setscope(&attr, PTHREAD_SCOPE_SYSTEM);
    pthread_attr_setinheritsched(&attr, PTHREAD_EXPLICIT_SCHED);
    pthread_attr_setstacksize(&attr, stacksize);
    memset(&_thread, 0, sizeof(_thread));
    int rc = pthread_create(&_thread, &attr, entry, this);
    pthread_attr_destroy(&attr);
    return rc;
}

void *Pxthread::entry(void *arg)
{
    static_cast<Pxthread *>(arg)->run();
    return nullptr;
}
