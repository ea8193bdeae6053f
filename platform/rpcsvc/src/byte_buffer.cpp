#include "byte_buffer.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include <sys/mman.h>

namespace ksrpc {

void ByteBuffer::reserve(std::size_t cap)
{
    if (cap < kMapped) {
        void* p = std::realloc(p_, cap);
        if (p == nullptr)
            throw std::bad_alloc();
        p_ = static_cast<char*>(p);
        cap_ = cap;
        return;
    }
    cap = (cap + 4095) & ~std::size_t(4095);
    void* p;
    if (cap_ >= kMapped) {
        p = mremap(p_, cap_, cap, MREMAP_MAYMOVE);  // the pages move, the bytes are not copied
    } else {
        p = mmap(nullptr, cap, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p != MAP_FAILED && size_ > 0)
            std::memcpy(p, p_, size_);
        if (p != MAP_FAILED)
            std::free(p_);
    }
    if (p == MAP_FAILED)
        throw std::bad_alloc();
    p_ = static_cast<char*>(p);
    cap_ = cap;
}

char* ByteBuffer::extend(std::size_t n)
{
    if (cap_ - size_ < n)
        reserve(std::max(size_ + n, std::max<std::size_t>(cap_ * 2, 256)));
    return p_ + size_;
}

void ByteBuffer::append(const char* p, std::size_t n)
{
    std::memcpy(extend(n), p, n);
    size_ += n;
}

void ByteBuffer::consume(std::size_t n)
{
    n = std::min(n, size_);
    std::memmove(p_, p_ + n, size_ - n);
    size_ -= n;
}

void ByteBuffer::release()
{
    if (cap_ >= kMapped)
        munmap(p_, cap_);
    else
        std::free(p_);
    p_ = nullptr;
    size_ = cap_ = 0;
}

}  // namespace ksrpc
