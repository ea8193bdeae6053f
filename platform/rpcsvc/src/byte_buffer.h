// Bytes that grow at their end and are dropped from their front: the room of dropped bytes is
// reused once they outnumber the bytes held. Small buffers live on the heap; large ones in
// mappings of their own that grow by remapping (the bytes are not copied) and go back to the
// system when released, so a large reply leaves no heap behind it.
#pragma once

#include <cstddef>
#include <cstring>

namespace ksrpc {

class ByteBuffer {
public:
    ByteBuffer() = default;
    ~ByteBuffer() { release(); }
    ByteBuffer(const ByteBuffer &) = delete;
    ByteBuffer &operator=(const ByteBuffer &) = delete;

    char *data() { return base_ + off_; }
    const char *data() const { return base_ + off_; }
    std::size_t size() const { return size_; }
    std::size_t capacity() const { return cap_; }
    bool mapped() const { return mapped_; }
    // Bytes that fit at the end without growing.
    std::size_t room() const { return cap_ - off_ - size_; }

    // Room for n more bytes at the end; grows geometrically. Throws std::bad_alloc.
    char *extend(std::size_t n);
    // Inline: replies are written a word at a time, and most words fit the room in hand.
    void append(const char *p, std::size_t n) {
        char *at = room() >= n ? base_ + off_ + size_ : extend(n);
        std::memcpy(at, p, n);
        size_ += n;
    }
    void grow_by(std::size_t n) { size_ += n; } // after writing into extend(n)
    void resize_down(std::size_t n) { size_ = n < size_ ? n : size_; }
    // Drops the first n bytes (no bytes move).
    void consume(std::size_t n);
    void release();

    static constexpr std::size_t kMapped = 1024 * 1024; // from here on, a mapping of its own

private:
    void reserve(std::size_t cap);
    char *base_ = nullptr;
    std::size_t off_ = 0; // data() - base_
    std::size_t size_ = 0;
    std::size_t cap_ = 0; // from base_
    bool mapped_ = false;
};

} // namespace ksrpc
