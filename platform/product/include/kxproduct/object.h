// Reference-counted product objects and the counted pointer the server holds them by.
#pragma once
#include <atomic>
#include <cstdint>
#include <typeinfo>
#include <vector>

#include "kxproduct/diag.h"

namespace kxp {
// Readable name of a type ("KXSession*"), kept for the life of the process.
const char *type_name(const std::type_info &type);
} // namespace kxp

class KXObject {
public:
    KXObject();
    KXObject(const KXObject &) = delete;
    KXObject &operator=(const KXObject &) = delete;
    virtual ~KXObject();
    virtual long GetRefCount() const;
    virtual long AddRef();
    // Deletes the object when the last reference goes.
    virtual long Release();

    // Product objects alive in the process, for leak checks.
    static long LiveCount();

private:
    std::atomic<long> refs_{0};
};

template <class T>
class KXSmartPtr {
public:
    KXSmartPtr() = default;
    KXSmartPtr(T *p) : p_(p) { add(); } // NOLINT: implicit: callers hand a new object where a smart pointer is taken
    KXSmartPtr(const KXSmartPtr &other) : p_(other.p_) { add(); }
    template <class U>
    KXSmartPtr(const KXSmartPtr<U> &other) : p_(other.get()) {
        add();
    } // NOLINT
    ~KXSmartPtr() { release(); }

    KXSmartPtr &operator=(const KXSmartPtr &other) {
        assign(other.p_);
        return *this;
    }
    T *operator=(T *p) { return assign(p); }

    T *operator->() const { return p_; }
    T &operator*() const { return *p_; }
    T *get() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    bool operator!() const { return p_ == nullptr; }
    bool operator==(const KXSmartPtr &o) const { return p_ == o.p_; }
    bool operator!=(const KXSmartPtr &o) const { return p_ != o.p_; }
    bool operator==(std::nullptr_t) const { return p_ == nullptr; }
    bool operator!=(std::nullptr_t) const { return p_ != nullptr; }

private:
    static void report(T *p, const wchar_t *sign, long count) {
        if (AdDiagnostic::m_DiagnosticFlags[36] == 0) return;
        AdDiagnostic::TestAndReportV(36, static_cast<int>(count), 0, L"Refs", L"%S@0x%08x %s%ld",
                                     kxp::type_name(typeid(T *)), static_cast<unsigned>(reinterpret_cast<uintptr_t>(p)),
                                     sign, count);
    }
    void add() {
        if (!p_) return;
        report(p_, L"+", p_->GetRefCount() + 1);
        p_->AddRef();
    }
    void release() {
        if (!p_) return;
        report(p_, L"-", p_->GetRefCount());
        T *p = p_;
        p_ = nullptr;
        p->Release();
    }
    T *assign(T *p) {
        if (p == p_) return p_;
        T *old = p_;
        p_ = p;
        add();
        if (old) old->Release();
        return p_;
    }

    T *p_ = nullptr;
};

// A read-only sequence of product objects that stay valid while the iterator's owner lives.
template <class T>
class AdIterator {
public:
    AdIterator() = default;
    explicit AdIterator(std::vector<T *> items) : items_(std::move(items)) {}
    int GetLength() const { return static_cast<int>(items_.size()); }
    T *GetItem(int index) const {
        return index >= 0 && index < GetLength() ? items_[static_cast<size_t>(index)] : nullptr;
    }

private:
    std::vector<T *> items_;
};
