// An XDR decoding stream over a finished call record, in memory or in its spool file. A large
// record is read through a window of the file, and long opaque data straight into its place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include <rpc/xdr.h>

namespace ksrpc {

// The XDR_CONTROL request that asks a stream why its record ends early (int*, 0 when whole).
constexpr int kArgsCutRequest = 0x4b530001;
// The XDR_CONTROL request that writes the next opaque of a record in a file to another file.
constexpr int kArgsToFdRequest = 0x4b530002;
// The XDR_CONTROL request that asks for the owner that admitted the record to disk (void **).
constexpr int kArgsOwnerRequest = 0x4b530004;
struct ArgsToFd {
    int fd;        // in: where the bytes go, at its offset
    u_int len;     // in: the opaque's length (its padding is taken too)
    u_int written; // out: bytes written
    int error;     // out: why fewer than len were written
};

class ArgsStream {
public:
    ArgsStream(const char *data, std::size_t len, int cut, void *owner = nullptr);
    ArgsStream(int fd, std::uint64_t len, int cut, void *owner = nullptr);
    ArgsStream(const ArgsStream &) = delete;
    ArgsStream &operator=(const ArgsStream &) = delete;

    XDR *xdr() { return &xdr_; }

    static constexpr std::size_t kWindow = 256 * 1024;
    static constexpr std::size_t kFillAhead = 16 * 1024; // the least a read of the window takes

private:
    static const XDR::xdr_ops *ops();
    static ArgsStream *self(XDR *x) { return static_cast<ArgsStream *>(static_cast<void *>(x->x_private)); }
    static bool_t get_long(XDR *x, long *lp);
    static bool_t get_bytes(XDR *x, char *to, u_int len);
    static u_int get_pos(XDR *x);
    static bool_t set_pos(XDR *x, u_int pos);
    static int32_t *inline_at(XDR *x, u_int len);
    static bool_t control(XDR *x, int request, void *info);
    static void destroy(XDR *) {}

    bool fill(std::size_t need);
    bool to_fd(ArgsToFd &a);
    std::uint64_t pos() const { return off_ - std::uint64_t(e_ - p_); }

    XDR xdr_{};
    const char *base_ = nullptr; // a record in memory
    const char *p_ = nullptr;    // [p_, e_): bytes at hand
    const char *e_ = nullptr;
    std::uint64_t off_ = 0; // record offset of e_
    std::uint64_t len_ = 0;
    int fd_ = -1;
    std::unique_ptr<char[]> window_;
    int cut_ = 0;
    void *owner_ = nullptr;
};

} // namespace ksrpc
