// Thread-specific keys with destructors, and small thread primitives in the manner of the Unix
// thread interfaces. Every record below may be statically initialised with zeros.
#pragma once

#include <pthread.h>

#include <cstdint>

extern "C" {

typedef std::uint32_t thread_key_t;

// 0 on success, -1 on failure. A destructor runs only in threads started through
// Nul::start_thread, once, when the thread's routine returns, for a non-null value.
int thr_keycreate(thread_key_t *key, void (*destructor)(void *));
int thr_setspecific(thread_key_t key, void *value);
// Stores the calling thread's value (null when none was set) and returns it.
void *thr_getspecific(thread_key_t key, void **value);
int thr_keydelete(thread_key_t key);

} // extern "C"

namespace Nul {

// A recursive mutex (its owner may lock it again); zeros make an unlocked one.
struct thr_mutex_t {
    pthread_mutex_t mutex;
    pthread_t owner; // read by other threads through std::atomic_ref
    unsigned depth;
};

// An auto-reset event: a signal wakes one waiter, or the next one to wait when none waits.
struct thr_cond_t {
    pthread_mutex_t mutex;
    pthread_cond_t cond;
    int signalled;
};

struct thr_rwlock_t {
    pthread_rwlock_t lock;
};

struct thr_once_t {
    pthread_once_t once;
};

using thr_routine_t = void *(*)(void *);

// All: 0 on success, -1 on failure.
int lazy_sync_object_init(thr_mutex_t *m);
int lazy_sync_object_init(thr_cond_t *c);
int mutex_init(thr_mutex_t *m);
int mutex_lock(thr_mutex_t *m);
int mutex_unlock(thr_mutex_t *m);
int mutex_destroy(thr_mutex_t *m);
int cond_init(thr_cond_t *c);
int cond_signal(thr_cond_t *c);
// Releases the mutex once, waits for the signal and takes the mutex again.
int cond_wait(thr_cond_t *c, thr_mutex_t *m);
int cond_destroy(thr_cond_t *c);
int rwlock_init(thr_rwlock_t *l);
int rw_rdlock(thr_rwlock_t *l);
int rw_wrlock(thr_rwlock_t *l);
int rw_unlock(thr_rwlock_t *l);
int rwlock_destroy(thr_rwlock_t *l);
// Runs routine once per control; every caller returns only after it has finished.
int run_once(thr_once_t *once, void (*routine)(void));
// Starts routine(arg) on a new thread; its id goes to *id and it is joined with thread_join.
// With a null id the thread is detached.
int start_thread(thr_routine_t routine, void *arg, pthread_t *id);
// Waits for a thread of start_thread and stores its result.
int thread_join(pthread_t id, void **result);
int thread_unsupported();

} // namespace Nul
