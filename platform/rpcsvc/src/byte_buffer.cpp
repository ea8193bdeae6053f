#include "byte_buffer.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include <sys/mman.h>

namespace ksrpc {

namespace {
constexpr std::size_t kPage = 4096;
}

// Room for cap bytes from data().
void ByteBuffer::reserve(std::size_t cap) {
    if (!mapped_ && off_ > 0) { // the heap's front is reused before it grows
        std::memmove(base_, base_ + off_, size_);
        off_ = 0;
    }
    if (!mapped_ && cap < kMapped) {
        void *p = std::realloc(base_, cap);
        if (p == nullptr) throw std::bad_alloc();
        base_ = static_cast<char *>(p);
        cap_ = cap;
        return;
    }
    std::size_t total = (off_ + cap + kPage - 1) & ~(kPage - 1);
    void *p;
    if (mapped_) {
        p = mremap(base_, cap_, total, MREMAP_MAYMOVE); // the pages move, the bytes are not copied
    } else {
        p = mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p != MAP_FAILED && size_ > 0) std::memcpy(p, base_, size_);
        if (p != MAP_FAILED) std::free(base_);
    }
    if (p == MAP_FAILED) throw std::bad_alloc();
    base_ = static_cast<char *>(p);
    cap_ = total;
    mapped_ = true;
}

char *ByteBuffer::extend(std::size_t n) {
    // Dropped bytes leave room at the front: once they outnumber the bytes held, moving those is
    // cheaper than new pages.
    if (cap_ - off_ - size_ < n && off_ >= size_ && off_ > 0) {
        std::memmove(base_, base_ + off_, size_);
        off_ = 0;
    }
    if (cap_ - off_ - size_ < n) reserve(std::max(size_ + n, std::max<std::size_t>((cap_ - off_) * 2, 256)));
    return data() + size_;
}

void ByteBuffer::consume(std::size_t n) {
    n = std::min(n, size_);
    off_ += n;
    size_ -= n;
    if (size_ == 0) off_ = 0;
}

void ByteBuffer::release() {
    if (mapped_)
        munmap(base_, cap_);
    else
        std::free(base_);
    base_ = nullptr;
    off_ = size_ = cap_ = 0;
    mapped_ = false;
}

} // namespace ksrpc
