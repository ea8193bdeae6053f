#include "files/session_disk.h"

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <utility>

#include "wire/catalog.h"
#include "wire/environment.h"
#include "wire/exceptions.h"

namespace KxRpc {

namespace {

struct Held {
    std::mutex lock;
    std::map<Nul::Oid, std::uint64_t> bytes;
};

Held &held() {
    static Held h;
    return h;
}

std::atomic<std::uint64_t> bound{0};

[[noreturn]] void refuse(std::uint64_t limit) {
    raise_reason(Reason::internal_error,
                 kx_message(MSG_SESSION_DISK_FULL, Nul::UMessage::Arg(Nul::UString(std::to_wstring(limit).c_str()))));
}

// Adds `bytes` to the owner's count unless that passes the bound.
void charge(Nul::Oid const &owner, std::uint64_t bytes) {
    if (owner.is_nil() || bytes == 0) return;
    std::uint64_t const limit = session_disk_bytes();
    Held &h = held();
    std::lock_guard<std::mutex> guard(h.lock);
    std::uint64_t &count = h.bytes[owner];
    if (bytes > limit || count > limit - bytes) {
        if (count == 0) h.bytes.erase(owner);
        refuse(limit);
    }
    count += bytes;
}

} // namespace

std::uint64_t session_disk_bytes() {
    std::uint64_t const set = bound.load(std::memory_order_relaxed);
    if (set != 0) return set;
    static std::uint64_t const from_environment = static_cast<std::uint64_t>(
        positive_from_environment(session_disk_bytes_variable, static_cast<long>(default_session_disk_bytes)));
    return from_environment;
}

void set_session_disk_bytes(std::uint64_t bytes) { bound.store(bytes, std::memory_order_relaxed); }

DiskCharge::DiskCharge(Nul::Oid const &owner, std::uint64_t bytes) : owner_(owner) {
    charge(owner, bytes);
    bytes_ = owner.is_nil() ? 0 : bytes;
}

DiskCharge::DiskCharge(DiskCharge &&other) noexcept : owner_(other.owner_), bytes_(std::exchange(other.bytes_, 0)) {}

DiskCharge &DiskCharge::operator=(DiskCharge &&other) noexcept {
    if (this != &other) {
        release();
        owner_ = other.owner_;
        bytes_ = std::exchange(other.bytes_, 0);
    }
    return *this;
}

void DiskCharge::grow(std::uint64_t bytes) {
    charge(owner_, bytes);
    if (!owner_.is_nil()) bytes_ += bytes;
}

void DiskCharge::release() noexcept {
    if (bytes_ == 0) return;
    Held &h = held();
    std::lock_guard<std::mutex> guard(h.lock);
    auto const found = h.bytes.find(owner_);
    if (found != h.bytes.end()) {
        found->second -= std::min(found->second, bytes_);
        if (found->second == 0) h.bytes.erase(found);
    }
    bytes_ = 0;
}

std::uint64_t session_disk_held(Nul::Oid const &owner) {
    Held &h = held();
    std::lock_guard<std::mutex> guard(h.lock);
    auto const found = h.bytes.find(owner);
    return found == h.bytes.end() ? 0 : found->second;
}

} // namespace KxRpc
