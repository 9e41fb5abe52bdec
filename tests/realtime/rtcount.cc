#include "rtcount.h"

#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>

#include <jack/jack.h>

// glibc's own entry points of its allocator: the interposed functions pass
// every call on to them, without dlsym (which may itself allocate).
extern "C" {
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
void __libc_free(void *);
void *__libc_memalign(size_t, size_t);
}

namespace {

thread_local bool in_callback = false;   // a process callback runs on this thread
thread_local bool is_worker = false;     // a convolver worker thread
thread_local bool marking = false;       // threads made now are workers
thread_local bool spawner = false;       // threads made by this one are workers
thread_local bool marking_spawners = false;   // threads made now are spawners
std::atomic<bool> armed(false);

std::atomic<long> n_callbacks(0), n_allocs(0), n_frees(0), n_worker_frees(0), n_locks(0);

inline bool counting()
{
    return in_callback || (is_worker && armed.load(std::memory_order_relaxed));
}

typedef int (*lockfn)(void *);
typedef int (*createfn)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *);
typedef int (*setcbfn)(jack_client_t *, JackProcessCallback, void *);

lockfn real_mutex_lock, real_mutex_trylock, real_rd_lock, real_wr_lock, real_rd_try, real_wr_try;
createfn real_create;
setcbfn real_set_cb;

// Resolved before main(), while nothing counts.
__attribute__((constructor)) void resolve()
{
    real_mutex_lock = (lockfn)dlsym(RTLD_NEXT, "pthread_mutex_lock");
    real_mutex_trylock = (lockfn)dlsym(RTLD_NEXT, "pthread_mutex_trylock");
    real_rd_lock = (lockfn)dlsym(RTLD_NEXT, "pthread_rwlock_rdlock");
    real_wr_lock = (lockfn)dlsym(RTLD_NEXT, "pthread_rwlock_wrlock");
    real_rd_try = (lockfn)dlsym(RTLD_NEXT, "pthread_rwlock_tryrdlock");
    real_wr_try = (lockfn)dlsym(RTLD_NEXT, "pthread_rwlock_trywrlock");
    real_create = (createfn)dlsym(RTLD_NEXT, "pthread_create");
    real_set_cb = (setcbfn)dlsym(RTLD_NEXT, "jack_set_process_callback");
    if (!real_mutex_lock || !real_mutex_trylock || !real_rd_lock || !real_wr_lock || !real_rd_try ||
        !real_wr_try || !real_create || !real_set_cb) {
        abort();
    }
}

struct Shim
{
    JackProcessCallback cb;
    void *arg;
};

int shim_callback(jack_nframes_t n, void *p)
{
    Shim *s = static_cast<Shim *>(p);
    in_callback = true;
    n_callbacks.fetch_add(1, std::memory_order_relaxed);
    int r = s->cb(n, s->arg);
    in_callback = false;
    return r;
}

struct Start
{
    void *(*fn)(void *);
    void *arg;
    bool spawner;
};

void *worker_entry(void *p)
{
    Start s = *static_cast<Start *>(p);
    __libc_free(p);
    if (s.spawner) spawner = true;
    else is_worker = true;
    return s.fn(s.arg);
}

inline int lock_counted(lockfn f, void *m)
{
    if (counting()) n_locks.fetch_add(1, std::memory_order_relaxed);
    return f(m);
}

}  // namespace

Rtcounts rtcount_get()
{
    return {n_callbacks.load(), n_allocs.load(), n_frees.load(), n_worker_frees.load(), n_locks.load()};
}

void rtcount_reset()
{
    n_callbacks = 0;
    n_allocs = 0;
    n_frees = 0;
    n_worker_frees = 0;
    n_locks = 0;
}

void rtcount_mark_workers(bool on)
{
    marking = on;
}

void rtcount_arm_workers(bool on)
{
    armed.store(on);
}

void rtcount_mark_spawners(bool on)
{
    marking_spawners = on;
}

extern "C" {

void *malloc(size_t n)
{
    if (counting()) n_allocs.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(n);
}

void *calloc(size_t n, size_t m)
{
    if (counting()) n_allocs.fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(n, m);
}

void *realloc(void *p, size_t n)
{
    if (counting()) n_allocs.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(p, n);
}

void free(void *p)
{
    if (p && counting()) {
        n_frees.fetch_add(1, std::memory_order_relaxed);
        if (is_worker) n_worker_frees.fetch_add(1, std::memory_order_relaxed);
    }
    __libc_free(p);
}

void *memalign(size_t a, size_t n)
{
    if (counting()) n_allocs.fetch_add(1, std::memory_order_relaxed);
    return __libc_memalign(a, n);
}

void *aligned_alloc(size_t a, size_t n)
{
    return memalign(a, n);
}

int posix_memalign(void **out, size_t a, size_t n)
{
    if (a < sizeof(void *) || (a & (a - 1))) return EINVAL;
    void *p = memalign(a, n);
    if (!p) return ENOMEM;
    *out = p;
    return 0;
}

int pthread_mutex_lock(pthread_mutex_t *m)
{
    return lock_counted(real_mutex_lock, m);
}

int pthread_mutex_trylock(pthread_mutex_t *m)
{
    return lock_counted(real_mutex_trylock, m);
}

int pthread_rwlock_rdlock(pthread_rwlock_t *l)
{
    return lock_counted(real_rd_lock, l);
}

int pthread_rwlock_wrlock(pthread_rwlock_t *l)
{
    return lock_counted(real_wr_lock, l);
}

int pthread_rwlock_tryrdlock(pthread_rwlock_t *l)
{
    return lock_counted(real_rd_try, l);
}

int pthread_rwlock_trywrlock(pthread_rwlock_t *l)
{
    return lock_counted(real_wr_try, l);
}

int pthread_create(pthread_t *t, const pthread_attr_t *a, void *(*fn)(void *), void *arg)
{
    if (!marking && !spawner && !marking_spawners) return real_create(t, a, fn, arg);
    Start *s = static_cast<Start *>(__libc_malloc(sizeof(Start)));
    if (!s) return EAGAIN;
    s->fn = fn;
    s->arg = arg;
    s->spawner = marking_spawners && !marking && !spawner;
    int r = real_create(t, a, worker_entry, s);
    if (r) __libc_free(s);
    return r;
}

int jack_set_process_callback(jack_client_t *c, JackProcessCallback cb, void *arg)
{
    // One shim per call, kept for the life of the program: JACK may call
    // the callback until the client is closed.
    Shim *s = static_cast<Shim *>(__libc_malloc(sizeof(Shim)));
    if (!s) return -1;
    s->cb = cb;
    s->arg = arg;
    return real_set_cb(c, shim_callback, s);
}

}  // extern "C"
