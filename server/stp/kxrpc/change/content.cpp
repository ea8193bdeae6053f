#include "change/content.h"

#include <sys/stat.h>

#include <climits>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

#include "kxproduct/store.h"
#include "kxwin/registry.h"
#include "tesutil/fileutl.h"
#include "wire/casts.h"
#include "wire/catalog.h"
#include "wire/errors.h"
#include "wire/exceptions.h"
#include "wire/file_marshaller.h"
#include "wire/product_failure.h"
#include "wire/textfmt.h"
#include "wire/trace.h"
#include "wire/xdr.h"

namespace KxRpc {

namespace {

constexpr int TT_RECORD = 32;
constexpr int TT_REPORT_FORMAT = 39;
constexpr int TT_ATTACHMENT = 44;
constexpr int MSG_CANNOT_MAKE_ATTACHMENT = 68;
constexpr Nul::STPException::stp_reason_code_t REASON_BAD_TARGET_TYPE =
    static_cast<Nul::STPException::stp_reason_code_t>(31);
constexpr Nul::STPException::stp_reason_code_t REASON_INVALID_NAME =
    static_cast<Nul::STPException::stp_reason_code_t>(4);

[[noreturn]] void refuse_upload(char const *why) {
    Nul::STPException::raise(REASON_INVALID_NAME, kx_message(MSG_CANNOT_MAKE_ATTACHMENT, Nul::UMessage::Arg(why)),
                             nullptr, nullptr, Nul::STPException::LOG_INFO);
}

// The canonical form of an existing directory, or empty.
std::string real_dir(std::string const &path) {
    if (path.empty()) return std::string();
    char resolved[PATH_MAX];
    return ::realpath(path.c_str(), resolved) ? std::string(resolved) : std::string();
}

bool inside(std::string const &path, std::string const &dir) {
    if (dir.empty()) return false;
    if (dir == "/") return true;
    return path.size() > dir.size() && path.compare(0, dir.size(), dir) == 0 && path[dir.size()] == '/';
}

std::string registry_root() {
    std::string root(kxwin_registry_get_root(nullptr, 0) + 1, '\0');
    root.resize(kxwin_registry_get_root(root.data(), root.size()));
    return root;
}

// Stored attachments are read into a file of this download's own copy, so that two downloads
// through one handle never share (or delete) each other's file.
std::unique_ptr<Attachment> loaded_copy(GetArgs *args) {
    auto copy = std::make_unique<Attachment>(*args->attachment());
    try {
        copy->load();
    } catch (...) {
        ignoring_failures([&] { copy->remove_file(); });
        throw;
    }
    return copy;
}

bool_t not_built(Nul::UString const &method, XDR *xdrs, wchar_t const *what) {
    return report_error_reply(method, xdrs, KXInternalErrorException(Nul::UString(what), nullptr));
}

bool_t by_target(XDR *xdrs, GetArgs *args, Nul::UString const &method, auto const &attachment) {
    if (xdrs->x_op == XDR_FREE) return TRUE;
    if (xdrs->x_op != XDR_ENCODE) return FALSE;
    switch (args->target_type()) {
    case TT_ATTACHMENT:
        return attachment();
    case TT_RECORD:
        return not_built(method, xdrs, L"record content cannot be downloaded by this server");
    case TT_REPORT_FORMAT:
        return not_built(method, xdrs, L"report formats cannot be downloaded by this server");
    default:
        return report_error_reply(method, xdrs,
                                  Nul::STPException(REASON_BAD_TARGET_TYPE, Nul::UMessage::nil, nullptr, nullptr,
                                                    Nul::STPException::LOG_INFO));
    }
}

} // namespace

bool_t GetResp::xdr(XDR *xdrs) {
    return by_target(xdrs, args_, Nul::UString(L"GetResp::xdr"), [&] { return marshall_attachment(xdrs); });
}

bool_t GetResp::marshall_attachment(XDR *xdrs) {
    Nul::UString const method(L"GetResp::marshall_attachment");
    // Refused before any content, and before a file is made for it.
    if (args_->chunk_size() <= 0) return refuse_chunk_size(method, xdrs, args_->chunk_size());
    std::unique_ptr<Attachment> attachment;
    try {
        try {
            attachment = loaded_copy(args_);
        } catch (...) {
            raise_unexpected(L"GetResp::marshall_attachment");
        }
    } catch (Nul::STPException const &e) {
        return report_error_reply(method, xdrs, e);
    }
    bool no_error = false;
    bool_t const sent = xdr_flag(xdrs, no_error) && attachment->marshall(xdrs, args_->chunk_size());
    ignoring_failures([&] { attachment->remove_file(); });
    return sent;
}

bool_t GetDirectResp::xdr(XDR *xdrs) {
    return by_target(xdrs, args_, Nul::UString(L"GetDirectResp::xdr"),
                     [&] { return marshall_attachment_direct(xdrs); });
}

// The file stays for the client, which shares the server's disk.
bool_t GetDirectResp::marshall_attachment_direct(XDR *xdrs) {
    try {
        try {
            std::unique_ptr<Attachment> attachment = loaded_copy(args_);
            path_ = attachment->file_path();
        } catch (...) {
            raise_unexpected(L"GetDirectResp::marshall_attachment_direct");
        }
    } catch (Nul::STPException const &e) {
        return report_error_reply(Nul::UString(L"GetDirectResp::marshall_attachment_direct"), xdrs, e);
    }
    bool no_error = false;
    return xdr_flag(xdrs, no_error) && xdr_ustring(xdrs, path_);
}

void check_client_file(Nul::UString const &path) {
    std::string const given = path.utf8_str();
    if (given.empty() || given[0] != '/') refuse_upload("the file path is not absolute");
    char resolved[PATH_MAX];
    if (!::realpath(given.c_str(), resolved)) refuse_upload("the file does not exist");
    struct stat st {};
    if (::stat(resolved, &st) != 0 || !S_ISREG(st.st_mode)) refuse_upload("the path names no regular file");
    std::string const file(resolved);
    // Server files (the database sets, the registry hives) are never handed out as content.
    if (inside(file, real_dir(KXProductStore::DataDirectory())) || inside(file, real_dir(registry_root())))
        refuse_upload("the file belongs to the server");
}

bool kxrpc_get(XdrObject *request, XdrObject **result) {
    auto *args = checked_cast<GetArgs>(request);
    trace_lazy(1, [&] { return text_format("Info: (kxrpc_get %s)", args->describe()); });
    *result = new GetResp(args);
    return true;
}

bool kxrpc_get_direct(XdrObject *request, XdrObject **result) {
    auto *args = checked_cast<GetArgs>(request);
    trace_lazy(1, [&] { return text_format("Info: (kxrpc_get_direct %s)", args->describe()); });
    *result = new GetDirectResp(args);
    return true;
}

namespace {

std::shared_ptr<AttachmentStateItem> new_attachment(AttachmentUploadArgs *args, wchar_t const *method,
                                                    bool server_file) {
    try {
        AttachmentFolder *folder = args->attachment_folder();
        auto attachment = std::make_unique<Attachment>(*folder, args->name(), 0);
        attachment->set_size(args->size());
        attachment->set_description(args->comment());
        attachment->set_file_path(args->filename());
        return std::make_shared<AttachmentStateItem>(std::move(attachment), server_file);
    } catch (...) {
        raise_unexpected(method);
    }
}

} // namespace

bool kxrpc_make_attachment(XdrObject *request, XdrObject **result) {
    auto *args = checked_cast<MakeAttachmentArgs>(request);
    trace_lazy(1, [&] { return text_format("Info: (kxrpc_make_attachment %s)", args->describe()); });
    try {
        if (args->failed()) {
            if (args->error()) throw Nul::STPException(*args->error());
            refuse_upload("the content was not stored");
        }
        *result = new MakeAttachmentResp(new_attachment(args, L"kxrpc_make_attachment", true));
    } catch (...) {
        // The uploaded file goes with the request.
        args->discard_upload();
        throw;
    }
    return true;
}

bool kxrpc_make_attachment_direct(XdrObject *request, XdrObject **result) {
    auto *args = checked_cast<MakeAttachmentDirectArgs>(request);
    trace_lazy(1, [&] { return text_format("Info: (kxrpc_make_attachment_direct %s)", args->describe()); });
    check_client_file(args->filename());
    *result = new MakeAttachmentResp(new_attachment(args, L"kxrpc_make_attachment_direct", false));
    return true;
}

} // namespace KxRpc
