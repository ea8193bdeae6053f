// Pending attachment changes of a record being edited, and the attachment entries of its fields.
#pragma once
#include <map>
#include <vector>

#include "core.h"
#include "kxproduct/entity.h"

struct AttachmentOps {
    using Values = std::map<CString, kxp::FieldValues>;
    // Replaces the attachment fields of `into` by the stored entries of the record: one entry per
    // attachment, its dbid, file name, size and description on lines of their own.
    static void read_entries(const AdEntity &e, kxp::SessionCore &c, Values &into);
    // Inside Commit's transaction, after the record's row: writes the pending changes, streaming
    // each new attachment's content from its file. Store failures raise StoreError; a change that
    // cannot be written raises PaMsgException. Nothing is forgotten until `committed`.
    static void write(AdEntity &e, kxp::SessionCore &c);
    // After the transaction committed: the field values become the stored entries.
    static void committed(AdEntity &e);
    // Revert: the pending changes go.
    static void drop(AdEntity &e);

    // Why the field cannot take an attachment change now (`editing`: the record must be being
    // edited); empty when it can.
    static CString refusal(const AdEntity &e, const CString &field, bool editing);
    // Deletes a stored attachment of a record that is not being edited, in a transaction of its own.
    static CString delete_now(AdEntity &e, kxp::SessionCore &c, const CString &field, int64_t dbid);
    // The dbid of a stored entry of the field (its first line); 0 when the field has no such entry.
    static int64_t stored_dbid(const AdEntity &e, const CString &field, const CString &entry);
    static CString no_entry(const CString &field, const CString &entry);
    // What the pending changes hold in memory (an estimate that errs high).
    static size_t held_bytes(const AdEntity &e);
};
