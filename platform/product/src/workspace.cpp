#include "kxproduct/workspace.h"

#include <algorithm>
#include <map>
#include <set>

#include "core.h"
#include "kxproduct/faults.h"
#include "kxproduct/query.h"

namespace kxp {

struct WorkspaceNode {
    int64_t dbid = 0, parent = 0, owner = 0;
    CString name, entity_def, definition, path;
    int type = 0, folder_type = 0;
    bool startup = false;
    std::vector<int64_t> children;
    std::weak_ptr<WorkspaceTree> tree;
};

struct WorkspaceTree {
    std::map<int64_t, std::shared_ptr<WorkspaceNode>> nodes;
};

} // namespace kxp

using namespace kxp;

namespace {

std::shared_ptr<WorkspaceTree> load_tree(SessionCore &c) {
    auto tree = std::make_shared<WorkspaceTree>();
    Stmt s(
        c.db->handle(),
        "SELECT b.dbid, b.parent_dbid, b.name, b.item_type, b.folder_type, b.owner_dbid, e.name, b.definition, "
        "b.is_startup"
        " FROM buckets b LEFT JOIN entity_defs e ON e.dbid=b.entity_def_dbid WHERE b.database_dbid=? ORDER BY b.dbid");
    s.bind(1, c.database_dbid);
    while (s.step()) {
        auto n = std::make_shared<WorkspaceNode>();
        n->dbid = s.int64(0);
        n->parent = s.is_null(1) ? 0 : s.int64(1);
        n->name = w(s.text(2));
        n->type = s.integer(3);
        n->folder_type = s.integer(4);
        n->owner = s.is_null(5) ? 0 : s.int64(5);
        n->entity_def = w(s.text(6));
        n->definition = w(s.text(7));
        n->startup = s.integer(8) != 0;
        n->tree = tree;
        tree->nodes[n->dbid] = n;
    }
    // Parents are made before their children, so one pass in dbid order fills paths and kinds.
    for (auto &[id, n] : tree->nodes) {
        if (n->parent == 0) {
            n->path = AdWorkspaceMgr::FolderTypeToTopName(n->folder_type);
            continue;
        }
        auto p = tree->nodes.find(n->parent);
        if (p == tree->nodes.end()) continue;
        p->second->children.push_back(id);
        n->folder_type = p->second->folder_type;
        if (!n->owner) n->owner = p->second->owner;
        n->path = p->second->path + L"/" + n->name;
    }
    return tree;
}

std::shared_ptr<WorkspaceTree> tree_of(SessionCore &c) {
    if (!c.workspace) c.workspace = guarded("AdWorkspaceMgr", [&] { return load_tree(c); });
    return c.workspace;
}

AdBucketPtr bucket(const AdSessionPtr &s, const std::shared_ptr<WorkspaceTree> &t, int64_t dbid) {
    auto it = t->nodes.find(dbid);
    return it == t->nodes.end() ? AdBucketPtr() : AdBucketPtr(new AdBucket(s, it->second));
}

int64_t top_of(const WorkspaceTree &t, int folder_type, int64_t owner) {
    for (const auto &[id, n] : t.nodes)
        if (n->parent == 0 && n->folder_type == folder_type && (folder_type == AD_PUBLIC_FOLDER || n->owner == owner))
            return id;
    return 0;
}

} // namespace

AdBucket::AdBucket(const AdSessionPtr &session, std::shared_ptr<const WorkspaceNode> node)
    : AdDataObject(node->dbid, node->name), session_(session), node_(std::move(node)) {}
AdBucket::~AdBucket() = default;
int AdBucket::GetType() const { return node_->type; }
int64_t AdBucket::GetUserId() const { return node_->folder_type == AD_PERSONAL_FOLDER ? node_->owner : 0; }
CString AdBucket::GetPathName() const { return node_->path; }
int AdBucket::GetFolderType() const { return node_->folder_type; }
CString AdBucket::GetData() const { return node_->definition; }
CString AdBucket::GetEntityDefName() const { return node_->entity_def; }
std::vector<int64_t> AdBucket::GetChildBucketIds() const { return node_->children; }

AdSessionPtr AdBucket::GetSession() const {
    KXFaultInjector::Enter("AdBucket::GetSession");
    return session_;
}

AdBucketPtr AdBucket::GetParent() const {
    KXFaultInjector::Enter("AdBucket::GetParent");
    auto tree = node_->tree.lock();
    if (!tree || !node_->parent) return AdBucketPtr();
    return bucket(session_, tree, node_->parent);
}

AdFolder::AdFolder(const AdBucketPtr &bucket) : bucket_(bucket) {}

AdFolderPtr AdFolder::LookupFolderFromBucket(const AdBucketPtr &bucket) {
    KXFaultInjector::Enter("AdFolder::LookupFolderFromBucket");
    if (!bucket || !(bucket->GetType() & AD_BUCKET_FOLDER)) return AdFolderPtr();
    return AdFolderPtr(new AdFolder(bucket));
}

namespace {

constexpr int kReadBit = 1, kWriteBit = 2;

// What a permission kind lets a group do.
int kind_bits(int kind) {
    switch (kind) {
    case AD_PERM_READ_ONLY:
    case AD_PERM_READ_LIMITED:
        return kReadBit;
    case AD_PERM_READ_WRITE:
    case AD_PERM_CHANGE:
        return kReadBit | kWriteBit;
    default:
        return 0;
    }
}

// Permission bits of the session user on a public folder, from the nearest folder on the path to
// the top that has any permissions; -1 when none has.
int group_bits(SessionCore &c, const WorkspaceTree *tree, int64_t folder,
               const std::vector<std::pair<CString, int>> *own) {
    std::set<std::wstring> groups;
    Stmt g(
        c.db->handle(),
        "SELECT g.name FROM groups g JOIN group_members m ON m.group_dbid=g.dbid WHERE m.user_dbid=? AND g.active=1");
    g.bind(1, c.user_dbid);
    while (g.step()) groups.insert(w(g.text(0)).str());
    int64_t id = folder;
    bool first = true;
    while (id) {
        std::vector<std::pair<CString, int>> perms;
        if (first && own) {
            perms = *own;
        } else {
            Stmt p(c.db->handle(), "SELECT g.name, p.permission FROM bucket_permissions p JOIN groups g ON "
                                   "g.dbid=p.group_dbid WHERE p.bucket_dbid=?");
            p.bind(1, id);
            while (p.step()) perms.emplace_back(w(p.text(0)), p.integer(1));
        }
        first = false;
        if (!perms.empty()) {
            int bits = 0;
            for (const auto &[name, kind] : perms)
                if (groups.count(name.str())) bits |= kind_bits(kind);
            return bits;
        }
        auto it = tree ? tree->nodes.find(id) : decltype(tree->nodes.end()){};
        if (!tree || it == tree->nodes.end()) break;
        id = it->second->parent;
    }
    return -1;
}

} // namespace

int AdFolder::effective(int bit, bool use_pending) const {
    const AdSessionPtr &s = bucket_->session();
    SessionCore &c = live(s, "AdFolder");
    std::lock_guard<std::recursive_mutex> lock(c.mu);
    const WorkspaceNode &n = bucket_->node();
    if (n.folder_type == AD_PERSONAL_FOLDER) return n.owner == c.user_dbid ? 1 : 0;
    if (c.privileges & (PRIV_SUPER_USER | PRIV_PUBLIC_FOLDER_ADMIN)) return 1;
    auto tree = n.tree.lock();
    int bits = guarded("AdFolder",
                       [&] { return group_bits(c, tree.get(), n.dbid, edited_ && use_pending ? &pending_ : nullptr); });
    if (bits < 0) return bit == kReadBit ? 1 : 0;
    return (bits & bit) ? 1 : 0;
}

BOOL AdFolder::IsWritable() const {
    KXFaultInjector::Enter("AdFolder::IsWritable");
    return effective(kWriteBit, true) != 0;
}

BOOL AdFolder::IsReadable() const {
    KXFaultInjector::Enter("AdFolder::IsReadable");
    return effective(kReadBit, true) != 0;
}

std::vector<int64_t> AdFolder::GetChildBucketIds(int type_mask) const {
    KXFaultInjector::Enter("AdFolder::GetChildBucketIds");
    SessionCore &c = live(bucket_->session(), "AdFolder::GetChildBucketIds");
    std::lock_guard<std::recursive_mutex> lock(c.mu);
    // Read from the session's current picture, which a refresh may have replaced since the bucket
    // was made: children added or removed meanwhile are seen.
    auto tree = tree_of(c);
    std::vector<int64_t> out;
    auto self = tree->nodes.find(bucket_->GetDbId());
    if (self == tree->nodes.end()) return out;
    for (int64_t id : self->second->children) {
        auto child = tree->nodes.find(id);
        if (child != tree->nodes.end() && (child->second->type & type_mask) != 0) out.push_back(id);
    }
    std::sort(out.begin(), out.end());
    return out;
}

std::vector<std::pair<CString, int>> AdFolder::GetAllGroupPermissions() const {
    KXFaultInjector::Enter("AdFolder::GetAllGroupPermissions");
    if (edited_) return pending_;
    SessionCore &c = live(bucket_->session(), "AdFolder::GetAllGroupPermissions");
    std::lock_guard<std::recursive_mutex> lock(c.mu);
    return guarded("AdFolder::GetAllGroupPermissions", [&] {
        std::vector<std::pair<CString, int>> out;
        Stmt p(c.db->handle(), "SELECT g.name, p.permission FROM bucket_permissions p JOIN groups g ON "
                               "g.dbid=p.group_dbid WHERE p.bucket_dbid=? ORDER BY g.name");
        p.bind(1, bucket_->GetDbId());
        while (p.step()) out.emplace_back(w(p.text(0)), p.integer(1));
        return out;
    });
}

void AdFolder::SetPermissions(const CString &group, int permission) {
    KXFaultInjector::Enter("AdFolder::SetPermissions");
    if (permission < 0 || permission > AD_PERM_CHANGE) {
        CString t;
        t.Format(L"%d is no permission kind.", permission);
        throw_kx(KX_MSG_BAD_VALUE, t, "AdFolder::SetPermissions");
    }
    if (!edited_) {
        pending_ = GetAllGroupPermissions();
        edited_ = true;
    }
    for (auto it = pending_.begin(); it != pending_.end(); ++it)
        if (it->first == group) {
            pending_.erase(it);
            break;
        }
    if (permission != 0) pending_.emplace_back(group, permission);
}

void AdFolder::CommitPermissions() {
    KXFaultInjector::Enter("AdFolder::CommitPermissions");
    if (!edited_) return;
    // Judged by the stored permissions: pending changes must not grant themselves.
    if (!effective(kWriteBit, false))
        throw_kx(KX_MSG_NOT_PRIVILEGED, L"The folder's permissions cannot be changed by this user.",
                 "AdFolder::CommitPermissions");
    SessionCore &c = live(bucket_->session(), "AdFolder::CommitPermissions");
    std::lock_guard<std::recursive_mutex> lock(c.mu);
    guarded("AdFolder::CommitPermissions", [&] {
        Txn txn(*c.db);
        Stmt(c.db->handle(), "DELETE FROM bucket_permissions WHERE bucket_dbid=?").bind(1, bucket_->GetDbId()).step();
        for (const auto &[group, bits] : pending_) {
            auto g = c.db->scalar_int("SELECT dbid FROM groups WHERE name=?", u8(group));
            if (!g) throw new PaMsgException(KX_MSG_NOT_FOUND, L"Group '" + group + L"' does not exist.");
            Stmt(c.db->handle(), "INSERT INTO bucket_permissions VALUES(?,?,?)")
                .bind(1, bucket_->GetDbId())
                .bind(2, *g)
                .bind(3, bits)
                .step();
        }
        txn.commit();
    });
    edited_ = false;
    pending_.clear();
}

void AdFolder::RevertPermissions() {
    KXFaultInjector::Enter("AdFolder::RevertPermissions");
    edited_ = false;
    pending_.clear();
}

CString AdWorkspaceMgr::FolderTypeToTopName(int folder_type) {
    return folder_type == AD_PERSONAL_FOLDER ? CString(L"Personal Queries") : CString(L"Public Queries");
}

AdBucketPtr AdWorkspaceMgr::LookupBucketByPathName(int64_t user_id, const CString &path) {
    KXFaultInjector::Enter("AdWorkspaceMgr::LookupBucketByPathName");
    SessionCore &c = live(session_, "AdWorkspaceMgr::LookupBucketByPathName");
    std::lock_guard<std::recursive_mutex> lock(c.mu);
    auto tree = tree_of(c);
    std::vector<CString> parts;
    int start = 0;
    for (int i = 0; i <= path.GetLength(); ++i)
        if (i == path.GetLength() || path[i] == L'/') {
            parts.push_back(path.Mid(start, i - start));
            start = i + 1;
        }
    int type;
    if (parts[0] == FolderTypeToTopName(AD_PUBLIC_FOLDER))
        type = AD_PUBLIC_FOLDER;
    else if (parts[0] == FolderTypeToTopName(AD_PERSONAL_FOLDER))
        type = AD_PERSONAL_FOLDER;
    else
        return AdBucketPtr();
    int64_t id = top_of(*tree, type, user_id);
    for (size_t i = 1; id && i < parts.size(); ++i) {
        int64_t next = 0;
        for (int64_t child : tree->nodes[id]->children)
            if (tree->nodes[child]->name == parts[i]) next = child;
        id = next;
    }
    return id ? bucket(session_, tree, id) : AdBucketPtr();
}

AdBucketPtr AdWorkspaceMgr::GetBucket(int64_t dbid) {
    KXFaultInjector::Enter("AdWorkspaceMgr::GetBucket");
    SessionCore &c = live(session_, "AdWorkspaceMgr::GetBucket");
    std::lock_guard<std::recursive_mutex> lock(c.mu);
    auto tree = tree_of(c);
    if (!tree->nodes.count(dbid)) {
        // Made by another session since this one read the workspace: read it again once.
        bool exists = guarded("AdWorkspaceMgr::GetBucket", [&] {
            Stmt s(c.db->handle(), "SELECT 1 FROM buckets WHERE dbid=? AND database_dbid=?");
            s.bind(1, dbid).bind(2, c.database_dbid);
            return s.step();
        });
        if (!exists) return AdBucketPtr();
        c.workspace = nullptr;
        tree = tree_of(c);
    }
    return bucket(session_, tree, dbid);
}

void AdWorkspaceMgr::RefreshEntireWorkspace(int) {
    KXFaultInjector::Enter("AdWorkspaceMgr::RefreshEntireWorkspace");
    SessionCore &c = live(session_, "AdWorkspaceMgr::RefreshEntireWorkspace");
    std::lock_guard<std::recursive_mutex> lock(c.mu);
    c.workspace = nullptr;
    tree_of(c);
}

AdWorkspaceMgrPtr GetWorkspaceMgr(const AdSessionPtr &session) {
    KXFaultInjector::Enter("GetWorkspaceMgr");
    live(session, "GetWorkspaceMgr");
    return AdWorkspaceMgrPtr(new AdWorkspaceMgr(session));
}

AdBucketPtr GetTopWorkspaceFolder(const AdSessionPtr &session, int folder_type, int create) {
    KXFaultInjector::Enter("GetTopWorkspaceFolder");
    SessionCore &c = live(session, "GetTopWorkspaceFolder");
    std::lock_guard<std::recursive_mutex> lock(c.mu);
    if (folder_type != AD_PUBLIC_FOLDER && folder_type != AD_PERSONAL_FOLDER)
        throw_kx(KX_MSG_BAD_VALUE, L"Unknown folder type.", "GetTopWorkspaceFolder");
    if (c.admin) {
        if (folder_type == AD_PUBLIC_FOLDER)
            throw new PaMsgException(KX_MSG_PERM_DENIED_PUBLIC_FOLDER_ADMIN,
                                     L"An administrator session has no public folder.");
        return AdBucketPtr();
    }
    auto tree = tree_of(c);
    int64_t id = top_of(*tree, folder_type, c.user_dbid);
    if (!id && create) {
        guarded("GetTopWorkspaceFolder", [&] {
            Txn txn(*c.db);
            // Another session may have made it meanwhile.
            Stmt q(c.db->handle(), "SELECT dbid FROM buckets WHERE database_dbid=? AND parent_dbid IS NULL AND "
                                   "folder_type=? AND (?=1 OR owner_dbid=?)");
            q.bind(1, c.database_dbid).bind(2, folder_type).bind(3, folder_type).bind(4, c.user_dbid);
            if (!q.step()) {
                Stmt s(c.db->handle(), "INSERT INTO buckets(dbid, database_dbid, parent_dbid, name, item_type, "
                                       "folder_type, owner_dbid) VALUES(?,?,NULL,?,4,?,?)");
                s.bind(1, c.db->new_dbid())
                    .bind(2, c.database_dbid)
                    .bind(3, u8(AdWorkspaceMgr::FolderTypeToTopName(folder_type)))
                    .bind(4, folder_type);
                if (folder_type == AD_PERSONAL_FOLDER)
                    s.bind(5, c.user_dbid);
                else
                    s.bind_null(5);
                s.step();
            }
            txn.commit();
        });
        c.workspace = nullptr;
        tree = tree_of(c);
        id = top_of(*tree, folder_type, c.user_dbid);
    }
    return id ? bucket(session, tree, id) : AdBucketPtr();
}

BOOL AdBucketMgr::IsQueryStartUp(const AdBucketPtr &bucket) {
    KXFaultInjector::Enter("AdBucketMgr::IsQueryStartUp");
    return bucket && bucket->node().startup;
}

// ---- Walks, moves and renames

void AdFolder::Refresh(int) {
    KXFaultInjector::Enter("AdFolder::Refresh");
    SessionCore &c = live(bucket_->session(), "AdFolder::Refresh");
    std::lock_guard<std::recursive_mutex> lock(c.mu);
    c.workspace = nullptr;
    auto tree = tree_of(c);
    AdBucketPtr fresh = bucket(bucket_->session(), tree, bucket_->GetDbId());
    gone_ = !fresh;
    if (fresh) bucket_ = fresh;
}

void AdFolder::GetChildBucketIds(std::vector<int64_t> &ids, int type_mask) const {
    KXFaultInjector::Enter("AdFolder::GetChildBucketIds");
    SessionCore &c = live(bucket_->session(), "AdFolder::GetChildBucketIds");
    std::lock_guard<std::recursive_mutex> lock(c.mu);
    ids.clear();
    auto tree = bucket_->node().tree.lock();
    if (gone_ || !tree) return;
    for (int64_t id : bucket_->node().children) {
        auto it = tree->nodes.find(id);
        if (it != tree->nodes.end() && (it->second->type & type_mask)) ids.push_back(id);
    }
}

namespace {

bool inside(const WorkspaceTree &tree, int64_t id, int64_t ancestor) {
    for (int64_t at = id; at;) {
        if (at == ancestor) return true;
        auto it = tree.nodes.find(at);
        at = it == tree.nodes.end() ? 0 : it->second->parent;
    }
    return false;
}

int64_t child_named(const WorkspaceTree &tree, int64_t parent, const CString &name) {
    auto p = tree.nodes.find(parent);
    if (p == tree.nodes.end()) return 0;
    for (int64_t child : p->second->children)
        if (tree.nodes.at(child)->name == name) return child;
    return 0;
}

bool folder_writable(const AdSessionPtr &s, const std::shared_ptr<WorkspaceTree> &tree, int64_t dbid) {
    AdFolderPtr f = AdFolder::LookupFolderFromBucket(bucket(s, tree, dbid));
    return f && f->IsWritable();
}

// Characters that would make a name misread where it is shown or logged: controls (C0, DEL, C1),
// line and paragraph separators, and the marks, embeddings, overrides and isolates of
// bidirectional text, which can make one path look like another.
bool misleading_char(wchar_t ch) {
    return ch < 0x20 || (ch >= 0x7f && ch <= 0x9f) || ch == 0x061c || ch == 0x200e || ch == 0x200f ||
           (ch >= 0x2028 && ch <= 0x202e) || (ch >= 0x2066 && ch <= 0x2069);
}

// A name that may stand in a workspace path; KXException KX_MSG_BAD_WORKSPACE_NAME otherwise.
void check_item_name(const CString &name, const char *op) {
    const std::wstring text = name.GetString();
    bool misleading = false;
    for (wchar_t ch : text) misleading = misleading || misleading_char(ch);
    // A misleading name is not echoed into the message.
    if (misleading) throw_kx(KX_MSG_BAD_WORKSPACE_NAME, L"The name holds a control or bidirectional character.", op);
    if (text.empty() || text == L"." || text == L".." || text.find(L'/') != std::wstring::npos)
        throw_kx(KX_MSG_BAD_WORKSPACE_NAME, L"'" + name + L"' is not a valid workspace item name.", op);
}

// The subtree's dbids as an SQL set, for the statements that change a whole subtree.
const char *const kSubtree = "(WITH RECURSIVE sub(id) AS (SELECT ? UNION ALL SELECT b.dbid FROM buckets b JOIN sub ON "
                             "b.parent_dbid=sub.id) SELECT id FROM sub)";

} // namespace

AdBucketPtr AdWorkspaceMgr::MoveBucket(const AdBucketPtr &item, const CString &path, BOOL overwrite) {
    const char *op = "AdWorkspaceMgr::MoveBucket";
    KXFaultInjector::Enter(op);
    SessionCore &c = live(session_, op);
    std::lock_guard<std::recursive_mutex> lock(c.mu);
    if (!item) throw_kx(KX_MSG_BAD_VALUE, L"No item to move.", op);
    // Judge the move on the store as it is now, not on this session's older picture.
    c.workspace = nullptr;
    auto tree = tree_of(c);
    auto it = tree->nodes.find(item->GetDbId());
    if (it == tree->nodes.end()) throw new PaMsgException(KX_MSG_NOT_FOUND, L"The workspace item no longer exists.");
    const WorkspaceNode &n = *it->second;
    if (!n.parent) throw_kx(KX_MSG_BAD_VALUE, L"A top folder cannot be moved.", op);
    int slash = path.ReverseFind(L'/');
    if (slash <= 0) throw_kx(KX_MSG_BAD_WORKSPACE_NAME, L"'" + path + L"' names no folder to move to.", op);
    CString name = path.Mid(slash + 1);
    check_item_name(name, op);
    AdBucketPtr dest = LookupBucketByPathName(c.user_dbid, path.Left(slash));
    if (!dest) throw new PaMsgException(KX_MSG_NOT_FOUND, L"The folder '" + path.Left(slash) + L"' does not exist.");
    if (!(dest->GetType() & AD_BUCKET_FOLDER))
        throw_kx(KX_MSG_BAD_VALUE, L"'" + path.Left(slash) + L"' is not a folder.", op);
    tree = tree_of(c);
    if (inside(*tree, dest->GetDbId(), n.dbid))
        throw_kx(KX_MSG_BAD_VALUE, L"An item cannot be moved into itself or below itself.", op);
    if (!folder_writable(session_, tree, n.parent) || !folder_writable(session_, tree, dest->GetDbId()))
        throw_kx(KX_MSG_NOT_PRIVILEGED, L"The user may not change both folders of the move.", op);
    int64_t existing = child_named(*tree, dest->GetDbId(), name);
    if (existing == n.dbid) return bucket(session_, tree, n.dbid);
    if (existing && !overwrite)
        throw_kx(KX_MSG_BAD_WORKSPACE_NAME, L"An item named '" + path + L"' already exists.", op);
    if (existing && inside(*tree, n.dbid, existing))
        throw_kx(KX_MSG_BAD_VALUE, L"An item cannot replace a folder that holds it.", op);
    int64_t top_id = dest->GetDbId();
    while (tree->nodes.at(top_id)->parent) top_id = tree->nodes.at(top_id)->parent;
    const WorkspaceNode &top = *tree->nodes.at(top_id);
    guarded(op, [&] {
        Txn txn(*c.db);
        if (existing) {
            Stmt(c.db->handle(), std::string("DELETE FROM buckets WHERE dbid IN ") + kSubtree).bind(1, existing).step();
        }
        Stmt(c.db->handle(), "UPDATE buckets SET parent_dbid=?, name=? WHERE dbid=?")
            .bind(1, dest->GetDbId())
            .bind(2, u8(name))
            .bind(3, n.dbid)
            .step();
        // Items take the owner of the personal folder they now lie in; public items have none.
        Stmt owner(c.db->handle(), std::string("UPDATE buckets SET owner_dbid=? WHERE dbid IN ") + kSubtree);
        if (top.folder_type == AD_PERSONAL_FOLDER)
            owner.bind(1, top.owner);
        else
            owner.bind_null(1);
        owner.bind(2, n.dbid).step();
        txn.commit();
    });
    c.workspace = nullptr;
    return bucket(session_, tree_of(c), n.dbid);
}

int KXWorkSpaceMgr::RenameWorkspaceItemByDbId(int64_t dbid, const CString &name) {
    const char *op = "KXWorkSpaceMgr::RenameWorkspaceItemByDbId";
    KXFaultInjector::Enter(op);
    SessionCore &c = live(session_, op);
    std::lock_guard<std::recursive_mutex> lock(c.mu);
    c.workspace = nullptr;
    auto tree = tree_of(c);
    auto it = tree->nodes.find(dbid);
    if (it == tree->nodes.end()) throw new PaMsgException(KX_MSG_NOT_FOUND, L"No workspace item has that dbid.");
    const WorkspaceNode &n = *it->second;
    if (!n.parent) throw_kx(KX_MSG_BAD_WORKSPACE_NAME, L"A top folder cannot be renamed.", op);
    check_item_name(name, op);
    if (!folder_writable(session_, tree, n.parent))
        throw_kx(KX_MSG_NOT_PRIVILEGED, L"The user may not change the item's folder.", op);
    int64_t existing = child_named(*tree, n.parent, name);
    if (existing == dbid) return 1;
    if (existing) throw_kx(KX_MSG_BAD_WORKSPACE_NAME, L"The folder already holds an item named '" + name + L"'.", op);
    guarded(op, [&] {
        Stmt(c.db->handle(), "UPDATE buckets SET name=? WHERE dbid=?").bind(1, u8(name)).bind(2, dbid).step();
    });
    c.workspace = nullptr;
    return 1;
}

// ---- Writes: new items, definitions, start-up marks, reports, deletion

namespace {

// The node as the store holds it now (the session's picture is reread first).
const WorkspaceNode *fresh_node(SessionCore &c, int64_t dbid, std::shared_ptr<WorkspaceTree> &tree) {
    c.workspace = nullptr;
    tree = tree_of(c);
    auto it = tree->nodes.find(dbid);
    return it == tree->nodes.end() ? nullptr : it->second.get();
}

[[noreturn]] void no_item(const CString &what) { throw new PaMsgException(KX_MSG_NOT_FOUND, what); }

void require_writable(const AdSessionPtr &s, const std::shared_ptr<WorkspaceTree> &tree, int64_t folder,
                      const char *op) {
    if (!folder_writable(s, tree, folder)) throw_kx(KX_MSG_NOT_PRIVILEGED, L"The user may not change this folder.", op);
}

// Inserts one item; the caller holds the transaction. Answers its dbid.
int64_t insert_item(SessionCore &c, int64_t parent, const CString &name, int type, int64_t owner, int64_t entity_def,
                    const CString &data) {
    int64_t dbid = c.db->new_dbid();
    Stmt s(c.db->handle(), "INSERT INTO buckets(dbid, database_dbid, parent_dbid, name, item_type, folder_type, "
                           "owner_dbid, entity_def_dbid,"
                           " definition) VALUES(?,?,?,?,?,0,?,?,?)");
    s.bind(1, dbid).bind(2, c.database_dbid).bind(3, parent).bind(4, u8(name)).bind(5, type);
    if (owner)
        s.bind(6, owner);
    else
        s.bind_null(6);
    if (entity_def)
        s.bind(7, entity_def);
    else
        s.bind_null(7);
    s.bind(8, u8(data)).step();
    return dbid;
}

// A new item under `parent`, replacing its sibling `replaces` (0: none) in the same transaction.
int64_t build_item(const AdSessionPtr &session, const char *op, int64_t parent_dbid, const CString &name, int type,
                   int64_t owner, int64_t entity_def, const CString &data, int64_t replaces) {
    SessionCore &c = live(session, op);
    std::lock_guard<std::recursive_mutex> lock(c.mu);
    check_item_name(name, op);
    std::shared_ptr<WorkspaceTree> tree;
    const WorkspaceNode *parent = fresh_node(c, parent_dbid, tree);
    if (!parent) no_item(L"The folder to hold '" + name + L"' does not exist.");
    if (!(parent->type & AD_BUCKET_FOLDER)) throw_kx(KX_MSG_BAD_VALUE, L"'" + parent->path + L"' is not a folder.", op);
    require_writable(session, tree, parent_dbid, op);
    int64_t existing = child_named(*tree, parent_dbid, name);
    if (existing && existing != replaces)
        throw_kx(KX_MSG_BAD_WORKSPACE_NAME, L"An item named '" + parent->path + L"/" + name + L"' already exists.", op);
    if (replaces && existing != replaces) no_item(L"The item to replace is not '" + parent->path + L"/" + name + L"'.");
    int64_t dbid = guarded(op, [&] {
        Txn txn(*c.db);
        if (replaces)
            Stmt(c.db->handle(), std::string("DELETE FROM buckets WHERE dbid IN ") + kSubtree).bind(1, replaces).step();
        // A test can make the store fail here: the old item is then still in place.
        KXFaultInjector::Enter("AdWorkspaceMgr::BuildBucket:store");
        int64_t id = insert_item(c, parent_dbid, name, type, owner, entity_def, data);
        txn.commit();
        return id;
    });
    c.workspace = nullptr;
    return dbid;
}

CString path_of(const WorkspaceTree &tree, int64_t dbid) {
    auto it = tree.nodes.find(dbid);
    return it == tree.nodes.end() ? CString() : it->second->path;
}

// "query=<path>;format=<path>" of a report.
CString report_data(SessionCore &c, const KXSmartPtr<KXReportDef> &report, const char *op) {
    if (!report) throw_kx(KX_MSG_BAD_VALUE, L"No report definition.", op);
    std::shared_ptr<WorkspaceTree> tree = tree_of(c);
    CString query = path_of(*tree, report->GetQueryDefId()), format = path_of(*tree, report->GetReportFormatId());
    if (query.IsEmpty() || format.IsEmpty()) no_item(L"The report's query or report format does not exist.");
    return L"query=" + query + L";format=" + format;
}

void set_startup(const AdSessionPtr &session, int64_t dbid, bool on, const char *op) {
    KXFaultInjector::Enter(op);
    SessionCore &c = live(session, op);
    std::lock_guard<std::recursive_mutex> lock(c.mu);
    std::shared_ptr<WorkspaceTree> tree;
    const WorkspaceNode *n = fresh_node(c, dbid, tree);
    if (!n || !(n->type & (AD_BUCKET_QUERY | AD_BUCKET_CHART))) no_item(L"No query has that dbid.");
    require_writable(session, tree, n->parent, op);
    guarded(op, [&] {
        Stmt(c.db->handle(), "UPDATE buckets SET is_startup=? WHERE dbid=?").bind(1, on ? 1 : 0).bind(2, dbid).step();
    });
    c.workspace = nullptr;
}

} // namespace

void AdBucket::PutQueryDef(const KXSmartPtr<AdQueryDef> &definition) {
    KXFaultInjector::Enter("AdBucket::PutQueryDef");
    if (!definition || !(node_->type & (AD_BUCKET_QUERY | AD_BUCKET_CHART)))
        throw_kx(KX_MSG_BAD_VALUE, L"Only a query or chart takes a query definition.", "AdBucket::PutQueryDef");
    pending_definition_ = definition->GetDefinition();
    has_pending_definition_ = true;
}

void AdBucket::Update() {
    const char *op = "AdBucket::Update";
    KXFaultInjector::Enter(op);
    if (!has_pending_definition_) return;
    SessionCore &c = live(session_, op);
    std::lock_guard<std::recursive_mutex> lock(c.mu);
    std::shared_ptr<WorkspaceTree> tree;
    const WorkspaceNode *n = fresh_node(c, GetDbId(), tree);
    if (!n) no_item(L"The workspace item no longer exists.");
    require_writable(session_, tree, n->parent, op);
    guarded(op, [&] {
        Stmt(c.db->handle(), "UPDATE buckets SET definition=? WHERE dbid=?")
            .bind(1, u8(pending_definition_))
            .bind(2, GetDbId())
            .step();
    });
    c.workspace = nullptr;
    has_pending_definition_ = false;
    node_ = bucket(session_, tree_of(c), GetDbId())->node_;
}

AdBucketPtr AdWorkspaceMgr::BuildBucket(int64_t owner, const CString &name, int item_type, int,
                                        const AdBucketPtr &parent, AdEntityDef *entity_def, const CString &data,
                                        const AdBucketPtr &replaces) {
    const char *op = "AdWorkspaceMgr::BuildBucket";
    KXFaultInjector::Enter(op);
    if (!parent) throw_kx(KX_MSG_BAD_VALUE, L"No folder to hold the item.", op);
    static const int kinds[] = {AD_BUCKET_QUERY, AD_BUCKET_CHART, AD_BUCKET_FOLDER, AD_BUCKET_REPORT,
                                AD_BUCKET_REPORT_FORMAT};
    if (std::find(std::begin(kinds), std::end(kinds), item_type) == std::end(kinds))
        throw_kx(KX_MSG_BAD_VALUE, L"Unknown workspace item type.", op);
    int64_t dbid = build_item(session_, op, parent->GetDbId(), name, item_type, owner,
                              entity_def ? entity_def->GetDbId() : 0, data, replaces ? replaces->GetDbId() : 0);
    return GetBucket(dbid);
}

void AdWorkspaceMgr::SetStartUpBit(int64_t dbid) { set_startup(session_, dbid, true, "AdWorkspaceMgr::SetStartUpBit"); }

void AdWorkspaceMgr::ClearStartUpBit(int64_t dbid) {
    set_startup(session_, dbid, false, "AdWorkspaceMgr::ClearStartUpBit");
}

AdBucketPtr AdBucketMgr::GetBucketByName(const AdBucketPtr &parent, const CString &name, int type_mask, int64_t) {
    const char *op = "AdBucketMgr::GetBucketByName";
    KXFaultInjector::Enter(op);
    if (!parent) throw_kx(KX_MSG_BAD_VALUE, L"No folder.", op);
    SessionCore &c = live(parent->session(), op);
    std::lock_guard<std::recursive_mutex> lock(c.mu);
    std::shared_ptr<WorkspaceTree> tree;
    if (!fresh_node(c, parent->GetDbId(), tree)) return AdBucketPtr();
    int64_t id = child_named(*tree, parent->GetDbId(), name);
    if (!id || !(tree->nodes.at(id)->type & type_mask)) return AdBucketPtr();
    return bucket(parent->session(), tree, id);
}

void AdBucketMgr::DeleteBucket(const AdBucketPtr &item) {
    const char *op = "AdBucketMgr::DeleteBucket";
    KXFaultInjector::Enter(op);
    if (!item) throw_kx(KX_MSG_BAD_VALUE, L"No item to delete.", op);
    SessionCore &c = live(item->session(), op);
    std::lock_guard<std::recursive_mutex> lock(c.mu);
    std::shared_ptr<WorkspaceTree> tree;
    const WorkspaceNode *n = fresh_node(c, item->GetDbId(), tree);
    if (!n) no_item(L"The workspace item no longer exists.");
    if (!n->parent) throw_kx(KX_MSG_BAD_VALUE, L"A top folder cannot be deleted.", op);
    require_writable(item->session(), tree, n->parent, op);
    guarded(op, [&] {
        Txn txn(*c.db);
        Stmt(c.db->handle(), std::string("DELETE FROM buckets WHERE dbid IN ") + kSubtree).bind(1, n->dbid).step();
        txn.commit();
    });
    c.workspace = nullptr;
}

int64_t KXWorkSpaceMgr::InsertNewReportDef(const CString &name, int64_t parent_dbid,
                                           const KXSmartPtr<KXReportDef> &report, int64_t replaces) {
    const char *op = "KXWorkSpaceMgr::InsertNewReportDef";
    KXFaultInjector::Enter(op);
    SessionCore &c = live(session_, op);
    std::lock_guard<std::recursive_mutex> lock(c.mu);
    CString data = report_data(c, report, op);
    std::shared_ptr<WorkspaceTree> tree;
    const WorkspaceNode *parent = fresh_node(c, parent_dbid, tree);
    int64_t owner = parent && parent->folder_type == AD_PERSONAL_FOLDER ? parent->owner : 0;
    return build_item(session_, op, parent_dbid, name, AD_BUCKET_REPORT, owner, 0, data, replaces);
}

void KXWorkSpaceMgr::UpdateReportDef(int64_t dbid, const KXSmartPtr<KXReportDef> &report) {
    const char *op = "KXWorkSpaceMgr::UpdateReportDef";
    KXFaultInjector::Enter(op);
    SessionCore &c = live(session_, op);
    std::lock_guard<std::recursive_mutex> lock(c.mu);
    std::shared_ptr<WorkspaceTree> tree;
    const WorkspaceNode *n = fresh_node(c, dbid, tree);
    if (!n || n->type != AD_BUCKET_REPORT) no_item(L"No report has that dbid.");
    require_writable(session_, tree, n->parent, op);
    CString data = report_data(c, report, op);
    guarded(op, [&] {
        Stmt(c.db->handle(), "UPDATE buckets SET definition=? WHERE dbid=?").bind(1, u8(data)).bind(2, dbid).step();
    });
    c.workspace = nullptr;
}
