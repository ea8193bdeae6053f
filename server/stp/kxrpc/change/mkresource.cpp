// mkresource: a new resource held in memory for the client, its values applied as the reply is
// written. Nothing is stored until a change batch commits it.
#include "change/mkresource.h"

#include <memory>

#include "change/database_lock.h"
#include "change/new_resources.h"
#include "props/recordprops.h"
#include "props/replies.h"
#include "props/requests.h"
#include "props/values.h"
#include "props/wsprops.h"
#include "target/held_items.h"
#include "target/login_session.h"
#include "tesutil/xmltag.h"
#include "wire/casts.h"
#include "wire/catalog.h"
#include "wire/conversions.h"
#include "wire/exceptions.h"
#include "wire/product_failure.h"
#include "wire/textfmt.h"
#include "wire/trace.h"

namespace KxRpc {

namespace {

using Nul::XmlTag;

constexpr int VALUE_TYPE_STRING = 100001;

struct NewResource {
    std::unique_ptr<PropsResource> resource;
    StateItemPtr item;
    std::unique_ptr<NameIdFetcher> name_id;
};

// A parent that is no folder, or one the user may not write, takes no new item.
void check_parent_folder(CreateResourceArgs &args) {
    AdFolderPtr folder = AdFolder::LookupFolderFromBucket(args.parent_bucket());
    if (!folder || !folder->IsWritable()) raise_reason(Reason::refused, kx_message(MSG_CANNOT_MAKE_QUERY_ITEM));
}

// The string value of the first view-form name among the values; empty when there is none.
CString view_form_name(PropValues const &values) {
    for (std::unique_ptr<BasePropValue> const &value : values) {
        if (!value || value->prop_id() != XmlTag::CTG_view_form_name || value->value_type() != VALUE_TYPE_STRING)
            continue;
        if (auto *text = dynamic_cast<PropValue<Nul::UString> *>(value.get())) return cstr(text->value);
    }
    return CString();
}

NewResource new_record(CreateResourceArgs &args) {
    AdSession *session = args.api_session_or_fail();
    AdEntityDef *def = args.target().entity_def(session);
    AdActionDef *submit = def->LookupActionDef(static_cast<int>(AD_ACTION_SUBMIT));
    if (!submit || submit->IsReservedForSystemUseOnly()) raise_reason(Reason::no_submit_action);
    AdEntityPtr record = BuildEntity(AdSessionPtr(session), def, view_form_name(args.values()));
    auto item = std::make_shared<RecordStateItem>(record, true);
    NewResource made;
    made.item = item;
    made.resource = std::make_unique<RecordProps>(args.session_or_fail(), item, true);
    made.name_id = std::make_unique<RecordNameIdFetcher>(record);
    return made;
}

// A query, folder or report held under its full name until a change batch stores it.
NewResource new_workspace_item(CreateResourceArgs &args) {
    LoginSession *login = args.session_or_fail();
    AdSession *session = args.api_session_or_fail();
    NewResource made;
    std::shared_ptr<QueryItemStateItem> item;
    switch (args.resource_type()) {
    case TT_QUERY: {
        AdEntityDef *def = args.target().entity_def(session);
        item = std::make_shared<QueryItemStateItem>(args.full_name(), BuildQueryDef(AdSessionPtr(session), def, 0),
                                                    AdBucketPtr(), AD_BUCKET_QUERY);
        made.resource = std::make_unique<QueryProps>(login, item);
        break;
    }
    case TT_QUERY_FOLDER:
        item = std::make_shared<QueryItemStateItem>(args.full_name(), AD_BUCKET_FOLDER);
        made.resource = std::make_unique<QueryFolderProps>(login, item);
        break;
    default: {
        KXSmartPtr<KXSession> user = login->user_session();
        if (!user) throw_internal_error(Nul::UString(L"Invalid Pointer"));
        KXSmartPtr<KXReportDef> report = user->GetWorkSpace()->BuildReportDef();
        report->SetName(cstr(last_path_segment(args.full_name())));
        item = std::make_shared<QueryItemStateItem>(args.full_name(), report, AD_BUCKET_REPORT);
        made.resource = std::make_unique<ReportProps>(login, item);
        break;
    }
    }
    made.item = item;
    return made;
}

NewResource new_resource(CreateResourceArgs &args) {
    switch (args.resource_type()) {
    case TT_RECORD:
        return new_record(args);
    case TT_QUERY:
    case TT_QUERY_FOLDER:
    case TT_REPORT:
        return new_workspace_item(args);
    default:
        throw KXInternalErrorException(kx_message(MSG_INTERNAL_ERROR, Nul::UMessage::Arg(L"Invalid resource type")));
    }
}

bool is_workspace_type(int type) { return type == TT_QUERY || type == TT_QUERY_FOLDER || type == TT_REPORT; }

} // namespace

std::unique_ptr<XdrObject> kxrpc_mkresource(XdrObject *request) {
    auto *args = checked_cast<CreateResourceArgs>(request);
    trace_lazy(1, [&] { return text_format("Info: (kxrpc_mkresource %s)", args->describe()); });
    check_user_database_unlocked(args->api_session_or_fail());
    // Its one item, before the resource is made.
    reserve_session_items(1);
    NewResource made;
    product_call(
        [&] {
            if (is_workspace_type(args->resource_type()) && args->has_parent()) check_parent_folder(*args);
            made = new_resource(*args);
        },
        [](ProductFailure const &f) {
            trace_caught(f, Nul::UString(L"kxrpc_mkresource"));
            raise_reason(Reason::illegal_value, kx_message(MSG_PROBLEM_CREATING, Nul::UMessage::Arg(f.text)));
        });
    made.resource->set_dynamic_props(args->dynamic_props());
    auto response = std::make_unique<CreateResourceResp>(std::move(made.resource), args->values(),
                                                         args->register_callback(), made.item, std::move(made.name_id));
    response->open();
    response->finish();
    // Registered last, once nothing of the handler can fail: the reply only writes the handle.
    add_pointer_entry(made.item);
    return response;
}

} // namespace KxRpc
