#include "change/content.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "change/deliver_attach.h"
#include "files/descriptors.h"
#include "files/downloads.h"
#include "files/exchange.h"
#include "files/file_marshaller.h"
#include "kxproduct/content.h"
#include "target/login_session.h"
#include "target/target.h"
#include "tesutil/fileutl.h"
#include "wire/casts.h"
#include "wire/catalog.h"
#include "wire/conversions.h"
#include "wire/errors.h"
#include "wire/exceptions.h"
#include "wire/ledger.h"
#include "wire/product_failure.h"
#include "wire/textfmt.h"
#include "wire/trace.h"
#include "wire/xdr.h"

namespace KxRpc {

namespace {

constexpr int TT_RECORD = 32;
constexpr int TT_REPORT_FORMAT = 39;
constexpr int TT_ATTACHMENT = 44;
[[noreturn]] void refuse_upload(char const *why) {
    raise_reason(Reason::illegal_value, kx_message(MSG_CANNOT_MAKE_ATTACHMENT, Nul::UMessage::Arg(why)));
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

template <class Attachment, class ReportFormat, class RecordContent>
bool_t by_target(XDR *xdrs, GetArgs *args, Nul::UString const &method, Attachment const &attachment,
                 ReportFormat const &report_format, RecordContent const &record_content) {
    if (xdrs->x_op == XDR_FREE) return TRUE;
    if (xdrs->x_op != XDR_ENCODE) return FALSE;
    switch (args->target_type()) {
    case TT_ATTACHMENT:
        return attachment();
    case TT_RECORD:
        return record_content();
    case TT_REPORT_FORMAT:
        return report_format();
    default:
        return report_error_reply(method, xdrs, KxRpcException(Reason::refused));
    }
}

// A report format loaded into its file (`file`, else a new temporary file); a failure is the error
// arm, raised.
std::unique_ptr<ReportFormat> loaded_report_format(GetArgs *args, wchar_t const *method,
                                                   Nul::UString const &file = Nul::UString()) {
    AdBucketPtr const bucket =
        product_call([&] { return args->bucket(args->api_session_or_fail()); }, unexpected_in(method));
    auto format = std::make_unique<ReportFormat>(bucket);
    if (!file.empty()) format->set_file_path(file);
    format->load();
    return format;
}

// The record as XML in the "DEFAULT" character set; a failure is the error arm, raised.
std::string record_xml(GetArgs *args, wchar_t const *method) {
    KXSmartPtr<KXEntity> const entity = product_call(
        [&] {
            LoginSession *session = args->session_or_fail();
            return KXEntity::Build(session->user_session(), args->record(args->api_session_or_fail()));
        },
        unexpected_in(method));
    CString const xml =
        product_call([&] { return entity->GetAsXML({}, 0); },
                     [](ProductFailure const &failure) {
                         Nul::UString const text = failure.kind == ProductFailure::KX_EXCEPTION
                                                       ? failure.text
                                                       : Nul::UString(unknown_error_text);
                         raise_reason(Reason::export_failed, kx_message(MSG_INTERNAL_ERROR, Nul::UMessage::Arg(text)));
                     });
    bool failed = false;
    std::string bytes = ustr(xml).std_str("DEFAULT", failed);
    if (failed) raise_reason(Reason::unexpected_failure, kx_message(MSG_CONVERSION_TO_DEFAULT));
    return bytes;
}

// The session that a download's file is charged to (nil for none).
Nul::Oid owner_of(GetArgs *args) { return args->session() ? args->session()->oid() : Nul::Oid(); }

// What a download's file will hold, as far as it is known before it is written: the size the
// attachment's entry gives, or its upload file's size.
std::uint64_t expected_bytes(Attachment const &attachment) {
    struct stat st {};
    if (attachment.kx_name_id().empty())
        return ::stat(attachment.content_path().utf8_str().c_str(), &st) == 0 && st.st_size > 0
                   ? static_cast<std::uint64_t>(st.st_size)
                   : 0;
    return attachment.size() > 0 ? static_cast<std::uint64_t>(attachment.size()) : 0;
}

// A new attachment's content (its upload, a file of the server's own) into a download's file.
void copy_upload(Attachment const &attachment, int into) {
    UniqueFd const upload(::open(attachment.content_path().utf8_str().c_str(), O_RDONLY | O_CLOEXEC));
    if (upload && copy_content(upload.get(), into, INT_MAX)) return;
    // A full disk is the server's to tell; anything else is the upload's content.
    int const why = errno;
    Nul::UString const text = disk_full(why) ? Nul::UString(Nul::Utf8String(std::string(std::strerror(why))))
                                             : Nul::UString(L"Its content cannot be read.");
    raise_reason(Reason::internal_error, kx_message(MSG_CANNOT_LOAD_ATTACHMENT, Nul::UMessage::Arg(text)));
}

} // namespace

void ReportFormat::load() {
    Nul::UString const method(L"ReportFormat::load");
    bool written = false;
    // Any failure, one of our own too, ends in the same error below.
    failure_of(
        [&] {
            KXSmartPtr<KXReportFormat> format = GetReportFormat(AdBucketPtr(bucket_));
            CString error;
            written = format && format->WriteReportFile(cstr(file_.file_path()), error) && error.IsEmpty();
        },
        taking_everything);
    if (written) return;
    ignoring_failures([&] { file_.remove_file(); });
    KXInternalErrorException const error(kx_message(MSG_CANNOT_LOAD_REPORT_FORMAT));
    trace_exception(method, error.msg());
    throw error;
}

bool_t GetResp::xdr(XDR *xdrs) {
    return by_target(
        xdrs, args_, Nul::UString(L"GetResp::xdr"), [&] { return marshall_attachment(xdrs); },
        [&] { return marshall_report_format(xdrs); }, [&] { return marshall_record_content(xdrs); });
}

bool_t GetResp::marshall_report_format(XDR *xdrs) {
    Nul::UString const method(L"GetResp::marshall_report_format");
    if (args_->chunk_size() <= 0) return refuse_chunk_size(method, xdrs, args_->chunk_size());
    std::unique_ptr<ReportFormat> format;
    try {
        format = loaded_report_format(args_, L"GetResp::marshall_report_format");
    } catch (Nul::STPException const &e) {
        return report_error_reply(method, xdrs, e);
    }
    bool no_error = false;
    bool_t const sent = xdr_flag(xdrs, no_error) && format->marshall(xdrs, args_->chunk_size());
    ignoring_failures([&] { format->remove_file(); });
    return sent;
}

bool_t GetResp::marshall_record_content(XDR *xdrs) {
    Nul::UString const method(L"GetResp::marshall_record_content");
    if (args_->chunk_size() <= 0) return refuse_chunk_size(method, xdrs, args_->chunk_size());
    std::string bytes;
    try {
        bytes = record_xml(args_, L"GetResp::marshall_record_content");
    } catch (Nul::STPException const &e) {
        return report_error_reply(method, xdrs, e);
    }
    bool no_error = false;
    return xdr_flag(xdrs, no_error) && xdr_chunks(xdrs, bytes.data(), bytes.size(), args_->chunk_size());
}

bool_t GetResp::marshall_attachment(XDR *xdrs) {
    Nul::UString const method(L"GetResp::marshall_attachment");
    // Refused before any content, and before a file is made for it.
    if (args_->chunk_size() <= 0) return refuse_chunk_size(method, xdrs, args_->chunk_size());
    std::unique_ptr<Attachment> attachment;
    try {
        attachment = product_call([&] { return loaded_copy(args_); }, unexpected_in(L"GetResp::marshall_attachment"));
    } catch (Nul::STPException const &e) {
        return report_error_reply(method, xdrs, e);
    }
    bool no_error = false;
    bool_t const sent = xdr_flag(xdrs, no_error) && attachment->marshall(xdrs, args_->chunk_size());
    ignoring_failures([&] { attachment->remove_file(); });
    return sent;
}

bool_t GetDirectResp::xdr(XDR *xdrs) {
    return by_target(
        xdrs, args_, Nul::UString(L"GetDirectResp::xdr"), [&] { return marshall_attachment_direct(xdrs); },
        [&] { return marshall_report_format_direct(xdrs); }, [&] { return marshall_record_content_direct(xdrs); });
}

// The file stays for the client until it is older than the direct downloads' age.
bool_t GetDirectResp::marshall_report_format_direct(XDR *xdrs) {
    try {
        path_ = leave_direct_download(owner_of(args_), 0, [&](int, Nul::UString const &file) {
            loaded_report_format(args_, L"GetDirectResp::marshall_report_format_direct", file);
        });
    } catch (Nul::STPException const &e) {
        return report_error_reply(Nul::UString(L"GetDirectResp::marshall_report_format_direct"), xdrs, e);
    }
    bool no_error = false;
    return xdr_flag(xdrs, no_error) && xdr_ustring(xdrs, path_);
}

// A file that cannot be made or written whole is the error arm, never a path.
bool_t GetDirectResp::marshall_record_content_direct(XDR *xdrs) {
    Nul::UString const method(L"GetDirectResp::marshall_record_content_direct");
    try {
        std::string const bytes = record_xml(args_, L"GetDirectResp::marshall_record_content_direct");
        path_ = leave_direct_download(owner_of(args_), bytes.size(), [&](int fd, Nul::UString const &) {
            if (!write_all(fd, bytes.data(), bytes.size()))
                throw KXInternalErrorException(
                    kx_message(MSG_INTERNAL_ERROR, Nul::UMessage::Arg(L"Cannot write the record content file.")));
        });
    } catch (Nul::STPException const &e) {
        return report_error_reply(method, xdrs, e);
    }
    bool no_error = false;
    return xdr_flag(xdrs, no_error) && xdr_ustring(xdrs, path_);
}

// A file of this download's own, which stays for the client (it shares the server's disk) until it
// is older than the age: a stored attachment is read into it, a new one's upload copied.
bool_t GetDirectResp::marshall_attachment_direct(XDR *xdrs) {
    try {
        product_call(
            [&] {
                auto attachment = std::make_unique<Attachment>(*args_->attachment());
                path_ = leave_direct_download(owner_of(args_), expected_bytes(*attachment),
                                              [&](int fd, Nul::UString const &file) {
                                                  if (attachment->kx_name_id().empty())
                                                      return copy_upload(*attachment, fd);
                                                  attachment->set_file_path(file);
                                                  attachment->load();
                                              });
            },
            unexpected_in(L"GetDirectResp::marshall_attachment_direct"));
    } catch (Nul::STPException const &e) {
        return report_error_reply(Nul::UString(L"GetDirectResp::marshall_attachment_direct"), xdrs, e);
    }
    bool no_error = false;
    return xdr_flag(xdrs, no_error) && xdr_ustring(xdrs, path_);
}

std::unique_ptr<XdrObject> kxrpc_get(XdrObject *request) {
    auto *args = checked_cast<GetArgs>(request);
    trace_lazy(1, [&] { return text_format("Info: (kxrpc_get %s)", args->describe()); });
    return std::make_unique<GetResp>(args);
}

std::unique_ptr<XdrObject> kxrpc_get_direct(XdrObject *request) {
    auto *args = checked_cast<GetArgs>(request);
    trace_lazy(1, [&] { return text_format("Info: (kxrpc_get_direct %s)", args->describe()); });
    return std::make_unique<GetDirectResp>(args);
}

namespace {

bool same_record(AdEntityPtr const &a, AdEntityPtr const &b) {
    if (a.get() == b.get()) return true;
    return a && b && a->GetDbId() == b->GetDbId() && a->GetEntityDef() == b->GetEntityDef() &&
           a->GetSession().get() == b->GetSession().get();
}

// The edit that an upload to `record` joins: the record item that the target names, else the one
// edit of the same record open in the caller's own product session. None when the record is not
// being edited, or is edited twice over: a change batch's kind 8 adds the attachment then. The
// answer shares the item, so that it outlives a delete_state meanwhile.
std::shared_ptr<RecordStateItem> pending_edit(AttachmentUploadArgs &args, AdEntityPtr const &record) {
    auto editing = [](std::shared_ptr<RecordStateItem> const &edit) {
        return edit && edit->entity() && edit->entity()->IsEditable();
    };
    if (args.is_state_item_target()) {
        // Only while the handle is still registered: an item the client deleted takes nothing.
        auto named = std::dynamic_pointer_cast<RecordStateItem>(lookup_pointer_entry(args.state_item_or_fail()->oid()));
        return editing(named) ? named : nullptr;
    }
    std::shared_ptr<RecordStateItem> found;
    for (StateItemPtr const &item : registered_items()) {
        auto edit = std::dynamic_pointer_cast<RecordStateItem>(item);
        if (!editing(edit) || !same_record(edit->entity(), record)) continue;
        if (found) return nullptr;
        found = edit;
    }
    return found;
}

// The new attachment, added to the record's pending edit when there is one.
std::shared_ptr<AttachmentStateItem> new_attachment(AttachmentUploadArgs *args, Nul::UString const &path,
                                                    wchar_t const *method, Charge &charge) {
    // The product's refusal of the attachment (a server exception) passes as it is.
    return product_call(
        [&] {
            AttachmentFolder *folder = args->attachment_folder();
            auto attachment = std::make_unique<Attachment>(*folder, args->name(), 0);
            attachment->set_size(args->size());
            attachment->set_description(args->comment());
            attachment->set_file_path(path);
            auto item = std::make_shared<AttachmentStateItem>(std::move(attachment), true, std::move(charge));
            if (std::shared_ptr<RecordStateItem> edit = pending_edit(*args, folder->entity()))
                add_to_edit(*item, *edit);
            return item;
        },
        unexpected_in(method));
}

} // namespace

std::unique_ptr<XdrObject> kxrpc_make_attachment(XdrObject *request) {
    auto *args = checked_cast<MakeAttachmentArgs>(request);
    trace_lazy(1, [&] { return text_format("Info: (kxrpc_make_attachment %s)", args->describe()); });
    std::shared_ptr<AttachmentStateItem> item;
    try {
        if (args->failed()) {
            if (args->error()) throw Nul::STPException(*args->error());
            refuse_upload("the content was not stored");
        }
        reserve_session_items(1);
        Charge charge = args->take_charge();
        item = new_attachment(args, args->filename(), L"kxrpc_make_attachment", charge);
    } catch (...) {
        // The uploaded file goes with the request; once an item holds it, it goes with the item
        // (or with the edit that took it).
        args->discard_upload();
        throw;
    }
    return std::make_unique<MakeAttachmentResp>(std::move(item));
}

std::unique_ptr<XdrObject> kxrpc_make_attachment_direct(XdrObject *request) {
    auto *args = checked_cast<MakeAttachmentDirectArgs>(request);
    trace_lazy(1, [&] { return text_format("Info: (kxrpc_make_attachment_direct %s)", args->describe()); });
    // Its one item, before the file is copied.
    reserve_session_items(1);
    // The content as it is now, in a file of the server's own: what becomes of the client's file
    // later is never read.
    // Charged to the session before any byte is copied: a call without one takes nothing.
    Charge charge(Holding::disk, args->session_or_fail()->oid(), 0);
    Nul::UString const copy = take_exchange_file(args->filename(), charge);
    std::shared_ptr<AttachmentStateItem> item;
    try {
        item = new_attachment(args, copy, L"kxrpc_make_attachment_direct", charge);
    } catch (...) {
        remove_upload_file(copy);
        throw;
    }
    return std::make_unique<MakeAttachmentResp>(std::move(item));
}

} // namespace KxRpc
