#include "query/copy_query.h"

#include <algorithm>
#include <set>
#include <string>

#include "kxproduct/query.h"
#include "kxproduct/session.h"
#include "props/wsprops.h"
#include "query/requests.h"
#include "target/login_session.h"
#include "target/queryutil.h"
#include "target/workspace.h"
#include "wire/casts.h"
#include "wire/catalog.h"
#include "wire/conversions.h"
#include "wire/exceptions.h"
#include "wire/product_failure.h"
#include "wire/textfmt.h"
#include "wire/trace.h"
#include "wire/xdr.h"

namespace KxRpc {

namespace {

// Queries and charts, folders and reports: report formats inside a copied folder stay behind.
constexpr int kCopyMask = AD_BUCKET_QUERY | AD_BUCKET_CHART | AD_BUCKET_FOLDER | AD_BUCKET_REPORT;

using Entry = CopyQueryResp::Entry;

[[noreturn]] void refuse_copy(Nul::UString const &why) {
    raise_reason(Reason::illegal_value, kx_message(MSG_COPY_FAILED, Nul::UMessage::Arg(why)));
}

bool_t write_entries(XDR *xdrs, std::vector<Entry> const &entries, bool handle_first) {
    int count = static_cast<int>(entries.size());
    if (!xdr_int(xdrs, &count)) return FALSE;
    for (Entry const &e : entries) {
        StateItemPtr item = e.item;
        Nul::UString path = e.path;
        enum_t type = e.type_code;
        bool_t const ok = handle_first ? xdr_state_handle(xdrs, item) && xdr_ustring(xdrs, path)
                                       : xdr_ustring(xdrs, path) && xdr_state_handle(xdrs, item);
        if (!ok || !xdr_enum(xdrs, &type)) return FALSE;
    }
    return TRUE;
}

// The copy of one source and its subtree, built completely before the reply is made.
class Copier {
public:
    Copier(CopyQueryArgs &args, LoginSession *login)
        : args_(args), login_(login), session_(args.api_session_or_fail()), destination_(args.destination()) {
        user_ = login->user_session();
        if (!user_) throw_internal_error(Nul::UString(L"Invalid Pointer"));
    }

    void run();
    std::vector<Entry> copied;
    std::vector<Entry> added;
    std::unique_ptr<PropsResource> target;

private:
    // `name` below the source, moved below the destination. A name that does not lie under the
    // source is refused rather than cut at the source's length.
    Nul::UString relocated(Nul::UString const &name) const;
    std::shared_ptr<QueryItemStateItem> query_copy(Nul::UString const &path, AdQueryDefPtr const &def, int type);
    std::shared_ptr<QueryItemStateItem> report_copy(Nul::UString const &path, KXSmartPtr<KXReportDef> const &report);
    std::shared_ptr<QueryItemStateItem> raw_copy(Nul::UString const &path, AdBucketPtr const &bucket);
    // The copy of one stored item of the subtree (folders without their children).
    std::shared_ptr<QueryItemStateItem> item_copy(Nul::UString const &path, AdBucketPtr const &bucket, int code);
    void copy_children(AdBucketPtr const &folder);
    void collect_new_or_modified();

    CopyQueryArgs &args_;
    LoginSession *login_;
    AdSessionPtr session_;
    KXSmartPtr<KXSession> user_;
    Nul::UString destination_;
    Nul::UString source_uri_;
};

Nul::UString Copier::relocated(Nul::UString const &name) const {
    if (name == source_uri_) return destination_;
    Nul::UString const prefix = source_uri_ + Nul::UString(L"/");
    if (name.compare(0, prefix.size(), prefix) != 0)
        refuse_copy(text_format("'%s' does not lie under '%s'", name, source_uri_));
    return destination_ + name.substr(source_uri_.size());
}

std::shared_ptr<QueryItemStateItem> Copier::query_copy(Nul::UString const &path, AdQueryDefPtr const &def, int type) {
    if (!def) refuse_copy(text_format("'%s' holds no query definition", path));
    auto item = std::make_shared<QueryItemStateItem>(path, CopyQueryDef(def->GetSession(), def), AdBucketPtr(), type);
    item->set_is_startup(false);
    return item;
}

std::shared_ptr<QueryItemStateItem> Copier::report_copy(Nul::UString const &path,
                                                        KXSmartPtr<KXReportDef> const &report) {
    if (!report) refuse_copy(text_format("'%s' holds no report definition", path));
    return std::shared_ptr<QueryItemStateItem>(QueryUtil::build_report_def(user_, report, path, AdBucketPtr()));
}

std::shared_ptr<QueryItemStateItem> Copier::raw_copy(Nul::UString const &path, AdBucketPtr const &bucket) {
    std::string const data = bucket->GetData().ToUtf8();
    return std::make_shared<QueryItemStateItem>(path, data.empty() ? nullptr : data.data(), data.size(),
                                                bucket->GetType());
}

std::shared_ptr<QueryItemStateItem> Copier::item_copy(Nul::UString const &path, AdBucketPtr const &bucket, int code) {
    switch (code) {
    case TT_QUERY_FOLDER:
        return std::make_shared<QueryItemStateItem>(path, bucket->GetType());
    case TT_QUERY:
        return query_copy(path, GetQueryDef(session_, bucket), bucket->GetType());
    case TT_REPORT:
        return report_copy(path, user_->GetWorkSpace()->GetReportDefByDbId(bucket->GetDbId()));
    default:
        return raw_copy(path, bucket);
    }
}

void Copier::copy_children(AdBucketPtr const &folder) {
    AdWorkspaceMgrPtr mgr = GetWorkspaceMgr(session_);
    // Pre-order with an explicit stack, so a deep tree never exhausts the worker's stack.
    std::vector<std::vector<std::int64_t>> pending(1);
    AdFolderPtr top = AdFolder::LookupFolderFromBucket(folder);
    if (!top) return;
    top->Refresh(1);
    top->GetChildBucketIds(pending.back(), kCopyMask);
    std::reverse(pending.back().begin(), pending.back().end());
    while (!pending.empty()) {
        if (pending.back().empty()) {
            pending.pop_back();
            continue;
        }
        std::int64_t const id = pending.back().back();
        pending.back().pop_back();
        if (args_.is_do_not_copy(static_cast<int>(id))) continue; // and everything under it
        AdBucketPtr bucket = mgr->GetBucket(id);
        if (!bucket) continue; // removed by another session meanwhile
        int const code = QueryUtil::resource_type_of_bucket_type(bucket->GetType());
        Nul::UString const path = relocated(QueryUtil::bucket_uri(session_, bucket));
        copied.push_back(Entry{path, item_copy(path, bucket, code), code});
        if (!QueryUtil::is_folder_bucket(bucket)) continue;
        AdFolderPtr sub = AdFolder::LookupFolderFromBucket(bucket);
        if (!sub) continue;
        pending.emplace_back();
        sub->GetChildBucketIds(pending.back(), kCopyMask);
        std::reverse(pending.back().begin(), pending.back().end());
    }
}

void Copier::collect_new_or_modified() {
    for (auto it = args_.items_begin(); it != args_.items_end(); ++it) {
        auto *held = checked_cast<QueryItemStateItem>(it->state_item_or_fail());
        Nul::UString const path = relocated(held->name());
        std::shared_ptr<QueryItemStateItem> item;
        int code;
        if (held->has_data()) {
            item = std::make_shared<QueryItemStateItem>(path, held->data(), held->data_length(), held->item_type());
            code = QueryUtil::resource_type_of_bucket_type(held->item_type());
        } else if (held->item_type() == AD_BUCKET_REPORT) {
            item = report_copy(path, held->report_def());
            code = TT_REPORT;
        } else if (held->query_def()) {
            item = query_copy(path, held->query_def(), held->item_type());
            code = TT_QUERY;
        } else {
            item = std::make_shared<QueryItemStateItem>(path, held->item_type());
            code = TT_QUERY_FOLDER;
        }
        added.push_back(Entry{path, item, code});
    }
}

void Copier::run() {
    int const code = args_.resource_type();
    if (code < TT_QUERY || code > TT_REPORT_FORMAT) refuse_copy(Nul::UString(L"the source is not a workspace item"));
    std::shared_ptr<QueryItemStateItem> source_item;
    AdBucketPtr source;
    if (args_.is_state_item_target()) {
        checked_cast<QueryItemStateItem>(args_.state_item_or_fail());
        source_item = std::static_pointer_cast<QueryItemStateItem>(args_.target().state_item());
        source = source_item->bucket();
        source_uri_ = source_item->name();
    } else {
        source = args_.bucket(session_.get());
        // The client names the kind; the item must be of that kind.
        if (QueryUtil::resource_type_of_bucket_type(source->GetType()) != code)
            refuse_copy(Nul::UString(L"the source is not of the resource type the request names"));
        source_uri_ = QueryUtil::bucket_uri(session_, source);
    }
    int const source_type = source_item ? source_item->item_type() : source->GetType();
    std::shared_ptr<QueryItemStateItem> item;
    switch (code) {
    case TT_QUERY_FOLDER:
        item = std::make_shared<QueryItemStateItem>(destination_, AD_BUCKET_FOLDER);
        copied.push_back(Entry{destination_, item, code});
        // The values go to the new folder: a copy never changes its source.
        target = std::make_unique<QueryFolderProps>(login_, item);
        if (!source_item) copy_children(source);
        collect_new_or_modified();
        return;
    case TT_QUERY:
        item = query_copy(destination_, source_item ? source_item->query_def() : GetQueryDef(session_, source),
                          source_type);
        target = std::make_unique<QueryProps>(login_, item);
        break;
    case TT_REPORT:
        item = report_copy(destination_, source_item ? source_item->report_def()
                                                     : user_->GetWorkSpace()->GetReportDefByDbId(source->GetDbId()));
        target = std::make_unique<ReportProps>(login_, item);
        break;
    default:
        if (source_item && source_item->has_data())
            item = std::make_shared<QueryItemStateItem>(destination_, source_item->data(), source_item->data_length(),
                                                        source_type);
        else if (source)
            item = raw_copy(destination_, source);
        else
            refuse_copy(Nul::UString(L"the source holds no data"));
        target = std::make_unique<ReportFormatProps>(login_, item);
        break;
    }
    copied.push_back(Entry{destination_, item, code});
}

Nul::UString do_not_copy_text(std::vector<int> const &ids) {
    Nul::UString text;
    for (int id : ids) {
        if (!text.empty()) text.append(L",");
        text.append(number_to_ustring(id));
    }
    return text;
}

} // namespace

CopyQueryResp::CopyQueryResp(std::vector<Entry> copied, std::vector<Entry> new_or_modified,
                             std::unique_ptr<PropsResource> resource, PropValues const &values, bool register_callback)
    : PutPropsIter(std::move(resource), values, register_callback), copied_(std::move(copied)),
      new_or_modified_(std::move(new_or_modified)) {}

CopyQueryResp::~CopyQueryResp() = default;

bool_t CopyQueryResp::xdr(XDR *xdrs) {
    if (xdrs->x_op == XDR_FREE) return TRUE;
    if (xdrs->x_op != XDR_ENCODE) return FALSE;
    return write_entries(xdrs, copied_, true) && write_entries(xdrs, new_or_modified_, false) &&
           PutPropsIter::xdr(xdrs);
}

std::unique_ptr<XdrObject> kxrpc_copy_query(XdrObject *request) {
    auto *args = checked_cast<CopyQueryArgs>(request);
    trace_lazy(1, [&] {
        return text_format(
            "Info: (kxrpc_copy_query %s)",
            text_format("%s :: %s :: %s :: dest:%s :: donotcopy[%s] :: new_or_modified[%s]", args->describe(),
                        Nul::UString(L"AdQueryDef(not set)"), Nul::UString(L"AdBucket(not set)"), args->destination(),
                        do_not_copy_text(args->do_not_copy()), trace_list(args->items_begin(), args->items_end())));
    });
    LoginSession *login = args->session_or_fail();
    // The copy's own item at least, before anything is copied; a folder's children are counted
    // once they are known.
    reserve_session_items(1);
    std::unique_ptr<Copier> copier;
    {
        // The whole copy holds the workspace lock; the reply, puts included, is written after it.
        Nul::CriticalSection guard(workspace_lock());
        product_call(
            [&] {
                copier = std::make_unique<Copier>(*args, login);
                copier->run();
            },
            [](ProductFailure const &f) {
                trace_text(1, text_format(f.kind == ProductFailure::PA_MSG_EXCEPTION
                                              ? "Exception: PaMsgException is caught in kxrpc_copy_query(%s)"
                                              : "Exception: KXException is caught in kxrpc_copy_query(%s)",
                                          f.text));
                throw_internal_error(kx_message(MSG_COPY_FAILED, Nul::UMessage::Arg(f.text)));
            });
    }
    copier->target->set_dynamic_props(args->dynamic_props());
    auto response =
        std::make_unique<CopyQueryResp>(std::move(copier->copied), std::move(copier->added), std::move(copier->target),
                                        args->values(), args->register_callback());
    response->open();
    response->apply();
    // Registered last, once nothing of the handler can fail: the reply only writes the handles.
    std::set<StateItem const *> fresh;
    for (auto const *entries : {&response->copied(), &response->new_or_modified()})
        for (Entry const &entry : *entries)
            if (entry.item && entry.item->oid().is_nil()) fresh.insert(entry.item.get());
    reserve_session_items(fresh.size());
    for (auto const *entries : {&response->copied(), &response->new_or_modified()})
        for (Entry const &entry : *entries)
            if (entry.item) add_pointer_entry(entry.item);
    return response;
}

} // namespace KxRpc
