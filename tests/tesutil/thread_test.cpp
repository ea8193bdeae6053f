#include "tesutil/thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

namespace {

std::atomic<int> destroyed_a{0};
std::atomic<void *> last_a{nullptr};
void destroy_a(void *v) {
    ++destroyed_a;
    last_a = v;
}
std::atomic<int> destroyed_b{0};
void destroy_b(void *) { ++destroyed_b; }

struct KeyAndValue {
    thread_key_t key;
    void *value;
};

void *set_and_return(void *p) {
    auto *kv = static_cast<KeyAndValue *>(p);
    if (thr_setspecific(kv->key, kv->value) != 0) return reinterpret_cast<void *>(1);
    return kv->value;
}

bool all_zero(void const *p, std::size_t n) {
    auto const *b = static_cast<unsigned char const *>(p);
    for (std::size_t i = 0; i < n; ++i)
        if (b[i]) return false;
    return true;
}

} // namespace

TEST(ThreadKeys, StaticInitialisersAreZeros) {
    // A zeroed record must be a usable object: that is what static zero initialisation relies on.
    // glibc's initialisers spell their null pointers as 0.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wzero-as-null-pointer-constant"
    pthread_mutex_t m = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t c = PTHREAD_COND_INITIALIZER;
    pthread_rwlock_t l = PTHREAD_RWLOCK_INITIALIZER;
    pthread_once_t o = PTHREAD_ONCE_INIT;
#pragma GCC diagnostic pop
    EXPECT_TRUE(all_zero(&m, sizeof m));
    EXPECT_TRUE(all_zero(&c, sizeof c));
    EXPECT_TRUE(all_zero(&l, sizeof l));
    EXPECT_TRUE(all_zero(&o, sizeof o));
}

TEST(ThreadKeys, GetSpecificOnFreshThreadIsNull) {
    thread_key_t key;
    ASSERT_EQ(thr_keycreate(&key, nullptr), 0);
    int here = 0;
    ASSERT_EQ(thr_setspecific(key, &here), 0);
    void *out = &here;
    EXPECT_EQ(thr_getspecific(key, &out), &here);
    EXPECT_EQ(out, &here);
    std::thread([&] {
        void *v = &here;
        EXPECT_EQ(thr_getspecific(key, &v), nullptr);
        EXPECT_EQ(v, nullptr);
    }).join();
    EXPECT_EQ(thr_keydelete(key), 0);
}

TEST(ThreadKeys, DestructorsRunOnlyInThreadsTheLibraryStarted) {
    thread_key_t key;
    ASSERT_EQ(thr_keycreate(&key, destroy_a), 0);
    destroyed_a = 0;
    int value = 7;
    KeyAndValue kv{key, &value};

    pthread_t id;
    ASSERT_EQ(Nul::start_thread(set_and_return, &kv, &id), 0);
    void *result = nullptr;
    ASSERT_EQ(Nul::thread_join(id, &result), 0);
    EXPECT_EQ(result, &value); // the routine's result is the thread's result
    EXPECT_EQ(destroyed_a.load(), 1);
    EXPECT_EQ(last_a.load(), &value);

    // A null value: no call.
    KeyAndValue none{key, nullptr};
    ASSERT_EQ(Nul::start_thread(set_and_return, &none, &id), 0);
    ASSERT_EQ(Nul::thread_join(id, nullptr), 0);
    EXPECT_EQ(destroyed_a.load(), 1);

    // A thread not started by the library ends without the destructor.
    std::thread([&] { set_and_return(&kv); }).join();
    pthread_t raw;
    ASSERT_EQ(pthread_create(&raw, nullptr, set_and_return, &kv), 0);
    pthread_join(raw, nullptr);
    EXPECT_EQ(destroyed_a.load(), 1);
    EXPECT_EQ(thr_keydelete(key), 0);
}

TEST(ThreadKeys, DeletedKeyForgetsItsDestructor) {
    thread_key_t a;
    ASSERT_EQ(thr_keycreate(&a, destroy_a), 0);
    ASSERT_EQ(thr_keydelete(a), 0);
    thread_key_t b;
    ASSERT_EQ(thr_keycreate(&b, destroy_b), 0);
    EXPECT_EQ(b, a); // the index is reused, which is the case that matters
    destroyed_a = 0;
    destroyed_b = 0;
    int value = 1;
    KeyAndValue kv{b, &value};
    pthread_t id;
    ASSERT_EQ(Nul::start_thread(set_and_return, &kv, &id), 0);
    ASSERT_EQ(Nul::thread_join(id, nullptr), 0);
    EXPECT_EQ(destroyed_a.load(), 0);
    EXPECT_EQ(destroyed_b.load(), 1);
    EXPECT_EQ(thr_keydelete(b), 0);
}

TEST(ThreadKeys, KeyWithoutDestructorAndBadArguments) {
    EXPECT_EQ(thr_keycreate(nullptr, destroy_a), -1);
    thread_key_t key;
    ASSERT_EQ(thr_keycreate(&key, nullptr), 0);
    destroyed_a = 0;
    destroyed_b = 0;
    int value = 1;
    KeyAndValue kv{key, &value};
    pthread_t id;
    ASSERT_EQ(Nul::start_thread(set_and_return, &kv, &id), 0);
    ASSERT_EQ(Nul::thread_join(id, nullptr), 0);
    EXPECT_EQ(destroyed_a.load() + destroyed_b.load(), 0);
    EXPECT_EQ(thr_keydelete(key), 0);
    EXPECT_EQ(Nul::start_thread(nullptr, nullptr, &id), -1);
    EXPECT_EQ(Nul::thread_unsupported(), -1);
}

TEST(ThreadPrimitives, ZeroMutexLocksAtOnceAndIsRecursive) {
    static Nul::thr_mutex_t never; // zeros
    EXPECT_EQ(Nul::mutex_unlock(&never), 0);

    static Nul::thr_mutex_t m;
    ASSERT_EQ(Nul::mutex_lock(&m), 0);
    ASSERT_EQ(Nul::mutex_lock(&m), 0);
    std::atomic<bool> got{false};
    std::atomic<bool> tried{false};
    std::thread other([&] {
        EXPECT_EQ(Nul::mutex_unlock(&m), -1); // not the owner
        tried = true;
        Nul::mutex_lock(&m);
        got = true;
        Nul::mutex_unlock(&m);
    });
    // The non-owner's unlock must happen while this thread still owns the mutex.
    while (!tried.load()) std::this_thread::yield();
    ASSERT_EQ(Nul::mutex_unlock(&m), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(got.load()); // still held once
    ASSERT_EQ(Nul::mutex_unlock(&m), 0);
    other.join();
    EXPECT_TRUE(got.load());
    EXPECT_EQ(Nul::mutex_destroy(&m), 0);
}

TEST(ThreadPrimitives, MutexExcludes) {
    Nul::thr_mutex_t m;
    ASSERT_EQ(Nul::mutex_init(&m), 0);
    long counter = 0;
    std::vector<std::thread> ts;
    for (int i = 0; i < 4; ++i)
        ts.emplace_back([&] {
            for (int j = 0; j < 10000; ++j) {
                Nul::mutex_lock(&m);
                ++counter;
                Nul::mutex_unlock(&m);
            }
        });
    for (auto &t : ts) t.join();
    EXPECT_EQ(counter, 40000);
    EXPECT_EQ(Nul::mutex_destroy(&m), 0);
}

TEST(ThreadPrimitives, ConditionIsAnAutoResetEvent) {
    static Nul::thr_cond_t c;
    static Nul::thr_mutex_t m;
    // A signal with nobody waiting is kept for the next waiter.
    ASSERT_EQ(Nul::cond_signal(&c), 0);
    ASSERT_EQ(Nul::mutex_lock(&m), 0);
    ASSERT_EQ(Nul::cond_wait(&c, &m), 0);
    ASSERT_EQ(Nul::mutex_unlock(&m), 0);

    // One signal wakes one of two waiters.
    std::atomic<int> woke{0};
    auto waiter = [&] {
        Nul::mutex_lock(&m);
        Nul::cond_wait(&c, &m);
        ++woke;
        Nul::mutex_unlock(&m);
    };
    std::thread t1(waiter), t2(waiter);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    ASSERT_EQ(Nul::cond_signal(&c), 0);
    for (int i = 0; i < 200 && woke.load() == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(woke.load(), 1);
    ASSERT_EQ(Nul::cond_signal(&c), 0);
    t1.join();
    t2.join();
    EXPECT_EQ(woke.load(), 2);
    EXPECT_EQ(Nul::cond_destroy(&c), 0);
    EXPECT_EQ(Nul::mutex_destroy(&m), 0);
}

TEST(ThreadPrimitives, ReaderWriterLock) {
    static Nul::thr_rwlock_t l; // zeros: created on first use
    ASSERT_EQ(Nul::rw_rdlock(&l), 0);
    std::atomic<bool> second_reader{false}, writer{false};
    std::thread r([&] {
        Nul::rw_rdlock(&l);
        second_reader = true;
        Nul::rw_unlock(&l);
    });
    r.join();
    EXPECT_TRUE(second_reader.load()); // readers share
    std::thread w([&] {
        Nul::rw_wrlock(&l);
        writer = true;
        Nul::rw_unlock(&l);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(writer.load()); // shut out while a reader holds it
    ASSERT_EQ(Nul::rw_unlock(&l), 0);
    w.join();
    EXPECT_TRUE(writer.load());
    EXPECT_EQ(Nul::rwlock_destroy(&l), 0);
    EXPECT_EQ(Nul::rwlock_init(&l), 0);
    EXPECT_EQ(Nul::rwlock_destroy(&l), 0);
}

namespace {
std::atomic<int> once_runs{0};
std::atomic<bool> once_done{false};
void once_routine() {
    ++once_runs;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    once_done = true;
}
} // namespace

TEST(ThreadPrimitives, RunOnceWaitsForTheRoutine) {
    static Nul::thr_once_t once;
    std::atomic<int> finished_early{0};
    auto caller = [&] {
        EXPECT_EQ(Nul::run_once(&once, once_routine), 0);
        if (!once_done.load()) ++finished_early;
    };
    std::thread a(caller), b(caller);
    a.join();
    b.join();
    EXPECT_EQ(once_runs.load(), 1);
    EXPECT_EQ(finished_early.load(), 0);
    EXPECT_EQ(Nul::run_once(&once, once_routine), 0);
    EXPECT_EQ(once_runs.load(), 1);
}

namespace {
std::atomic<int> nested_created{0};
void destroy_and_make_key(void *) {
    // Key calls from inside a destructor must not hang the thread.
    thread_key_t k;
    if (thr_keycreate(&k, destroy_b) == 0) {
        ++nested_created;
        thr_keydelete(k);
    }
}
} // namespace

TEST(ThreadKeys, DestructorMayUseKeys) {
    thread_key_t key;
    ASSERT_EQ(thr_keycreate(&key, destroy_and_make_key), 0);
    int value = 1;
    KeyAndValue kv{key, &value};
    pthread_t id;
    ASSERT_EQ(Nul::start_thread(set_and_return, &kv, &id), 0);
    ASSERT_EQ(Nul::thread_join(id, nullptr), 0);
    EXPECT_EQ(nested_created.load(), 1);
    EXPECT_EQ(thr_keydelete(key), 0);
}

namespace {
std::atomic<int> detached_ran{0};
void *mark_detached(void *) {
    ++detached_ran;
    return nullptr;
}
} // namespace

TEST(ThreadPrimitives, StartWithoutIdDetaches) {
    ASSERT_EQ(Nul::start_thread(mark_detached, nullptr, nullptr), 0);
    for (int i = 0; i < 400 && detached_ran.load() == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(detached_ran.load(), 1);
}
