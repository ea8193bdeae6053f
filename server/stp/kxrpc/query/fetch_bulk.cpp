#include "query/fetch_bulk.h"
#include "wire/conversions.h"

#include "kxproduct/session.h"
#include "query/requests.h"
#include "target/login_session.h"
#include "target/queryutil.h"
#include "target/workspace.h"
#include "tesutil/critsec.h"
#include "tesutil/selector.h"
#include "wexxml/xmldoc.h"
#include "wire/casts.h"
#include "wire/exceptions.h"
#include "wire/product_failure.h"
#include "wire/textfmt.h"
#include "wire/trace.h"

namespace KxRpc {

namespace {

using Nul::Selector;

class ItemText {
public:
    void add(wchar_t const *tag, Nul::UString const &value) {
        Nul::UString const marker = Nul::UString(L"<") + Nul::UString(tag) + Nul::UString(L">");
        text_.append(marker).append(Nul::XmlDoc::escape(value)).append(marker);
    }
    Nul::UString const &text() const { return text_; }

private:
    Nul::UString text_;
};

Nul::UString record_type_selector(BulkContext const &context, AdBucketPtr const &item) {
    return Selector(Selector::NS_RECORD, Selector::encode_segment(ustr(item->GetEntityDefName())), Selector::DOMAIN_KX,
                    QueryUtil::repository_name(context.session))
        .to_string_with_domain();
}

void add_kind(ItemText &out, int type) {
    auto kind = [&out](wchar_t const *query_type, wchar_t const *resource_type) {
        if (query_type) out.add(L"CTG:query-type", Nul::UString(query_type));
        out.add(L"CTG:resource-type", Nul::UString(resource_type));
    };
    if (type & AD_BUCKET_FOLDER)
        kind(nullptr, L"RES:kx-queryfolder");
    else if (type & AD_BUCKET_CHART)
        kind(L"CTG:chart", L"RES:kx-query");
    else if (type & AD_BUCKET_QUERY)
        kind(L"CTG:query", L"RES:kx-query");
    else if (type & AD_BUCKET_REPORT)
        kind(L"CTG:report", L"RES:kx-report");
    else if (type & AD_BUCKET_REPORT_FORMAT)
        kind(L"CTG:report-format", L"RES:kx-report-format");
}

void trace_empty(wchar_t const *why) {
    trace_lazy(1, [&] { return text_format("Info: (KxRpc::kxrpc_fetch_bulk: %s)", Nul::UString(why)); });
}

} // namespace

FetchBulkResp::~FetchBulkResp() = default;

Nul::UString bulk_item_text(BulkContext const &context, AdBucketPtr const &item) {
    Nul::UString const name = ustr(item->GetName());
    Nul::UString const uri = QueryUtil::bucket_uri(context.session, item);
    Nul::UString const repository = QueryUtil::repository_name(context.session);
    int const tag = QueryUtil::bucket_resource_tag(item);
    ItemText out;
    out.add(L"TEAM:display-name", name);
    out.add(L"CTG:object-name-selector",
            Selector(Selector::NS_QUERY, uri, Selector::DOMAIN_KX, repository).to_string_with_domain());
    out.add(L"CTG:object-name", name);
    out.add(L"CTG:repository-name", context.login_repository);
    if (tag == Nul::XmlTag::RES_kx_report_format) {
        out.add(L"CTG:parent-record-type", record_type_selector(context, item));
    } else if (tag == Nul::XmlTag::RES_kx_queryfolder) {
        AdFolderPtr folder = AdFolder::LookupFolderFromBucket(item);
        out.add(L"CTG:is-writable", Nul::UString(folder && folder->IsWritable() ? L"true" : L"false"));
    } else {
        out.add(L"CTG:primary-record-type", record_type_selector(context, item));
    }
    add_kind(out, item->GetType());
    Nul::UString const dbid = QueryUtil::bucket_dbid_string(item);
    out.add(L"CTG:object-stable-location",
            Selector(static_cast<Nul::XmlTag::Id>(tag), dbid, Selector::DOMAIN_KX, repository).to_string_with_domain());
    out.add(L"CTG:resource-id", dbid);
    out.add(L"TEAM:href", uri);
    out.add(L"KX:kx-master-replica", context.master_replica);
    out.add(L"KX:dbset", context.dbset);
    return out.text();
}

std::vector<Nul::UString> bulk_item_texts(BulkContext const &context, AdBucketPtr const &folder) {
    if (!QueryUtil::is_folder_bucket(folder)) {
        trace_empty(L"Target is not a folder, returning empty response.");
        return {};
    }
    AdFolderPtr readable = AdFolder::LookupFolderFromBucket(folder);
    if (!readable || !readable->IsReadable()) {
        trace_empty(L"Target folder is not readable, returning empty response.");
        return {};
    }
    std::vector<std::int64_t> ids = QueryUtil::child_bucket_ids(folder, QueryUtil::all_items_mask);
    if (ids.empty()) {
        trace_empty(L"Target is an empty folder, no fetch will be performed.");
        return {};
    }
    AdWorkspaceMgrPtr manager = GetWorkspaceMgr(context.session);
    std::vector<Nul::UString> texts;
    for (std::int64_t id : ids) {
        AdBucketPtr child = manager->GetBucket(id);
        if (child) texts.push_back(bulk_item_text(context, child));
    }
    return texts;
}

std::unique_ptr<XdrObject> kxrpc_fetch_bulk(XdrObject *request) {
    auto *args = checked_cast<FetchBulkArg>(request);
    trace_lazy(1, [&] { return text_format("Info: (kxrpc_fetch_bulk %s)", args->describe()); });
    std::vector<Nul::UString> texts;
    {
        Nul::CriticalSection guard(workspace_lock());
        product_call(
            [&] {
                LoginSession *login = args->session_or_fail();
                BulkContext context;
                context.session = AdSessionPtr(args->api_session_or_fail());
                context.login_repository = login->repository();
                AdReplica *master = context.session->GetSessionMasterReplica();
                if (master) context.master_replica = ustr(master->GetName());
                context.dbset = ustr(context.session->GetSessionDbSetName());
                texts = bulk_item_texts(context, args->target().bucket(context.session.get()));
            },
            unexpected_in(L"kxrpc_fetch_bulk"));
    }
    return std::make_unique<FetchBulkResp>(texts);
}

} // namespace KxRpc
