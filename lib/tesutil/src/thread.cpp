#include "tesutil/thread.h"

#include <atomic>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

namespace Nul {

namespace {

// The static initialisers of glibc are all zeros, which is what lets a zeroed record be used at
// once; the tests check that assumption.
struct KeyDestructor {
    thread_key_t key;
    void (*destructor)(void *); // null once the key has been deleted
    KeyDestructor *next;
};

thr_rwlock_t destructor_lock = {PTHREAD_RWLOCK_INITIALIZER};
KeyDestructor *destructor_list = nullptr;

struct StartBlock {
    thr_routine_t routine;
    void *arg;
};

void run_key_destructors() {
    // The calls are made outside the lock, so a destructor may create or delete keys itself.
    std::vector<std::pair<void (*)(void *), void *>> calls;
    if (rw_rdlock(&destructor_lock) != 0) return;
    try {
        for (KeyDestructor *e = destructor_list; e; e = e->next) {
            if (!e->destructor) continue;
            if (void *value = pthread_getspecific(e->key)) calls.emplace_back(e->destructor, value);
        }
    } catch (std::bad_alloc const &) {
        calls.clear();
    }
    rw_unlock(&destructor_lock);
    for (auto const &[destructor, value] : calls) destructor(value);
}

void *thread_start_wrapper(void *p) {
    auto *block = static_cast<StartBlock *>(p);
    void *result = block->routine(block->arg);
    run_key_destructors();
    delete block;
    return result;
}

pthread_t owner_of(thr_mutex_t *m) { return std::atomic_ref<pthread_t>(m->owner).load(std::memory_order_relaxed); }
void set_owner(thr_mutex_t *m, pthread_t t) {
    std::atomic_ref<pthread_t>(m->owner).store(t, std::memory_order_relaxed);
}

} // namespace

// The pthread objects behind a zeroed record need no creation step, so there is nothing that can
// fail half-way and leave other threads waiting.
int lazy_sync_object_init(thr_mutex_t *m) { return m ? 0 : -1; }
int lazy_sync_object_init(thr_cond_t *c) { return c ? 0 : -1; }

int mutex_init(thr_mutex_t *m) {
    if (!m) return -1;
    std::memset(static_cast<void *>(m), 0, sizeof *m);
    return pthread_mutex_init(&m->mutex, nullptr) == 0 ? 0 : -1;
}

int mutex_lock(thr_mutex_t *m) {
    if (lazy_sync_object_init(m) != 0) return -1;
    pthread_t self = pthread_self();
    if (pthread_equal(owner_of(m), self)) {
        ++m->depth;
        return 0;
    }
    if (pthread_mutex_lock(&m->mutex) != 0) return -1;
    set_owner(m, self);
    m->depth = 1;
    return 0;
}

int mutex_unlock(thr_mutex_t *m) {
    if (!m) return -1;
    pthread_t owner = owner_of(m);
    if (!pthread_equal(owner, pthread_self())) {
        // Unowned (never locked, or never created): nothing to release. Held by another thread: refused.
        return pthread_equal(owner, pthread_t{}) ? 0 : -1;
    }
    if (--m->depth) return 0;
    set_owner(m, pthread_t{});
    return pthread_mutex_unlock(&m->mutex) == 0 ? 0 : -1;
}

int mutex_destroy(thr_mutex_t *m) {
    if (!m) return -1;
    int rc = pthread_mutex_destroy(&m->mutex) == 0 ? 0 : -1;
    std::memset(static_cast<void *>(m), 0, sizeof *m);
    return rc;
}

int cond_init(thr_cond_t *c) {
    if (!c) return -1;
    std::memset(static_cast<void *>(c), 0, sizeof *c);
    if (pthread_mutex_init(&c->mutex, nullptr) != 0) return -1;
    return pthread_cond_init(&c->cond, nullptr) == 0 ? 0 : -1;
}

int cond_signal(thr_cond_t *c) {
    if (lazy_sync_object_init(c) != 0) return -1;
    if (pthread_mutex_lock(&c->mutex) != 0) return -1;
    c->signalled = 1;
    pthread_cond_signal(&c->cond);
    pthread_mutex_unlock(&c->mutex);
    return 0;
}

int cond_wait(thr_cond_t *c, thr_mutex_t *m) {
    if (lazy_sync_object_init(c) != 0 || lazy_sync_object_init(m) != 0) return -1;
    // Holding the event's own mutex before releasing m makes release-and-wait one step.
    if (pthread_mutex_lock(&c->mutex) != 0) return -1;
    if (mutex_unlock(m) != 0) {
        pthread_mutex_unlock(&c->mutex);
        return -1;
    }
    int rc = 0;
    while (!c->signalled && rc == 0) rc = pthread_cond_wait(&c->cond, &c->mutex);
    if (rc == 0) c->signalled = 0; // auto-reset: this waiter takes the signal
    pthread_mutex_unlock(&c->mutex);
    if (mutex_lock(m) != 0) return -1;
    return rc == 0 ? 0 : -1;
}

int cond_destroy(thr_cond_t *c) {
    if (!c) return -1;
    int rc = 0;
    if (pthread_cond_destroy(&c->cond) != 0) rc = -1;
    if (pthread_mutex_destroy(&c->mutex) != 0) rc = -1;
    std::memset(static_cast<void *>(c), 0, sizeof *c);
    return rc;
}

int rwlock_init(thr_rwlock_t *l) {
    if (!l) return -1;
    return pthread_rwlock_init(&l->lock, nullptr) == 0 ? 0 : -1;
}

int rw_rdlock(thr_rwlock_t *l) { return l && pthread_rwlock_rdlock(&l->lock) == 0 ? 0 : -1; }
int rw_wrlock(thr_rwlock_t *l) { return l && pthread_rwlock_wrlock(&l->lock) == 0 ? 0 : -1; }
int rw_unlock(thr_rwlock_t *l) { return l && pthread_rwlock_unlock(&l->lock) == 0 ? 0 : -1; }

int rwlock_destroy(thr_rwlock_t *l) {
    if (!l) return -1;
    int rc = pthread_rwlock_destroy(&l->lock) == 0 ? 0 : -1;
    std::memset(static_cast<void *>(l), 0, sizeof *l);
    return rc;
}

int run_once(thr_once_t *once, void (*routine)(void)) {
    if (!once || !routine) return -1;
    return pthread_once(&once->once, routine) == 0 ? 0 : -1;
}

int start_thread(thr_routine_t routine, void *arg, pthread_t *id) {
    if (!routine) return -1;
    auto *block = new (std::nothrow) StartBlock{routine, arg};
    if (!block) return -1;
    pthread_t t;
    if (pthread_create(&t, nullptr, thread_start_wrapper, block) != 0) {
        delete block;
        return -1;
    }
    // Without a place for its id nobody can join the thread, so it cleans up after itself.
    if (id)
        *id = t;
    else
        pthread_detach(t);
    return 0;
}

int thread_join(pthread_t id, void **result) {
    void *r = nullptr;
    if (pthread_join(id, &r) != 0) return -1;
    if (result) *result = r;
    return 0;
}

int thread_unsupported() { return -1; }

} // namespace Nul

using namespace Nul;

extern "C" int thr_keycreate(thread_key_t *key, void (*destructor)(void *)) {
    if (!key) return -1;
    pthread_key_t k;
    if (pthread_key_create(&k, nullptr) != 0) return -1;
    if (destructor) {
        // A key whose destructor could not be registered would leak its values silently.
        auto *e = new (std::nothrow) KeyDestructor{static_cast<thread_key_t>(k), destructor, nullptr};
        if (!e || rw_wrlock(&destructor_lock) != 0) {
            delete e;
            pthread_key_delete(k);
            return -1;
        }
        e->next = destructor_list;
        destructor_list = e;
        rw_unlock(&destructor_lock);
    }
    *key = static_cast<thread_key_t>(k);
    return 0;
}

extern "C" int thr_setspecific(thread_key_t key, void *value) {
    return pthread_setspecific(static_cast<pthread_key_t>(key), value) == 0 ? 0 : -1;
}

extern "C" void *thr_getspecific(thread_key_t key, void **value) {
    void *v = pthread_getspecific(static_cast<pthread_key_t>(key));
    if (value) *value = v;
    return v;
}

extern "C" int thr_keydelete(thread_key_t key) {
    // The entries stay in the list; forgetting the destructor keeps a later key that gets the
    // same index from running it on its own values.
    // Both steps under the lock, so a new key that reuses the index registers after the old
    // entries are forgotten.
    if (rw_wrlock(&destructor_lock) != 0) return -1;
    int rc = pthread_key_delete(static_cast<pthread_key_t>(key)) == 0 ? 0 : -1;
    if (rc == 0)
        for (KeyDestructor *e = destructor_list; e; e = e->next)
            if (e->key == key) e->destructor = nullptr;
    rw_unlock(&destructor_lock);
    return rc;
}
