#include "query/workspace_ops.h"

#include <algorithm>

#include "kxproduct/exceptions.h"
#include "kxproduct/query.h"
#include "kxproduct/session.h"
#include "query/replies.h"
#include "query/requests.h"
#include "target/login_session.h"
#include "target/queryutil.h"
#include "target/workspace.h"
#include "wire/casts.h"
#include "wire/catalog.h"
#include "wire/conversions.h"
#include "wire/exceptions.h"
#include "wire/product_failure.h"
#include "wire/trace.h"
#include "wire/xdr.h"

namespace KxRpc {

namespace {

// Queries and charts, folders, reports and report formats.
constexpr int kWalkMask = 0x1 | 0x2 | 0x4 | 0x100 | 0x200;
constexpr int kFolderBit = 0x4;

} // namespace

// ---- get_folder_descendents

GetFolderDescendentsResp::GetFolderDescendentsResp(AdBucketPtr const &folder) {
    AdWorkspaceMgrPtr mgr = GetWorkspaceMgr(folder->session());
    // Pre-order with an explicit stack: a deep tree never exhausts the worker's stack.
    std::vector<std::vector<std::int64_t>> pending;
    AdFolderPtr top = AdFolder::LookupFolderFromBucket(folder);
    if (!top) return;
    top->Refresh(1);
    pending.emplace_back();
    top->GetChildBucketIds(pending.back(), kWalkMask);
    std::reverse(pending.back().begin(), pending.back().end());
    while (!pending.empty()) {
        if (pending.back().empty()) {
            pending.pop_back();
            continue;
        }
        std::int64_t id = pending.back().back();
        pending.back().pop_back();
        AdBucketPtr bucket = mgr->GetBucket(id);
        if (!bucket) continue; // removed by another session since the folder was read
        entries_.emplace_back(QueryUtil::resource_type_of_bucket_type(bucket->GetType()), static_cast<unsigned>(id));
        if (!(bucket->GetType() & kFolderBit)) continue;
        AdFolderPtr sub = AdFolder::LookupFolderFromBucket(bucket);
        if (!sub) continue;
        pending.emplace_back();
        sub->GetChildBucketIds(pending.back(), kWalkMask);
        std::reverse(pending.back().begin(), pending.back().end());
    }
}

GetFolderDescendentsResp::~GetFolderDescendentsResp() = default;

bool_t GetFolderDescendentsResp::xdr(XDR *xdrs) {
    if (!encode_only(xdrs)) return FALSE;
    for (Entry const &e : entries_) {
        bool_t more = TRUE;
        enum_t type = e.first;
        u_int dbid = e.second;
        if (!xdr_bool(xdrs, &more) || !xdr_enum(xdrs, &type) || !xdr_u_int(xdrs, &dbid)) return FALSE;
    }
    bool_t end = FALSE;
    return xdr_bool(xdrs, &end);
}

std::unique_ptr<XdrObject> kxrpc_get_folder_descendents(XdrObject *request) {
    auto *args = checked_cast<GetFolderDescendentsArgs>(request);
    trace_lazy(1,
               [&] { return Nul::UMessage::sprintf("Info: (kxrpc_get_folder_descendents %s)", args->trace_line()); });
    AdSession *session = args->api_session_or_fail();
    Nul::CriticalSection guard(workspace_lock());
    std::unique_ptr<GetFolderDescendentsResp> response;
    product_call(
        [&] {
            AdBucketPtr folder = args->bucket(session);
            if (!QueryUtil::is_folder_bucket(folder)) throw_internal_error(Nul::UString(L"Expecting Query Folder"));
            response = std::make_unique<GetFolderDescendentsResp>(folder);
        },
        [](ProductFailure const &f) { throw_internal_error(kx_message(MSG_INTERNAL_ERROR, f.text)); });
    return response;
}

// ---- move_query

MoveQueryResp::MoveQueryResp(std::vector<Entry> entries) : entries_(std::move(entries)) {}

MoveQueryResp::~MoveQueryResp() = default;

bool_t MoveQueryResp::xdr(XDR *xdrs) {
    if (!encode_only(xdrs)) return FALSE;
    int count = static_cast<int>(entries_.size());
    if (!xdr_int(xdrs, &count)) return FALSE;
    for (Entry &e : entries_) {
        StateItemPtr item = e.item;
        enum_t type = e.type_code;
        if (!xdr_state_handle(xdrs, item) || !xdr_ustring(xdrs, e.path) || !xdr_enum(xdrs, &type)) return FALSE;
    }
    return TRUE;
}

namespace {

// The item to move, resolved and checked completely before anything moves.
struct MoveSource {
    int type_code = 0;
    AdBucketPtr bucket;
    AdQueryDefPtr query_def;
    int item_type = 0;
};

[[noreturn]] void refuse_move(Nul::UString const &why) {
    raise_reason(Reason::illegal_value, kx_message(MSG_MOVE_FAILED, why));
}

MoveSource resolve_move_source(MoveQueryArgs &args, AdSession *session) {
    MoveSource s;
    s.type_code = args.resource_type();
    if (s.type_code < 36 || s.type_code > 39) refuse_move(Nul::UString(L"the source is not a workspace item"));
    s.bucket = args.bucket(session);
    if (!s.bucket) refuse_move(Nul::UString(L"the source does not exist"));
    s.item_type = s.bucket->GetType();
    // The client names the kind; the item must be of that kind.
    if (QueryUtil::resource_type_of_bucket_type(s.item_type) != s.type_code)
        refuse_move(Nul::UString(L"the source is not of the resource type the request names"));
    if (s.type_code == 36) s.query_def = GetQueryDef(session, s.bucket);
    return s;
}

} // namespace

std::unique_ptr<XdrObject> kxrpc_move_query(XdrObject *request) {
    auto *args = checked_cast<MoveQueryArgs>(request);
    trace_lazy(1, [&] {
        return Nul::UMessage::sprintf("Info: (kxrpc_move_query %s)",
                                      Nul::UMessage::sprintf("%s :: %s :: %s :: dest:%s :: overwrite:%s",
                                                             args->describe(), Nul::UString(L"AdQueryDef(not set)"),
                                                             Nul::UString(L"AdBucket(not set)"), args->destination(),
                                                             Nul::UString(args->overwrite() ? L"T" : L"F")));
    });
    AdSession *session = args->api_session_or_fail();
    // Its one item, before anything moves.
    reserve_session_items(1);
    Nul::CriticalSection guard(workspace_lock());
    std::vector<MoveQueryResp::Entry> entries;
    product_call(
        [&] {
            MoveSource source = resolve_move_source(*args, session);
            Nul::UString path = args->destination();
            AdBucketPtr moved = GetWorkspaceMgr(session)->MoveBucket(source.bucket, cstr(path), args->overwrite());
            // Nothing below calls the product: once the item moved, the reply describes it.
            std::shared_ptr<QueryItemStateItem> item;
            if (source.type_code == 36)
                item = std::make_shared<QueryItemStateItem>(path, source.query_def, moved, source.item_type);
            else
                item =
                    std::make_shared<QueryItemStateItem>(path, source.type_code == 37 ? kFolderBit : source.item_type);
            item->set_bucket(moved);
            entries.push_back(MoveQueryResp::Entry{path, item, source.type_code});
        },
        [](ProductFailure const &f) {
            trace_text(1, Nul::UMessage::sprintf(f.kind == ProductFailure::PA_MSG_EXCEPTION
                                                     ? "Exception: PaMsgException is caught in kxrpc_move_query(%s)"
                                                     : "Exception: KXException is caught in kxrpc_move_query(%s)",
                                                 f.text));
            throw_internal_error(kx_message(MSG_MOVE_FAILED, f.text));
        });
    return std::make_unique<MoveQueryResp>(std::move(entries));
}

// ---- kxrpc_rename_workspace_item

std::unique_ptr<XdrObject> kxrpc_rename_workspace_item(XdrObject *request) {
    auto *args = checked_cast<RenameWorkspaceItemArgs>(request);
    trace_lazy(1, [&] { return Nul::UMessage::sprintf("Info: (kxrpc_rename_workspace_item %s)", args->trace_line()); });
    KXSmartPtr<KXSession> user = args->session_or_fail()->user_session();
    if (!user) throw_internal_error(Nul::UString(L"Invalid Pointer"));
    int done = 0;
    product_call(
        [&] {
            done = user->GetWorkSpace()->RenameWorkspaceItemByDbId(args->dbid(), CString(args->new_name().c_str()));
        },
        [](ProductFailure const &f) {
            if (f.kind == ProductFailure::PA_MSG_EXCEPTION) throw_internal_error(kx_message(MSG_RENAME_FAILED, f.text));
            // A name the product refuses is the client's error; anything else is the server's.
            raise_reason(f.msg_id == KX_MSG_BAD_WORKSPACE_NAME ? Reason::illegal_value : Reason::internal_error,
                         kx_message(MSG_RENAME_FAILED, f.text));
        });
    return std::make_unique<RenameWorkspaceItemResp>(done == 1 ? 1 : 0);
}

} // namespace KxRpc
