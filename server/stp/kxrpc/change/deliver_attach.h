// The attachment operations of a change batch: add (kind 8), new description (kind 9) and delete
// (kind 10). Each is pending on the record being edited until that record commits.
#pragma once

#include "change/deliver.h"

namespace KxRpc {

// Kinds 8 and 9: the attachment item is consumed; for an add, the server's upload file goes to
// the record item, which deletes it when it goes.
DeliverResult make_modify_attachment(DeliverOperation &op);
// Kind 10: the attachment named by its target, which must lie on a record being edited.
DeliverResult delete_attachment(DeliverOperation &op, AdSession *session);

} // namespace KxRpc
