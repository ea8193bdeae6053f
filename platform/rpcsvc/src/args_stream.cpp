#include "args_stream.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <arpa/inet.h>
#include <fcntl.h>
#include <unistd.h>

namespace ksrpc {

namespace {

bool read_at(int fd, char *to, std::size_t n, std::uint64_t off) {
    while (n > 0) {
        ssize_t r = pread(fd, to, n, off_t(off));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        to += r;
        n -= std::size_t(r);
        off += std::uint64_t(r);
    }
    return true;
}

} // namespace

ArgsStream::ArgsStream(const char *data, std::size_t len, int cut, void *owner)
    : base_(data), p_(data), e_(data + len), off_(len), len_(len), cut_(cut), owner_(owner) {
    xdr_.x_op = XDR_DECODE;
    xdr_.x_ops = ops();
    xdr_.x_private = reinterpret_cast<char *>(this);
}

ArgsStream::ArgsStream(int fd, std::uint64_t len, int cut, void *owner)
    : len_(len), fd_(fd), window_(new char[kWindow]), cut_(cut), owner_(owner) {
    p_ = e_ = window_.get();
    xdr_.x_op = XDR_DECODE;
    xdr_.x_ops = ops();
    xdr_.x_private = reinterpret_cast<char *>(this);
}

// Makes at least need bytes contiguous at p_. False when the record has fewer left.
bool ArgsStream::fill(std::size_t need) {
    if (std::size_t(e_ - p_) >= need) return true;
    if (fd_ < 0 || need > kWindow || len_ - pos() < need) return false;
    char *w = window_.get();
    std::size_t have = std::size_t(e_ - p_);
    std::memmove(w, p_, have);
    // A small need reads a little ahead only: what follows may be an opaque that goes from file
    // to file (to_fd), which a full window would have read for nothing.
    std::size_t ahead = std::min(kWindow, std::max(need, kFillAhead));
    std::size_t more = std::size_t(std::min<std::uint64_t>(ahead - have, len_ - off_));
    if (!read_at(fd_, w + have, more, off_)) return false;
    off_ += more;
    p_ = w;
    e_ = w + have + more;
    return true;
}

bool_t ArgsStream::get_long(XDR *x, long *lp) {
    std::uint32_t w;
    if (!get_bytes(x, reinterpret_cast<char *>(&w), 4)) return FALSE;
    *lp = long(ntohl(w)); // as libtirpc's own streams give it
    return TRUE;
}

bool_t ArgsStream::get_bytes(XDR *x, char *to, u_int len) {
    ArgsStream *s = self(x);
    std::size_t at_hand = std::min<std::size_t>(len, std::size_t(s->e_ - s->p_));
    std::memcpy(to, s->p_, at_hand);
    s->p_ += at_hand;
    to += at_hand;
    len -= u_int(at_hand);
    if (len == 0) return TRUE;
    if (s->fd_ < 0 || s->len_ - s->off_ < len) return FALSE;
    if (len >= kWindow / 2) { // long data goes straight to its place
        if (!read_at(s->fd_, to, len, s->off_)) return FALSE;
        s->off_ += len;
        return TRUE;
    }
    if (!s->fill(len)) return FALSE;
    std::memcpy(to, s->p_, len);
    s->p_ += len;
    return TRUE;
}

u_int ArgsStream::get_pos(XDR *x) { return u_int(self(x)->pos()); }

bool_t ArgsStream::set_pos(XDR *x, u_int pos) {
    ArgsStream *s = self(x);
    if (pos > s->len_) return FALSE;
    if (s->fd_ < 0) {
        s->p_ = s->base_ + pos;
    } else {
        s->p_ = s->e_ = s->window_.get();
        s->off_ = pos;
    }
    return TRUE;
}

int32_t *ArgsStream::inline_at(XDR *x, u_int len) {
    ArgsStream *s = self(x);
    if (!s->fill(len)) return nullptr;
    auto *at = reinterpret_cast<int32_t *>(const_cast<char *>(s->p_));
    s->p_ += len;
    return at;
}

bool_t ArgsStream::control(XDR *x, int request, void *info) {
    if (info == nullptr) return FALSE;
    if (request == kArgsCutRequest) {
        *static_cast<int *>(info) = self(x)->cut_;
        return TRUE;
    }
    if (request == kArgsToFdRequest) return self(x)->to_fd(*static_cast<ArgsToFd *>(info)) ? TRUE : FALSE;
    if (request == kArgsOwnerRequest) {
        *static_cast<void **>(info) = self(x)->owner_;
        return TRUE;
    }
    return FALSE;
}

// The bytes go from file to file in the kernel, those at hand in the window too: the file holds
// them as well, and one copy in the kernel costs less than a write from the window.
bool ArgsStream::to_fd(ArgsToFd &a) {
    const std::uint64_t at = pos();
    const std::uint64_t end = at + a.len + (4 - a.len % 4) % 4;
    if (fd_ < 0 || end > len_) return false;
    a.written = 0;
    a.error = 0;
    loff_t src = loff_t(at);
    bool in_kernel = true;
    while (a.error == 0 && a.written < a.len) {
        std::size_t want = a.len - a.written;
        ssize_t w = -1;
        if (in_kernel) {
            w = copy_file_range(fd_, &src, a.fd, nullptr, want, 0);
            if (w < 0 && (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP)) {
                in_kernel = false; // across file systems, or where the kernel cannot
                continue;
            }
        } else {
            char *w_buf = window_.get();
            std::size_t k = std::min(want, kWindow);
            if (!read_at(fd_, w_buf, k, std::uint64_t(src))) {
                a.error = EIO;
                break;
            }
            w = write(a.fd, w_buf, k);
            if (w > 0) src += w;
        }
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            a.error = w < 0 ? errno : ENOSPC;
            break;
        }
        a.written += u_int(w);
    }
    // Copied bytes leave the record's file: its owner's charge moves with them to their new file.
    if (a.written == a.len && a.len > 0)
        (void)fallocate(fd_, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, off_t(at), off_t(a.len));
    // The opaque and its padding are taken, however much was written.
    p_ = e_ = window_.get();
    off_ = end;
    return true;
}

namespace {

bool_t no_put_long(XDR *, const long *) { return FALSE; }

bool_t no_put_bytes(XDR *, const char *, u_int) { return FALSE; }

} // namespace

const XDR::xdr_ops *ArgsStream::ops() {
    static const XDR::xdr_ops table = {get_long, no_put_long, get_bytes, no_put_bytes, get_pos,
                                       set_pos,  inline_at,   destroy,   control};
    return &table;
}

} // namespace ksrpc
