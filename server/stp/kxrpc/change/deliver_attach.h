// The attachment operations of a change batch: add (kind 8), new description (kind 9) and delete
// (kind 10). Each is pending on the record being edited until that record commits.
#pragma once

#include <memory>

#include "change/deliver.h"
#include "target/attachments.h"
#include "target/held_items.h"

namespace KxRpc {

// Adds the item's attachment to the record item's edit, once: an attachment already added to that
// very edit is not added again. The record item takes the server's upload file, which must outlive
// the record's commit. Answers the attachment as it lies on the edited record.
std::unique_ptr<Attachment> add_to_edit(AttachmentStateItem &item, RecordStateItem &record_item);

// Kinds 8 and 9: the attachment item is consumed; for an add, the server's upload file goes to
// the record item, which deletes it when it goes.
DeliverResult make_modify_attachment(DeliverOperation &op);
// Kind 10: the attachment named by its target, which must lie on a record being edited.
DeliverResult delete_attachment(DeliverOperation &op, AdSession *session);

} // namespace KxRpc
