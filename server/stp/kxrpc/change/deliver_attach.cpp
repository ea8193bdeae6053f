#include "change/deliver_attach.h"

#include <cstdint>
#include <memory>
#include <string>

#include "kxproduct/entity.h"
#include "wire/casts.h"
#include "wire/exceptions.h"
#include "wire/textfmt.h"
#include "wire/trace.h"

namespace KxRpc {

namespace {

void trace_step(char const *step, DeliverOperation &op) {
    trace_lazy(1, [&] { return text_format("DeliverChangeContextResp::%s: (%s)", step, op.to_string()); });
}

// A handle whose item an earlier operation of the batch consumed counts as unknown.
StateItem *still_registered(StateItemPtr const &item) {
    if (!item || lookup_pointer_entry(item->oid()) != item) return nullptr;
    return item.get();
}

Nul::UString decimal(std::int64_t value) { return Nul::UString(std::to_wstring(value)); }

// Record type, record, field and attachment dbids joined by "/".
DeliverTexts attachment_result(Attachment const &attachment) {
    AdEntityPtr const &record = attachment.folder().entity();
    if (!record) throw_internal_error(L"the attachment has no record");
    return DeliverTexts{text_format("%s/%s/%s/%s", decimal(record->GetEntityDef()->GetDbId()),
                                    decimal(record->GetDbId()), decimal(attachment.folder().field_dbid()),
                                    decimal(attachment.dbid())),
                        {}};
}

// The attachment as seen on the record being edited: an item made on another copy of the same
// record is moved onto the edited one; an attachment of another record is refused.
std::unique_ptr<Attachment> on_edited_record(Attachment const &attachment, AdEntityPtr const &record) {
    AttachmentFolder const &folder = attachment.folder();
    if (folder.entity().get() == record.get()) return std::make_unique<Attachment>(attachment);
    if (!folder.entity() || !record || folder.entity()->GetDbId() != record->GetDbId() ||
        folder.entity()->GetEntityDef() != record->GetEntityDef())
        throw_internal_error(L"the attachment does not belong to the record of the operation");
    auto moved = std::make_unique<Attachment>(AttachmentFolder(record, folder.field_name(), folder.field_dbid()),
                                              attachment.file_name(), attachment.dbid());
    moved->set_size(attachment.size());
    moved->set_description(attachment.description());
    moved->set_file_path(attachment.content_path());
    moved->set_kx_name_id(attachment.kx_name_id());
    return moved;
}

// What the record's pending change keeps for the attachment: its path and description as wide
// texts, with room for their bookkeeping.
std::uint64_t pending_bytes(Attachment const &attachment) {
    constexpr std::uint64_t bookkeeping = 256;
    return (std::uint64_t(attachment.description().length()) + attachment.content_path().length() + 2) *
               sizeof(wchar_t) +
           bookkeeping;
}

} // namespace

std::unique_ptr<Attachment> add_to_edit(AttachmentStateItem &item, RecordStateItem &record_item) {
    if (!item.attachment()) throw_internal_error(L"the attachment item holds no attachment");
    AdEntityPtr const &record = record_item.entity();
    std::unique_ptr<Attachment> attachment = on_edited_record(*item.attachment(), record);
    if (item.added_to().get() == record.get()) return attachment;
    record_item.change_held(pending_bytes(*attachment), [&] { attachment->add_attachment(); });
    item.set_added_to(record);
    // The pending add reads the upload file when the record commits, and the attachment's handle
    // reads it until it goes: both hold it. A client's own file stays where it is, untouched.
    record_item.keep_file(item.upload());
    return attachment;
}

DeliverResult make_modify_attachment(DeliverOperation &base) {
    auto &op = *checked_cast<MakeModifyAttachmentOperation>(&base);
    bool const add = op.kind() == DELIVER_MAKE_ATTACHMENT;
    trace_step(add ? "make_attachment" : "modify_attachment", op);
    auto *record_item = checked_cast<RecordStateItem>(still_registered(op.record_handle()));
    auto *item = checked_cast<AttachmentStateItem>(still_registered(op.attachment_handle()));
    if (!item->attachment()) throw_internal_error(L"the attachment item holds no attachment");
    std::unique_ptr<Attachment> attachment;
    if (add) {
        // The upload handler may have added it to this edit already. The upload file moves to the
        // record item, which the attachment's handle no longer outlives.
        attachment = add_to_edit(*item, *record_item);
        record_item->keep_file(item->take_upload());
    } else {
        attachment = on_edited_record(*item->attachment(), record_item->entity());
        record_item->change_held(pending_bytes(*attachment), [&] { attachment->modify_description(); });
    }
    DeliverTexts result = attachment_result(*attachment);
    remove_pointer_entry(item->oid());
    return result;
}

DeliverResult delete_attachment(DeliverOperation &base, AdSession *session) {
    auto &op = *checked_cast<DeleteAttachmentOperation>(&base);
    trace_step("delete_attachment", op);
    GenericOpArgs &target = op.attachment();
    if (target.is_state_item_target()) {
        StateItem *held = target.state_item_or_fail();
        if (lookup_pointer_entry(held->oid()).get() != held) raise_cast_failure(Nul::UMessage::Arg(L"non-null"));
    }
    Attachment *attachment = target.attachment(session);
    if (!attachment) throw_internal_error(L"the target names no attachment");
    DeliverTexts result = attachment_result(*attachment);
    attachment->do_delete();
    return result;
}

} // namespace KxRpc
