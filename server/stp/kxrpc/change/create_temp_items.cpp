// create_temp of workspace items and attachments: working copies held for the client.
#include "change/create_temp_items.h"

#include <memory>

#include "change/new_resources.h"
#include "kxproduct/query.h"
#include "target/attachments.h"
#include "target/held_items.h"
#include "target/login_session.h"
#include "target/queryutil.h"
#include "target/workspace.h"
#include "tesutil/critsec.h"
#include "tesutil/selector.h"
#include "wire/catalog.h"
#include "wire/conversions.h"
#include "wire/exceptions.h"
#include "wire/product_failure.h"
#include "wire/trace.h"

namespace KxRpc {

namespace {

Nul::UString joined(std::initializer_list<Nul::UString> parts) {
    Nul::UString text;
    for (Nul::UString const &part : parts) {
        if (&part != parts.begin()) text.append(L"/");
        text.append(part);
    }
    return text;
}

Nul::UString segment(Nul::UString const &name) { return Nul::Selector::encode_segment(name); }
Nul::UString decimal(std::int64_t value) { return number_to_ustring(static_cast<long>(value)); }

// A changed report goes back into the folder that holds it, a top folder too: that folder must be
// writable for the user.
void check_report_folder(AdBucketPtr const &report) {
    AdBucketPtr parent = report->GetParent();
    AdFolderPtr folder = parent ? AdFolder::LookupFolderFromBucket(parent) : AdFolderPtr();
    if (!folder || !folder->IsWritable()) {
        trace_info(L"kxrpc_create_temp", L"the folder is not writeable!");
        raise_reason(Reason::refused, kx_message(MSG_CANNOT_MODIFY_QUERY_ITEM));
    }
}

} // namespace

CreateTempResp *create_temp_query_item(CreateTempArgs &args) {
    AdSessionPtr session(args.api_session_or_fail());
    Nul::CriticalSection guard(workspace_lock());
    AdBucketPtr bucket = args.target().bucket(session.get());
    Nul::UString const uri = QueryUtil::bucket_uri(session, bucket);
    Nul::UString const dbid = QueryUtil::bucket_dbid_string(bucket);
    std::shared_ptr<QueryItemStateItem> item;
    if (args.resource_type() == TT_QUERY) {
        AdQueryDefPtr stored;
        QueryUtil::query_def_for_bucket(bucket, stored);
        AdQueryDefPtr copy = CopyQueryDef(stored->GetSession(), stored);
        item = std::make_shared<QueryItemStateItem>(uri, copy, bucket, bucket->GetType());
        item->set_is_startup(AdBucketMgr::IsQueryStartUp(bucket) != FALSE);
    } else {
        item = std::make_shared<QueryItemStateItem>(uri, AdQueryDefPtr(), bucket, bucket->GetType());
    }
    return new CreateTempResp(item, uri, dbid);
}

CreateTempResp *create_temp_report(CreateTempArgs &args) {
    KXSmartPtr<KXSession> const &user = args.session_or_fail()->user_session();
    if (!user) throw_internal_error(Nul::UString(L"Invalid Pointer"));
    KXSmartPtr<KXWorkSpaceMgr> workspace = user->GetWorkSpace();
    AdSessionPtr session(args.api_session_or_fail());
    Nul::CriticalSection guard(workspace_lock());
    AdBucketPtr bucket = args.target().bucket(session.get());
    check_report_folder(bucket);
    Nul::UString const dbid = QueryUtil::bucket_dbid_string(bucket);
    Nul::UString const uri = QueryUtil::bucket_uri(session, bucket);
    KXSmartPtr<KXReportDef> stored = workspace->GetReportDefByDbId(bucket->GetDbId());
    if (!stored)
        throw KXNotFoundException(&args.target(),
                                  kx_message(MSG_QUERY_NOT_FOUND, Nul::UMessage::Arg(args.target().to_selector())));
    std::shared_ptr<QueryItemStateItem> item(QueryUtil::build_report_def(user, stored, uri, bucket));
    return new CreateTempResp(item, uri, dbid);
}

CreateTempResp *create_temp_attachment(CreateTempArgs &args) {
    Attachment const *found = args.target().attachment(args.api_session_or_fail());
    auto item = std::make_shared<AttachmentStateItem>(std::make_unique<Attachment>(*found));
    Attachment const &attachment = *item->attachment();
    AttachmentFolder const &folder = attachment.folder();
    AdEntityPtr const &record = folder.entity();
    AdEntityDef *def = record->GetEntityDef();
    Nul::UString const names = joined({segment(ustr(def->GetName())), segment(ustr(record->GetDisplayName())),
                                       segment(folder.field_name()), segment(attachment.file_name())});
    Nul::UString const ids = joined({decimal(def->GetDbId()), decimal(record->GetDbId()), decimal(folder.field_dbid()),
                                     decimal(attachment.dbid())});
    return new CreateTempResp(item, names, ids);
}

CreateTempResp *create_temp_item(CreateTempArgs &args) {
    return product_call(
        [&] {
            switch (args.resource_type()) {
            case TT_REPORT:
                return create_temp_report(args);
            case TT_ATTACHMENT:
                return create_temp_attachment(args);
            default:
                return create_temp_query_item(args);
            }
        },
        unexpected_in(L"kxrpc_create_temp"));
}

} // namespace KxRpc
