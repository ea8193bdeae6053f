// What one call's decoded arguments may hold in memory. Every decoder that keeps a list item or a
// string charges the call's budget before it allocates; past the bound the arguments are refused
// with an error reply that names it. A call whose session is unknown keeps none of its lists: they
// are read and dropped, so such a call costs no more than its record.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

namespace KxRpc {

struct CallState;

// KX_DECODE_BYTES: bytes one call's decoded arguments may hold (default 32 MiB), read once.
constexpr std::size_t default_decode_bytes = 32u << 20;
std::size_t decode_bytes_limit();

// The current call's budget, from construction to destruction. Without one, decoding is not
// charged (and keeps everything).
class DecodeBudget {
public:
    explicit DecodeBudget(std::size_t limit);
    ~DecodeBudget();
    DecodeBudget(DecodeBudget const &) = delete;
    DecodeBudget &operator=(DecodeBudget const &) = delete;

    std::size_t limit() const { return limit_; }
    std::size_t charged() const { return charged_; }
    // Whether the limit was passed.
    bool exceeded() const { return exceeded_; }
    // Whether more than `bytes` was charged: memory worth giving back after the call.
    bool charged_over(std::size_t bytes) const { return charged_ > bytes; }

private:
    friend bool charge_decoded(std::size_t bytes) noexcept;
    friend void drop_decoded_lists() noexcept;
    friend bool keep_decoded_lists() noexcept;

    std::size_t limit_;
    std::size_t charged_ = 0;
    bool exceeded_ = false;
    bool keep_ = true;
    CallState &call_;
    DecodeBudget *outer_;
};

// Charges `bytes` that a decoded argument is about to hold. False once the call's total would pass
// the limit: the refusal (reason 40, naming KX_DECODE_BYTES) is then held for the dispatcher, and
// the decoder fails without allocating. Nothing is charged while lists are dropped.
bool charge_decoded(std::size_t bytes) noexcept;
// The session header named no session: the lists after it are read and not kept.
void drop_decoded_lists() noexcept;
bool keep_decoded_lists() noexcept;

// The charge of one decoded element stored in a vector, whose room may double as it grows.
template <class T>
constexpr std::size_t slot_cost() {
    return 2 * sizeof(T);
}
// The charge of one heap object of `size` bytes: the allocator's header and rounding included.
constexpr std::size_t heap_cost(std::size_t size) { return size + 2 * sizeof(void *); }
// The charge of a decoded string of `utf8_length` bytes: at most one UTF-16 unit per byte.
constexpr std::size_t string_cost(std::size_t utf8_length) { return 2 * utf8_length; }

// Keeps one decoded element, its slot charged first; while lists are dropped it is dropped. False
// past the budget, with nothing kept.
template <class T>
bool keep_decoded(std::vector<T> &values, T &&value) {
    if (!keep_decoded_lists()) return true;
    if (!charge_decoded(slot_cost<T>())) return false;
    values.push_back(std::move(value));
    return true;
}

} // namespace KxRpc
