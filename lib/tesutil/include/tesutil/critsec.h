// Nul::CriticalSectionLock (a recursive process-local lock) and its scoped guard.
#pragma once

#include <mutex>

namespace Nul {

class CriticalSectionLock {
public:
    CriticalSectionLock() = default;
    CriticalSectionLock(CriticalSectionLock const &) = delete;
    CriticalSectionLock &operator=(CriticalSectionLock const &) = delete;
    ~CriticalSectionLock() = default;
    void lock() const { mutex_.lock(); }
    void unlock() const { mutex_.unlock(); }

private:
    mutable std::recursive_mutex mutex_;
};

class CriticalSection {
public:
    explicit CriticalSection(CriticalSectionLock const &lock) : lock_(&lock) { lock_->lock(); }
    CriticalSection(CriticalSection const &) = delete;
    CriticalSection &operator=(CriticalSection const &) = delete;
    ~CriticalSection() { lock_->unlock(); }

private:
    CriticalSectionLock const *lock_;
};

} // namespace Nul
