#include "change/attachment_requests.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <vector>

#include "files/descriptors.h"
#include "ks_rpcsvc.h"
#include "target/login_session.h"
#include "tesutil/fileutl.h"
#include "wire/catalog.h"
#include "wire/conversions.h"
#include "wire/product_failure.h"
#include "wire/spool_charge.h"
#include "wire/textfmt.h"
#include "wire/trace.h"
#include "wire/xdr.h"

namespace KxRpc {

namespace {
// Chunks are read and written in slices of this many bytes, whatever chunk size the client
// announces; a multiple of 4, so slices need no padding between them.
constexpr u_int slice_bytes = 64u << 10;

KxRpcException invalid_name() { return KxRpcException(Reason::illegal_value, kx_message(MSG_INVALID_ATTACHMENT_NAME)); }

KxRpcException cannot_store(char const *why) {
    return KxRpcException(Reason::internal_error, kx_message(MSG_CANNOT_MAKE_ATTACHMENT, Nul::UMessage::Arg(why)));
}

// The name becomes the last component of a path inside a private directory: anything that
// would name another place, or no file, is refused.
bool usable_file_name(Nul::UString const &name) {
    std::wstring const text = name.c_str();
    if (text.empty() || text == L"." || text == L"..") return false;
    return text.find_first_of(L"/\\") == std::wstring::npos && name.find(L'\0') == Nul::UString::npos;
}

} // namespace

AttachmentUploadArgs::AttachmentUploadArgs() = default;

AttachmentUploadArgs::~AttachmentUploadArgs() {
    if (failed_ && !filename_.empty()) remove_upload_file(filename_);
}

void AttachmentUploadArgs::fail(Nul::STPException const &error) {
    failed_ = true;
    if (!error_) error_.reset(error.clone());
}

Nul::UString AttachmentUploadArgs::upload_line() {
    return text_format("%s :: %s :: name:%s :: comment:%s :: size:%d :: filename:%s", trace_line(),
                       target_op_.trace_line(), name_, comment_, size_, filename_);
}

MakeAttachmentArgs::~MakeAttachmentArgs() = default;

int MakeAttachmentArgs::open_content() {
    if (!usable_file_name(name_)) {
        fail(invalid_name());
        return -1;
    }
    try {
        filename_ = Nul::Fileutl::create_tmp_file(name_, 0);
    } catch (Nul::STPException const &e) {
        fail(e);
        return -1;
    }
    // Private to the server, like the directory it lies in.
    int const fd = ::open(filename_.utf8_str().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) fail(invalid_name());
    return fd;
}

// Unbuffered, so that `size_` counts what is on disk.
void MakeAttachmentArgs::store(int fd, char const *bytes, u_int count) {
    if (fd < 0 || failed_) return;
    if (size_ > INT_MAX - static_cast<int>(count)) {
        fail(cannot_store("the content is larger than 2147483647 bytes"));
        return;
    }
    while (count > 0) {
        ssize_t const n = ::write(fd, bytes, count);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            fail(cannot_store(n < 0 ? std::strerror(errno) : "nothing written"));
            return;
        }
        size_ += static_cast<int>(n);
        bytes += n;
        count -= static_cast<u_int>(n);
    }
}

// The runtime cut a request that passed its bound, or that it could not hold: the content cannot
// be whole, and the client is told so in the reply.
bool_t MakeAttachmentArgs::content_cut(XDR *xdrs) {
    int const why = ks_svc_args_cut(xdrs);
    if (why == 0) return FALSE;
    // Refused on its way to disk (a bound of the ledger, or no known session): its own refusal.
    if (std::exception_ptr const refusal = spool_refusal(xdrs)) {
        try {
            std::rethrow_exception(refusal);
        } catch (Nul::STPException const &e) {
            fail(e);
            return TRUE;
        } catch (...) {
            // Not a refusal of the server's own: answered below as the cut record it is.
        }
    }
    fail(cannot_store(why == EFBIG ? "the request is larger than the server takes (KS_MAX_RECORD_SIZE)"
                                   : std::strerror(why)));
    return TRUE;
}

bool_t MakeAttachmentArgs::receive_chunks(XDR *xdrs, int chunk_size, int fd) {
    std::vector<char> buffer(chunk_size > 0 ? std::min<u_int>(static_cast<u_int>(chunk_size), slice_bytes) : 0);
    for (;;) {
        int length = 0;
        if (!xdr_int(xdrs, &length)) break;
        if (length == 0) return TRUE;
        // A chunk never holds more than the announced chunk size.
        if (length < 0 || length > chunk_size) break;
        if (fd >= 0 && !failed_) {
            try {
                // A chunk of a record waiting on disk moves from there: its bytes are charged once.
                take_spool_charge(xdrs, charge_, static_cast<std::uint64_t>(length));
            } catch (Nul::STPException const &e) {
                fail(e);
            }
            if (!failed_ && injected_write_failure()) fail(cannot_store(std::strerror(errno)));
        }
        // A large request waits in a file: its chunks go from there to the content file.
        if (fd >= 0 && !failed_ && size_ <= INT_MAX - length) {
            long const written = ks_svc_args_to_fd(xdrs, fd, static_cast<u_int>(length));
            if (written >= 0) {
                int const why = errno;
                size_ += static_cast<int>(written);
                if (written < length)
                    fail(cannot_store(written == 0 && why == 0 ? "nothing written" : std::strerror(why)));
                continue;
            }
        }
        u_int remaining = static_cast<u_int>(length);
        while (remaining > 0) {
            u_int const n = std::min<u_int>(remaining, static_cast<u_int>(buffer.size()));
            // The last slice of a chunk carries the chunk's padding. Bytes the stream holds at
            // hand are written from there, without a copy.
            if (char const *at = reinterpret_cast<char const *>(XDR_INLINE(xdrs, (n + 3) & ~3u))) {
                remaining -= n;
                store(fd, at, n);
                continue;
            }
            if (!xdr_opaque(xdrs, buffer.data(), n)) {
                failed_ = true;
                return content_cut(xdrs);
            }
            remaining -= n;
            store(fd, buffer.data(), n);
        }
    }
    failed_ = true;
    return content_cut(xdrs);
}

bool_t MakeAttachmentArgs::decode(XDR *xdrs) {
    int chunk_size = 0;
    if (!xdr_session_header(xdrs) || !xdr_target(xdrs, target_op_) || !xdr_ustring(xdrs, name_) ||
        !xdr_ustring(xdrs, comment_, max_wire_text) || !xdr_int(xdrs, &chunk_size))
        return FALSE;
    charge_ = Charge(Holding::disk, session() ? session()->oid() : Nul::Oid(), 0);
    int const fd = open_content();
    bool_t const decoded = receive_chunks(xdrs, chunk_size, fd);
    if (fd >= 0 && ::close(fd) != 0 && !failed_) fail(cannot_store(std::strerror(errno)));
    return decoded;
}

MakeAttachmentDirectArgs::~MakeAttachmentDirectArgs() = default;

bool_t MakeAttachmentDirectArgs::decode(XDR *xdrs) {
    int size = 0;
    if (!xdr_session_header(xdrs) || !xdr_target(xdrs, target_op_) || !xdr_ustring(xdrs, name_) ||
        !xdr_ustring(xdrs, comment_, max_wire_text) || !xdr_ustring(xdrs, filename_) || !xdr_int(xdrs, &size))
        return FALSE;
    size_ += size;
    return TRUE;
}

MakeAttachmentResp::MakeAttachmentResp(std::shared_ptr<AttachmentStateItem> item) : item_(std::move(item)) {
    // The record's names come from the product: read while a failure is still the call's error,
    // not once the reply's leading FALSE is written.
    product_call(
        [&] {
            Attachment const *attachment = item_ ? item_->attachment() : nullptr;
            AdEntityPtr const record = attachment ? attachment->folder().entity() : AdEntityPtr();
            AdEntityDef *type = record ? record->GetEntityDef() : nullptr;
            if (type) type_name_ = ustr(type->GetName());
            if (record) record_name_ = ustr(record->GetDisplayName());
        },
        unexpected_in(L"MakeAttachmentResp"));
}
MakeAttachmentResp::~MakeAttachmentResp() = default;

bool_t MakeAttachmentResp::xdr(XDR *xdrs) {
    if (xdrs->x_op != XDR_ENCODE) return FALSE;
    try {
        Attachment const *attachment = item_ ? item_->attachment() : nullptr;
        if (!attachment) return FALSE;
        Nul::UString field_name = attachment->folder().field_name();
        Nul::UString file_name = attachment->file_name();
        StateItemPtr handle = item_;
        return xdr_state_handle(xdrs, handle) && xdr_ustring(xdrs, type_name_) && xdr_ustring(xdrs, record_name_) &&
               xdr_ustring(xdrs, field_name) && xdr_ustring(xdrs, file_name);
    } catch (...) {
        return hold_failure(xdrs, L"MakeAttachmentResp::xdr");
    }
}

ResolveAttachmentArgs::~ResolveAttachmentArgs() = default;

GetArgs::~GetArgs() = default;

bool_t GetArgs::decode(XDR *xdrs) {
    return xdr_session_header(xdrs) && xdr_target(xdrs, target_op_) && xdr_int(xdrs, &chunk_size_);
}

} // namespace KxRpc
