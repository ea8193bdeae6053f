#include "files/file_marshaller.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "files/descriptors.h"
#include "ks_rpcsvc.h"
#include "tesutil/fileutl.h"
#include "wire/errors.h"
#include "wire/exceptions.h"
#include "wire/trace.h"
#include "wire/xdr.h"

namespace KxRpc {

namespace {

// Content is read and written in slices of this many bytes whatever the chunk size; a multiple of
// 4, so that only a chunk's last slice carries XDR padding and the bytes equal one opaque.
constexpr std::size_t slice_bytes = 64u << 10;

wchar_t const *const marshall_name = L"FileMarshaller::marshall";

bool read_fully(int fd, char *into, std::size_t count) {
    while (count > 0) {
        ssize_t const n = ::read(fd, into, count);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        into += n;
        count -= static_cast<std::size_t>(n);
    }
    return true;
}

// One chunk's count, then its bytes as consecutive slices of one opaque. With a file (fd >= 0,
// read by fill from its offset on), the runtime may send the rest of the chunk from the file.
template <class Fill>
bool_t xdr_chunk(XDR *xdrs, std::size_t count, char *buffer, Fill const &fill, int fd = -1) {
    int wire_count = static_cast<int>(count);
    bool no_error = false;
    if (!xdr_flag(xdrs, no_error) || !xdr_int(xdrs, &wire_count)) return FALSE;
    for (std::size_t done = 0; done < count;) {
        std::size_t n = std::min(slice_bytes, count - done);
        if (done > 0 && buffer != nullptr) {
            n = count - done;
            std::size_t const padded = (n + 3) & ~std::size_t(3);
            // A large rest of a file's chunk goes from the file (each one the runtime sends is a
            // fragment of its own).
            bool const large = fd >= 0 && n >= slice_bytes;
            if (long const sent = large ? ks_svc_reply_from_fd(xdrs, fd, static_cast<u_int>(n)) : -1; sent >= 0) {
                char zeros[4] = {};
                if (static_cast<std::size_t>(sent) < n ||
                    (padded > n && !XDR_PUTBYTES(xdrs, zeros, static_cast<u_int>(padded - n))))
                    return FALSE;
                done += n;
                continue;
            }
            // Where the stream offers room of its own (the runtime's reply), the rest of the chunk
            // is read straight into it, padding and all.
            if (char *into = reinterpret_cast<char *>(XDR_INLINE(xdrs, static_cast<u_int>(padded)))) {
                if (fill(into, done, n) != into) return FALSE;
                std::memset(into + n, 0, padded - n);
                done += n;
                continue;
            }
            n = std::min(slice_bytes, n);
        }
        char const *bytes = fill(buffer, done, n);
        if (!bytes || !xdr_opaque(xdrs, const_cast<char *>(bytes), static_cast<u_int>(n))) return FALSE;
        done += n;
    }
    return TRUE;
}

} // namespace

Nul::UString FileMarshaller::file_path() {
    if (path_.empty()) path_ = Nul::Fileutl::create_tmp_file(0);
    return path_;
}

int FileMarshaller::open() { return ::open(file_path().utf8_str().c_str(), O_RDONLY | O_CLOEXEC); }

void FileMarshaller::remove_file() {
    if (!path_.empty()) Nul::Fileutl::delete_tmp_file(path_);
}

KXInternalErrorException chunk_size_error(int chunk_size) {
    return KXInternalErrorException(
        Nul::UString((L"The chunk size must be greater than 0, not " + std::to_wstring(chunk_size) + L".").c_str()),
        nullptr);
}

bool_t refuse_chunk_size(Nul::UString const &method, XDR *xdrs, int chunk_size) {
    return report_error_reply(method, xdrs, chunk_size_error(chunk_size));
}

bool_t FileMarshaller::marshall(XDR *xdrs, int chunk_size) {
    trace_lazy(2, [] { return Nul::UString(L"Info: FileMarshaller::marshall()"); });
    if (chunk_size <= 0) return refuse_chunk_size(Nul::UString(marshall_name), xdrs, chunk_size);
    int fd = -1;
    try {
        fd = open();
    } catch (Nul::STPException const &e) {
        return report_error_reply(Nul::UString(marshall_name), xdrs, e);
    }
    UniqueFd const file(fd);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        report_error_reply(Nul::UString(marshall_name), xdrs,
                           KXInternalErrorException(Nul::UString(L"Could not read attachment"), nullptr));
        return TRUE;
    }
    std::vector<char> buffer(std::min<std::size_t>(slice_bytes, static_cast<std::size_t>(chunk_size)));
    std::size_t remaining = static_cast<std::size_t>(st.st_size);
    std::size_t const chunk = static_cast<std::size_t>(chunk_size);
    for (;;) {
        std::size_t const count = std::min(chunk, remaining);
        // A read that fails before the chunk's count goes out is answered as the error arm; one
        // inside a chunk cannot be, and ends the reply.
        if (count > 0 && !read_fully(fd, buffer.data(), std::min(buffer.size(), count))) {
            KxRpcException const e(Reason::read_failed);
            return report_error_reply(Nul::UString(marshall_name), xdrs, e);
        }
        bool first = true;
        bool_t const sent = xdr_chunk(
            xdrs, count, buffer.data(),
            [&](char *into, std::size_t, std::size_t n) -> char const * {
                if (first) {
                    first = false;
                    return into;
                }
                return read_fully(fd, into, n) ? into : nullptr;
            },
            fd);
        if (!sent) return FALSE;
        if (count < chunk) return TRUE;
        remaining -= count;
    }
}

bool_t xdr_chunks(XDR *xdrs, char const *bytes, std::size_t length, int chunk_size) {
    if (chunk_size <= 0) return FALSE;
    std::size_t const chunk = static_cast<std::size_t>(chunk_size);
    for (std::size_t at = 0;;) {
        std::size_t const count = std::min(chunk, length - at);
        bool_t const sent =
            xdr_chunk(xdrs, count, nullptr, [&](char *, std::size_t done, std::size_t) { return bytes + at + done; });
        if (!sent) return FALSE;
        if (count < chunk) return TRUE;
        at += count;
    }
}

} // namespace KxRpc
