// Counts heap and lock operations made in realtime sections of this test
// program, by interposing the C library's allocator, the mutex and
// read-write lock calls, JACK's jack_set_process_callback() and
// pthread_create() (rtcount.cc):
// - every process callback set through jack_set_process_callback() runs
//   inside a shim that marks its thread as realtime for the callback's
//   duration;
// - threads created while rtcount_mark_workers(true) is in force on the
//   creating thread are the convolver's workers; they count while
//   rtcount_arm_workers(true) is in force (their cycles only run inside a
//   process callback, and they free themselves at teardown, outside it);
// - threads created while rtcount_mark_spawners(true) is in force are
//   spawners (tesslive's reload thread): they do not count, but the
//   threads they create are workers.
// Only for programs built without a sanitizer, which brings an allocator
// of its own.
//
// Threads: the counters are atomics, read from any thread; marking and
// arming are called from the test thread.

#ifndef TESS_TESTS_RTCOUNT_H
#define TESS_TESTS_RTCOUNT_H

struct Rtcounts
{
    long callbacks;   // process callbacks run through the shim
    long allocs;      // malloc, calloc, realloc, aligned allocations
    long frees;       // free of a non-null pointer
    long worker_frees;   // those of them on worker threads
    long locks;       // mutex and read-write lock acquisitions (and tries)
};

Rtcounts rtcount_get();
void rtcount_reset();
void rtcount_mark_workers(bool on);
void rtcount_arm_workers(bool on);
void rtcount_mark_spawners(bool on);

#endif
