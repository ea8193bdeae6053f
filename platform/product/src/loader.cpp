// Creation of a database set from its definition document (format: README.md of this folder).
// The document is read with Xerces SAX2 into a small tree that keeps line numbers, checked, and
// written into a new store file in one transaction; the file appears under its final name only
// when complete.
#include <sys/stat.h>
#include <unistd.h>

#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/sax/Locator.hpp>
#include <xercesc/sax/SAXParseException.hpp>
#include <xercesc/sax2/Attributes.hpp>
#include <xercesc/sax2/DefaultHandler.hpp>
#include <xercesc/sax2/SAX2XMLReader.hpp>
#include <xercesc/sax2/XMLReaderFactory.hpp>
#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/util/SecurityManager.hpp>
#include <xercesc/util/TransService.hpp>
#include <xercesc/util/XMLString.hpp>
#include <xercesc/util/XMLUni.hpp>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "core.h"
#include "kxproduct/datetime.h"
#include "kxproduct/form.h"
#include "kxproduct/store.h"
#include "kxproduct/workspace.h"
#include "markup.h"
#include "schema.h"
#include "secrets.h"

using namespace xercesc;

namespace kxp {
namespace {

struct Node {
    std::string name;
    std::map<std::string, std::string> attrs;
    std::string text;
    int line = 0;
    std::vector<std::unique_ptr<Node>> children;

    const std::string *attr(const std::string &k) const {
        auto it = attrs.find(k);
        return it == attrs.end() ? nullptr : &it->second;
    }
};

struct LoadError {
    int line;
    std::string text;
};

[[noreturn]] void fail(const Node &n, const std::string &text) { throw LoadError{n.line, text}; }

std::string utf8_of(const XMLCh *s) {
    if (!s) return {};
    std::u16string u(reinterpret_cast<const char16_t *>(s));
    std::wstring wide;
    for (size_t i = 0; i < u.size(); ++i) {
        char32_t c = u[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < u.size() && u[i + 1] >= 0xDC00 && u[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (u[i + 1] - 0xDC00);
            ++i;
        }
        wide += static_cast<wchar_t>(c);
    }
    return CString(wide).ToUtf8();
}

class TreeBuilder : public DefaultHandler {
public:
    std::unique_ptr<Node> root;
    bool failed = false;
    int error_line = 0;
    std::string error_text;

    void setDocumentLocator(const Locator *const locator) override { locator_ = locator; }

    void startElement(const XMLCh *const, const XMLCh *const localname, const XMLCh *const,
                      const Attributes &attrs) override {
        try {
            auto n = std::make_unique<Node>();
            n->name = utf8_of(localname);
            n->line = locator_ ? static_cast<int>(locator_->getLineNumber()) : 0;
            for (XMLSize_t i = 0; i < attrs.getLength(); ++i)
                n->attrs[utf8_of(attrs.getLocalName(i))] = utf8_of(attrs.getValue(i));
            Node *raw = n.get();
            if (stack_.empty())
                root = std::move(n);
            else
                stack_.back()->children.push_back(std::move(n));
            stack_.push_back(raw);
        } catch (...) {
            record(0, "out of memory while reading the document");
        }
    }
    void endElement(const XMLCh *const, const XMLCh *const, const XMLCh *const) override {
        if (!stack_.empty()) stack_.pop_back();
    }
    void characters(const XMLCh *const chars, const XMLSize_t length) override {
        try {
            if (stack_.empty()) return;
            std::u16string part(reinterpret_cast<const char16_t *>(chars), length);
            part.push_back(0);
            stack_.back()->text += utf8_of(reinterpret_cast<const XMLCh *>(part.c_str()));
        } catch (...) {
            record(0, "out of memory while reading the document");
        }
    }
    void error(const SAXParseException &e) override { record_exc(e); }
    void fatalError(const SAXParseException &e) override { record_exc(e); }

private:
    void record_exc(const SAXParseException &e) {
        try {
            record(static_cast<int>(e.getLineNumber()), utf8_of(e.getMessage()));
        } catch (...) {
            record(0, "malformed document");
        }
    }
    void record(int line, const std::string &text) {
        if (failed) return;
        failed = true;
        error_line = line;
        error_text = text;
    }
    const Locator *locator_ = nullptr;
    std::vector<Node *> stack_;
};

std::unique_ptr<Node> parse(const std::string &xml) {
    XMLPlatformUtils::Initialize();
    struct Term {
        ~Term() { XMLPlatformUtils::Terminate(); }
    } term;
    TreeBuilder handler;
    {
        std::unique_ptr<SAX2XMLReader> reader(XMLReaderFactory::createXMLReader());
        SecurityManager security;
        security.setEntityExpansionLimit(1000);
        reader->setFeature(XMLUni::fgSAX2CoreValidation, false);
        reader->setFeature(XMLUni::fgSAX2CoreNameSpaces, true);
        reader->setFeature(XMLUni::fgXercesLoadExternalDTD, false);
        reader->setFeature(XMLUni::fgXercesDisableDefaultEntityResolution, true);
        reader->setProperty(XMLUni::fgXercesSecurityManager, &security);
        reader->setContentHandler(&handler);
        reader->setErrorHandler(&handler);
        MemBufInputSource src(reinterpret_cast<const XMLByte *>(xml.data()), xml.size(), "definition");
        try {
            reader->parse(src);
        } catch (const SAXParseException &e) {
            if (!handler.failed) throw LoadError{static_cast<int>(e.getLineNumber()), utf8_of(e.getMessage())};
        } catch (const XMLException &e) {
            if (!handler.failed) throw LoadError{static_cast<int>(e.getSrcLine()), utf8_of(e.getMessage())};
        }
    }
    if (handler.failed) throw LoadError{handler.error_line, handler.error_text};
    if (!handler.root) throw LoadError{1, "empty document"};
    return std::move(handler.root);
}

const std::map<std::string, int> kFieldTypes = {
    {"short-string", 1},   {"multiline-string", 2}, {"int", 3},          {"date-time", 4}, {"reference", 5},
    {"reference-list", 6}, {"attachment-list", 7},  {"id", 8},           {"state", 9},     {"journal", 10},
    {"dbid", 11},          {"statetype", 12},       {"record-type", 13}, {"float", 14}};
const std::map<std::string, int> kActionTypes = {
    {"submit", 1}, {"modify", 2}, {"change-state", 3}, {"duplicate", 4},           {"unduplicate", 5},
    {"import", 6}, {"delete", 7}, {"base", 8},         {"record-script-alias", 9}, {"copy", 10}};
const std::map<std::string, int> kBehaviors = {{"mandatory", 1}, {"optional", 2}, {"read-only", 3}};
const std::map<std::string, int> kHookTypes = {{"field-default-value", AD_HOOK_FIELD_DEFAULT_VALUE},
                                               {"field-choice-list", AD_HOOK_FIELD_CHOICE_LIST},
                                               {"field-value-changed", AD_HOOK_FIELD_VALUE_CHANGED},
                                               {"field-validation", AD_HOOK_FIELD_VALIDATION},
                                               {"action-initialization", AD_HOOK_ACTION_INITIALIZATION},
                                               {"action-access-control", AD_HOOK_ACTION_ACCESS_CONTROL},
                                               {"action-validation", AD_HOOK_ACTION_VALIDATION},
                                               {"action-commit", AD_HOOK_ACTION_COMMIT},
                                               {"action-notification", AD_HOOK_ACTION_NOTIFICATION},
                                               {"record-script", AD_HOOK_RECORD_SCRIPT},
                                               {"global-script", AD_HOOK_GLOBAL_SCRIPT}};
const std::map<std::string, int> kPrivileges = {
    {"super-user", PRIV_SUPER_USER},         {"schema-designer", PRIV_SCHEMA_DESIGNER},
    {"user-admin", PRIV_USER_ADMIN},         {"public-folder-admin", PRIV_PUBLIC_FOLDER_ADMIN},
    {"security-admin", PRIV_SECURITY_ADMIN}, {"dynamic-list-admin", PRIV_DYNAMIC_LIST_ADMIN},
    {"raw-sql-writer", PRIV_RAW_SQL_WRITER}, {"app-builder", PRIV_APP_BUILDER},
    {"far-link-admin", PRIV_FAR_LINK_ADMIN}};
const std::map<std::string, int> kItemKinds = {{"query", AD_BUCKET_QUERY},
                                               {"chart", AD_BUCKET_CHART},
                                               {"report", AD_BUCKET_REPORT},
                                               {"report-format", AD_BUCKET_REPORT_FORMAT}};
// Permission words of a folder; "read write" together is read and write.
const std::map<std::string, int> kPermissions = {{"none", AD_PERM_NO_ACCESS},
                                                 {"read", AD_PERM_READ_ONLY},
                                                 {"write", AD_PERM_READ_WRITE},
                                                 {"read-limited", AD_PERM_READ_LIMITED},
                                                 {"change", AD_PERM_CHANGE}};

int lookup(const Node &n, const std::map<std::string, int> &table, const std::string &what, const std::string &value) {
    auto it = table.find(value);
    if (it == table.end()) fail(n, "unknown " + what + " '" + value + "'");
    return it->second;
}

std::vector<std::string> words(const std::string &s) {
    std::istringstream in(s);
    std::vector<std::string> out;
    std::string w;
    while (in >> w) out.push_back(w);
    return out;
}

bool valid_set_name(const std::string &s) {
    if (s.empty() || s.size() > 64) return false;
    for (char c : s)
        if (!(isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-')) return false;
    return true;
}

std::vector<std::string> split_path(const std::string &path) {
    std::vector<std::string> out;
    std::string cur;
    for (char c : path) {
        if (c == '/') {
            out.push_back(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    out.push_back(cur);
    return out;
}

// Attributes each element may carry; anything else is a mistake worth a line number.
const std::map<std::string, std::set<std::string>> kAttributes = {
    {"kxdefinition", {"name", "sso", "sso-password"}},
    {"database", {"name", "description", "feature-level", "soft-query-limit", "hard-query-limit"}},
    {"group", {"name", "active"}},
    {"subscribe", {"database"}},
    {"member", {"group", "record-type"}},
    {"list", {"name"}},
    {"value", {"field"}},
    {"attachment", {"field", "name", "description"}},
    {"replica", {"name", "host", "description", "local"}},
    {"user", {"login", "password", "full-name", "email", "phone", "misc", "active", "auth", "privileges"}},
    {"record-type", {"name", "security-context"}},
    {"package", {"name", "revision"}},
    {"field", {"name", "type", "behavior", "max-length", "reference", "choice-list", "unique-key", "help"}},
    {"state", {"name"}},
    {"action", {"name", "type", "from", "to", "system-only"}},
    {"behavior", {"field", "state", "action", "value"}},
    {"hook", {"name", "type", "field", "action", "language"}},
    {"form", {"name", "type"}},
    {"family", {"name"}},
    {"record", {"type", "database", "state", "submitter", "created"}},
    {"folder", {"path", "database", "owner"}},
    {"query", {"path", "database", "owner", "record-type", "kind", "startup"}},
    {"permission", {"group", "allow"}},
    {"definition", {}},
    {"setting", {"name", "value"}},
};

void check_attributes(const Node &n) {
    auto it = kAttributes.find(n.name);
    if (it != kAttributes.end())
        for (const auto &[name, value] : n.attrs)
            if (!it->second.count(name)) fail(n, "unknown attribute '" + name + "' of <" + n.name + ">");
    for (const auto &c : n.children) check_attributes(*c);
}

class Builder {
public:
    Builder(Db &db, const Node &root) : db_(db), root_(root) {}

    void run() {
        db_.exec(kSchemaSql);
        db_.exec(kAddedIndexesSql);
        Stmt(db_.handle(), "INSERT INTO meta VALUES('schema_version', ?)").bind(1, kSchemaVersion).step();
        Stmt(db_.handle(), "INSERT INTO meta VALUES('dbset', ?)").bind(1, set_name()).step();
        // Single sign-on is accepted only with the set's own shared secret, kept as a password hash.
        bool sso = opt(root_, "sso") == "1";
        Stmt(db_.handle(), "INSERT INTO meta VALUES('sso_enabled', ?)").bind(1, sso ? "1" : "0").step();
        if (sso) {
            const std::string &secret = need(root_, "sso-password");
            Stmt(db_.handle(), "INSERT INTO meta VALUES('sso_salt', '')").step();
            Stmt(db_.handle(), "INSERT INTO meta VALUES('sso_hash', ?)").bind(1, password_hash(secret)).step();
        }
        master_ = db_.new_dbid();
        Stmt(db_.handle(),
             "INSERT INTO databases(dbid, name, description, is_master) VALUES(?, 'MASTR', 'master database', 1)")
            .bind(1, master_)
            .step();
        for (const auto &c : root_.children) {
            const Node &n = *c;
            static const std::set<std::string> known = {"database",    "group",   "user",    "replica", "list",
                                                        "record-type", "family",  "package", "record",  "folder",
                                                        "query",       "setting", "hook"};
            if (!known.count(n.name)) fail(n, "unknown element <" + n.name + ">");
        }
        each("setting", [&](const Node &n) {
            Stmt(db_.handle(), "INSERT OR REPLACE INTO meta VALUES(?, ?)")
                .bind(1, "setting:" + need(n, "name"))
                .bind(2, opt(n, "value"))
                .step();
        });
        each("database", [&](const Node &n) { database(n); });
        if (databases_.empty()) fail(root_, "a database set needs at least one <database>");
        each("group", [&](const Node &n) { group(n); });
        each("list", [&](const Node &n) { list(n); });
        each("replica", [&](const Node &n) { replica(n); });
        each("record-type", [&](const Node &n) { record_type_head(n); });
        each("record-type", [&](const Node &n) { record_type_body(n); });
        each("family", [&](const Node &n) { family(n); });
        each("package", [&](const Node &n) { package(n); });
        each("user", [&](const Node &n) { user(n); });
        each("group", [&](const Node &n) { group_subscriptions(n); });
        each("record", [&](const Node &n) { record(n); });
        check_references();
        each("folder", [&](const Node &n) { workspace_item(n, 4); });
        each("query", [&](const Node &n) {
            const std::string *kind = n.attr("kind");
            workspace_item(n, kind ? lookup(n, kItemKinds, "item kind", *kind) : 1);
        });
        int global_position = 0;
        each("hook", [&](const Node &n) { global_hook(n, global_position++); });
    }

    // A hook outside any record type: a global script, run by name on any record.
    void global_hook(const Node &n, int position) {
        if (lookup(n, kHookTypes, "hook type", need(n, "type")) != AD_HOOK_GLOBAL_SCRIPT || n.attr("field") ||
            n.attr("action"))
            fail(n, "a <hook> outside a <record-type> is a global-script with neither field nor action");
        Stmt(db_.handle(), "INSERT INTO hook_defs VALUES(?,NULL,?,?,NULL,NULL,?,?,?)")
            .bind(1, db_.new_dbid())
            .bind(2, need(n, "name"))
            .bind(3, static_cast<int>(AD_HOOK_GLOBAL_SCRIPT))
            .bind(4, opt(n, "language", "kx"))
            .bind(5, n.text)
            .bind(6, position)
            .step();
    }

    std::string set_name() const {
        const std::string *name = root_.attr("name");
        if (!name || !valid_set_name(*name))
            fail(root_, "the database set needs a name of letters, digits, '_' or '-'");
        return *name;
    }

private:
    template <class F>
    void each(const char *name, F f) {
        for (const auto &c : root_.children)
            if (c->name == name) f(*c);
    }

    const std::string &need(const Node &n, const char *attr) {
        const std::string *v = n.attr(attr);
        if (!v || v->empty()) fail(n, std::string("<") + n.name + "> needs the attribute '" + attr + "'");
        return *v;
    }
    std::string opt(const Node &n, const char *attr, const std::string &def = "") {
        const std::string *v = n.attr(attr);
        return v ? *v : def;
    }
    int opt_int(const Node &n, const char *attr, int def) {
        const std::string *v = n.attr(attr);
        if (!v) return def;
        char *end = nullptr;
        long x = std::strtol(v->c_str(), &end, 10);
        if (v->empty() || *end) fail(n, std::string("attribute '") + attr + "' must be a number");
        return static_cast<int>(x);
    }

    int64_t database_of(const Node &n) {
        std::string name = opt(n, "database");
        if (name.empty()) {
            if (databases_.size() == 1) return databases_.begin()->second;
            fail(n, "<" + n.name + "> needs the attribute 'database' in a set with several databases");
        }
        auto it = databases_.find(name);
        if (it == databases_.end()) fail(n, "unknown database '" + name + "'");
        return it->second;
    }

    void database(const Node &n) {
        const std::string &name = need(n, "name");
        if (name == "MASTR" || databases_.count(name)) fail(n, "duplicate database '" + name + "'");
        int64_t id = db_.new_dbid();
        Stmt(db_.handle(),
             "INSERT INTO databases(dbid, name, description, feature_level, soft_query_limit, hard_query_limit) "
             "VALUES(?,?,?,?,?,?)")
            .bind(1, id)
            .bind(2, name)
            .bind(3, opt(n, "description"))
            .bind(4, opt_int(n, "feature-level", 7))
            .bind(5, opt_int(n, "soft-query-limit", 0))
            .bind(6, opt_int(n, "hard-query-limit", 0))
            .step();
        databases_[name] = id;
        Stmt(db_.handle(), "INSERT INTO meta VALUES(?, '1')").bind(1, "next_id:" + name).step();
    }

    void group(const Node &n) {
        const std::string &name = need(n, "name");
        if (groups_.count(name)) fail(n, "duplicate group '" + name + "'");
        int64_t id = db_.new_dbid();
        Stmt(db_.handle(), "INSERT INTO groups(dbid, name, active) VALUES(?,?,?)")
            .bind(1, id)
            .bind(2, name)
            .bind(3, opt_int(n, "active", 1))
            .step();
        groups_[name] = id;
    }

    void subscriptions(const Node &n, int64_t user, int64_t group) {
        for (const auto &c : n.children) {
            if (c->name != "subscribe") continue;
            std::string db = need(*c, "database");
            std::vector<int64_t> ids;
            if (db == "*") {
                for (auto &d : databases_) ids.push_back(d.second);
            } else {
                auto it = databases_.find(db);
                if (it == databases_.end()) fail(*c, "unknown database '" + db + "'");
                ids.push_back(it->second);
            }
            for (int64_t id : ids) {
                Stmt s(db_.handle(), "INSERT INTO subscriptions(database_dbid, user_dbid, group_dbid) VALUES(?,?,?)");
                s.bind(1, id);
                if (user)
                    s.bind(2, user);
                else
                    s.bind_null(2);
                if (group)
                    s.bind(3, group);
                else
                    s.bind_null(3);
                s.step();
            }
        }
    }

    void group_subscriptions(const Node &n) { subscriptions(n, 0, groups_[need(n, "name")]); }

    void list(const Node &n) {
        const std::string &name = need(n, "name");
        if (lists_.count(name)) fail(n, "duplicate list '" + name + "'");
        int64_t id = db_.new_dbid();
        Stmt(db_.handle(), "INSERT INTO list_defs(dbid, name, position) VALUES(?,?,?)")
            .bind(1, id)
            .bind(2, name)
            .bind(3, static_cast<int64_t>(lists_.size()))
            .step();
        lists_.insert(name);
        int pos = 0;
        for (const auto &c : n.children) {
            if (c->name != "value") fail(*c, "<list> holds only <value> elements");
            Stmt(db_.handle(), "INSERT INTO list_values VALUES(?,?,?)")
                .bind(1, id)
                .bind(2, pos++)
                .bind(3, c->text)
                .step();
        }
    }

    void replica(const Node &n) {
        const std::string &name = need(n, "name");
        if (replicas_.count(name)) fail(n, "duplicate replica '" + name + "'");
        replicas_.insert(name);
        Stmt(db_.handle(), "INSERT INTO replicas(dbid, name, host, description, is_local) VALUES(?,?,?,?,?)")
            .bind(1, db_.new_dbid())
            .bind(2, name)
            .bind(3, opt(n, "host"))
            .bind(4, opt(n, "description"))
            .bind(5, opt_int(n, "local", 0))
            .step();
    }

    struct TypeInfo {
        int64_t dbid;
        bool stateful;
        std::map<std::string, int64_t> fields;
        std::map<std::string, int> field_types;
        std::map<std::string, int64_t> states;
        std::map<std::string, int64_t> actions;
        std::string unique_field;
    };

    void record_type_head(const Node &n) {
        const std::string &name = need(n, "name");
        if (types_.count(name)) fail(n, "duplicate record type '" + name + "'");
        int64_t id = db_.new_dbid();
        bool stateful = false;
        for (const auto &c : n.children)
            if (c->name == "state") stateful = true;
        Stmt(db_.handle(), "INSERT INTO entity_defs(dbid, name, is_family, entity_type, position, security_context) "
                           "VALUES(?,?,0,?,?,?)")
            .bind(1, id)
            .bind(2, name)
            .bind(3, stateful ? AD_STATEFUL : AD_STATELESS)
            .bind(4, static_cast<int64_t>(position_++))
            .bind(5, opt_int(n, "security-context", 0))
            .step();
        types_[name] = TypeInfo{id, stateful, {}, {}, {}, {}, {}};
    }

    int64_t add_field(TypeInfo &t, const Node &n, const std::string &name, int type, bool system, int behavior) {
        if (t.fields.count(name)) fail(n, "duplicate field '" + name + "'");
        int64_t id = db_.new_dbid();
        Stmt s(
            db_.handle(),
            "INSERT INTO field_defs(dbid, entity_def_dbid, name, field_type, position, is_system, reference_entity_def,"
            " max_length, default_behavior, choice_list, help_text, unique_key) VALUES(?,?,?,?,?,?,?,?,?,?,?,?)");
        s.bind(1, id)
            .bind(2, t.dbid)
            .bind(3, name)
            .bind(4, type)
            .bind(5, static_cast<int64_t>(t.fields.size()))
            .bind(6, system ? 1 : 0);
        if (!system && (type == 5 || type == 6)) {
            std::string ref = need(n, "reference");
            auto it = types_.find(ref);
            if (it == types_.end()) fail(n, "field '" + name + "' refers to unknown record type '" + ref + "'");
            s.bind(7, it->second.dbid);
        } else {
            s.bind_null(7);
        }
        std::string list = system ? "" : opt(n, "choice-list");
        if (!list.empty() && !lists_.count(list)) fail(n, "unknown list '" + list + "'");
        bool unique = !system && opt(n, "unique-key") == "1";
        s.bind(8, system ? 0 : opt_int(n, "max-length", type == 1 ? 254 : 0))
            .bind(9, behavior)
            .bind(10, list)
            .bind(11, system ? "" : opt(n, "help"))
            .bind(12, unique ? 1 : 0)
            .step();
        t.fields[name] = id;
        t.field_types[name] = type;
        if (unique) t.unique_field = name;
        return id;
    }

    void record_type_body(const Node &n) {
        TypeInfo &t = types_[need(n, "name")];
        add_field(t, n, "dbid", 11, true, 3);
        if (t.stateful) {
            add_field(t, n, "id", 8, true, 3);
            add_field(t, n, "State", 9, true, 3);
        }
        int pos = 0;
        for (const auto &c : n.children) {
            if (c->name == "field") {
                const std::string &name = need(*c, "name");
                int type = lookup(*c, kFieldTypes, "field type", need(*c, "type"));
                if (type == 8 || type == 9 || type == 11)
                    fail(*c, "field type '" + need(*c, "type") + "' is kept by the product");
                std::string b = opt(*c, "behavior", "optional");
                add_field(t, *c, name, type, false, lookup(*c, kBehaviors, "behavior", b));
            } else if (c->name == "state") {
                const std::string &name = need(*c, "name");
                if (t.states.count(name)) fail(*c, "duplicate state '" + name + "'");
                int64_t id = db_.new_dbid();
                Stmt(db_.handle(), "INSERT INTO states VALUES(?,?,?,?)")
                    .bind(1, id)
                    .bind(2, t.dbid)
                    .bind(3, name)
                    .bind(4, pos++)
                    .step();
                t.states[name] = id;
            } else if (c->name != "action" && c->name != "behavior" && c->name != "hook" && c->name != "form") {
                fail(*c, "unknown element <" + c->name + "> in <record-type>");
            }
        }
        if (!t.stateful && t.unique_field.empty())
            fail(n, "a record type without states needs a field with unique-key=\"1\"");
        pos = 0;
        for (const auto &c : n.children) {
            if (c->name != "action") continue;
            const std::string &name = need(*c, "name");
            if (t.actions.count(name)) fail(*c, "duplicate action '" + name + "'");
            int type = lookup(*c, kActionTypes, "action type", need(*c, "type"));
            int64_t id = db_.new_dbid();
            Stmt s(db_.handle(), "INSERT INTO action_defs VALUES(?,?,?,?,?,?,?)");
            s.bind(1, id).bind(2, t.dbid).bind(3, name).bind(4, type);
            std::string to = opt(*c, "to");
            if (!to.empty()) {
                if (!t.states.count(to)) fail(*c, "unknown state '" + to + "'");
                s.bind(5, t.states[to]);
            } else {
                if (t.stateful && (type == 1 || type == 3))
                    fail(*c, "action '" + name + "' needs a destination state 'to'");
                s.bind_null(5);
            }
            s.bind(6, opt_int(*c, "system-only", 0)).bind(7, pos++).step();
            for (const auto &from : words(opt(*c, "from"))) {
                if (!t.states.count(from)) fail(*c, "unknown state '" + from + "'");
                Stmt(db_.handle(), "INSERT INTO action_sources VALUES(?,?)").bind(1, id).bind(2, t.states[from]).step();
            }
            t.actions[name] = id;
        }
        pos = 0;
        for (const auto &c : n.children) {
            if (c->name == "behavior") {
                const std::string &field = need(*c, "field");
                if (!t.fields.count(field)) fail(*c, "unknown field '" + field + "'");
                Stmt s(db_.handle(), "INSERT INTO field_behaviors VALUES(?,?,?,?)");
                s.bind(1, t.fields[field]);
                std::string st = opt(*c, "state"), ac = opt(*c, "action");
                if (st.empty())
                    s.bind_null(2);
                else if (!t.states.count(st))
                    fail(*c, "unknown state '" + st + "'");
                else
                    s.bind(2, t.states[st]);
                if (ac.empty())
                    s.bind_null(3);
                else if (!t.actions.count(ac))
                    fail(*c, "unknown action '" + ac + "'");
                else
                    s.bind(3, t.actions[ac]);
                s.bind(4, lookup(*c, kBehaviors, "behavior", need(*c, "value"))).step();
            } else if (c->name == "hook") {
                Stmt s(db_.handle(), "INSERT INTO hook_defs VALUES(?,?,?,?,?,?,?,?,?)");
                s.bind(1, db_.new_dbid())
                    .bind(2, t.dbid)
                    .bind(3, need(*c, "name"))
                    .bind(4, lookup(*c, kHookTypes, "hook type", need(*c, "type")));
                std::string f = opt(*c, "field"), a = opt(*c, "action");
                if (f.empty())
                    s.bind_null(5);
                else if (!t.fields.count(f))
                    fail(*c, "unknown field '" + f + "'");
                else
                    s.bind(5, t.fields[f]);
                if (a.empty())
                    s.bind_null(6);
                else if (!t.actions.count(a))
                    fail(*c, "unknown action '" + a + "'");
                else
                    s.bind(6, t.actions[a]);
                s.bind(7, opt(*c, "language", "kx")).bind(8, c->text).bind(9, pos++).step();
            } else if (c->name == "form") {
                Stmt(db_.handle(), "INSERT INTO form_defs VALUES(?,?,?,?,?,?)")
                    .bind(1, db_.new_dbid())
                    .bind(2, t.dbid)
                    .bind(3, need(*c, "name"))
                    .bind(4, opt_int(*c, "type", 1))
                    .bind(5, form_layout(*c))
                    .bind(6, pos++)
                    .step();
            }
        }
    }

    // A form's layout is stored as text: its <layout> element written back as markup, or the
    // older layout text (usually CDATA) as it stands. Either must read as a form.
    std::string form_layout(const Node &n) {
        std::string text = n.text, error;
        if (!n.children.empty()) {
            if (n.children.size() == 1 && n.children[0]->name == "layout")
                text = markup(*n.children[0]);
            else
                error = "a <form> holds one <layout>";
        }
        if (error.empty()) error = MForm::CheckDefinition(text, nullptr);
        if (!error.empty()) fail(n, "form '" + need(n, "name") + "': " + error);
        return text;
    }

    static std::string markup(const Node &n) {
        std::string out = "<" + n.name;
        for (const auto &[name, value] : n.attrs) out += " " + name + "=\"" + xml_attr(value) + "\"";
        out += ">";
        for (const auto &c : n.children) out += markup(*c);
        return out + "</" + n.name + ">";
    }

    void family(const Node &n) {
        const std::string &name = need(n, "name");
        if (types_.count(name) || families_.count(name)) fail(n, "duplicate record type '" + name + "'");
        int64_t id = db_.new_dbid();
        // A family answers the kind of its members: with states when any member has them.
        bool stateful = false;
        for (const auto &c : n.children) {
            const std::string *m = c->attr("record-type");
            if (m && types_.count(*m) && types_[*m].stateful) stateful = true;
        }
        Stmt(db_.handle(), "INSERT INTO entity_defs(dbid, name, is_family, entity_type, position) VALUES(?,?,1,?,?)")
            .bind(1, id)
            .bind(2, name)
            .bind(3, stateful ? AD_STATEFUL : AD_STATELESS)
            .bind(4, static_cast<int64_t>(position_++))
            .step();
        families_.insert(name);
        int pos = 0;
        for (const auto &c : n.children) {
            if (c->name != "member") fail(*c, "<family> holds only <member> elements");
            const std::string &m = need(*c, "record-type");
            if (!types_.count(m)) fail(*c, "unknown record type '" + m + "'");
            Stmt(db_.handle(), "INSERT INTO family_members VALUES(?,?,?)")
                .bind(1, id)
                .bind(2, types_[m].dbid)
                .bind(3, pos++)
                .step();
        }
    }

    void package(const Node &n) {
        const std::string &name = need(n, "name");
        const std::string &revision = need(n, "revision");
        for (const auto &c : n.children) {
            if (c->name != "member") fail(*c, "<package> holds only <member> elements");
            const std::string &m = need(*c, "record-type");
            if (!types_.count(m)) fail(*c, "unknown record type '" + m + "'");
            Stmt s(db_.handle(), "INSERT OR IGNORE INTO package_revs VALUES(?,?,?)");
            s.bind(1, name).bind(2, revision).bind(3, types_[m].dbid).step();
        }
    }

    void user(const Node &n) {
        const std::string &login = need(n, "login");
        if (users_.count(login)) fail(n, "duplicate user '" + login + "'");
        int priv = 0;
        for (const auto &p : words(opt(n, "privileges"))) priv |= lookup(n, kPrivileges, "privilege", p);
        std::string auth = opt(n, "auth", "product");
        if (auth != "product" && auth != "ldap") fail(n, "unknown authentication '" + auth + "'");
        int64_t id = db_.new_dbid();
        Stmt(db_.handle(),
             "INSERT INTO users(dbid, login_name, full_name, email, phone, misc_info, password_salt, password_hash,"
             " privileges, auth_mode, active) VALUES(?,?,?,?,?,?,?,?,?,?,?)")
            .bind(1, id)
            .bind(2, login)
            .bind(3, opt(n, "full-name"))
            .bind(4, opt(n, "email"))
            .bind(5, opt(n, "phone"))
            .bind(6, opt(n, "misc"))
            .bind(7, "")
            .bind(8, password_hash(opt(n, "password")))
            .bind(9, priv)
            .bind(10, auth == "ldap" ? KX_AUTH_DIRECTORY : KX_AUTH_PRODUCT)
            .bind(11, opt_int(n, "active", 1))
            .step();
        users_[login] = id;
        for (const auto &c : n.children) {
            if (c->name == "member") {
                const std::string &g = need(*c, "group");
                if (!groups_.count(g)) fail(*c, "unknown group '" + g + "'");
                Stmt(db_.handle(), "INSERT INTO group_members VALUES(?,?)").bind(1, groups_[g]).bind(2, id).step();
            } else if (c->name != "subscribe") {
                fail(*c, "unknown element <" + c->name + "> in <user>");
            }
        }
        subscriptions(n, id, 0);
    }

    void record(const Node &n) {
        const std::string &type = need(n, "type");
        auto tit = types_.find(type);
        if (tit == types_.end()) fail(n, "unknown record type '" + type + "'");
        TypeInfo &t = tit->second;
        int64_t database = database_of(n);
        std::string dbname;
        for (auto &d : databases_)
            if (d.second == database) dbname = d.first;
        int64_t state = 0;
        if (t.stateful) {
            const std::string &st = need(n, "state");
            if (!t.states.count(st)) fail(n, "unknown state '" + st + "'");
            state = t.states[st];
        } else if (n.attr("state")) {
            fail(n, "record type '" + type + "' has no states");
        }
        int64_t id = db_.new_dbid();
        const size_t first_ref = refs_.size(); // this record's references are the ones it adds
        std::map<std::string, std::vector<std::string>> values;
        std::vector<const Node *> attachments;
        for (const auto &c : n.children) {
            if (c->name == "attachment") {
                const std::string &f = need(*c, "field");
                if (!t.fields.count(f)) fail(*c, "unknown field '" + f + "'");
                if (t.field_types[f] != 7) fail(*c, "field '" + f + "' holds no attachments");
                if (need(*c, "name").empty()) fail(*c, "an attachment needs a file name");
                attachments.push_back(c.get());
                continue;
            }
            if (c->name != "value") fail(*c, "<record> holds only <value> and <attachment> elements");
            const std::string &f = need(*c, "field");
            if (!t.fields.count(f)) fail(*c, "unknown field '" + f + "'");
            int ft = t.field_types[f];
            if (ft == 8 || ft == 9 || ft == 11 || ft == 7) fail(*c, "field '" + f + "' cannot be given a value here");
            if (!values[f].empty() && ft != 6) fail(*c, "field '" + f + "' takes one value");
            if (ft == 3) {
                char *end = nullptr;
                std::strtoll(c->text.c_str(), &end, 10);
                if (c->text.empty() || *end) fail(*c, "field '" + f + "' needs an integer");
            }
            if (ft == 4) {
                AdDateTime dt;
                if (!dt.ParseDateTimeGMT(w(c->text))) fail(*c, "field '" + f + "' needs a date 'YYYY-MM-DD HH:MM:SS'");
            }
            values[f].push_back(c->text);
            if (ft == 5 || ft == 6) refs_.push_back(Ref{c->line, database, 0, f, c->text, std::string()});
        }
        std::string display;
        if (t.stateful) {
            std::string key = "next_id:" + dbname;
            int64_t next = *db_.scalar_int("SELECT CAST(value AS INTEGER) FROM meta WHERE key=?", key);
            char buf[64];
            std::snprintf(buf, sizeof buf, "%s%08lld", dbname.c_str(), static_cast<long long>(next));
            display = buf;
            Stmt(db_.handle(), "UPDATE meta SET value=? WHERE key=?")
                .bind(1, std::to_string(next + 1))
                .bind(2, key)
                .step();
            values["id"] = {display};
        } else {
            auto it = values.find(t.unique_field);
            if (it == values.end() || it->second[0].empty())
                fail(n, "record needs a value for its key field '" + t.unique_field + "'");
            display = it->second[0];
        }
        for (size_t i = first_ref; i < refs_.size(); ++i) refs_[i].record = id, refs_[i].type = type;
        std::string now = opt(n, "created", "2026-01-05 09:00:00");
        Stmt s(db_.handle(),
               "INSERT INTO records(dbid, entity_def_dbid, database_dbid, display_name, state_dbid, created, modified)"
               " VALUES(?,?,?,?,?,?,?)");
        s.bind(1, id).bind(2, t.dbid).bind(3, database).bind(4, display);
        if (state)
            s.bind(5, state);
        else
            s.bind_null(5);
        try {
            s.bind(6, now).bind(7, now).step();
        } catch (const StoreError &) {
            fail(n, "duplicate record '" + display + "'");
        }
        values["dbid"] = {std::to_string(id)};
        std::vector<std::pair<int, std::string>> typed;
        for (auto &[f, vs] : values)
            for (auto &v : vs) typed.emplace_back(t.field_types[f], v);
        index_record_text(db_, id, database, display, typed);
        for (auto &[f, vs] : values) {
            int pos = 0;
            for (auto &v : vs)
                Stmt(db_.handle(), "INSERT INTO field_values VALUES(?,?,?,?)")
                    .bind(1, id)
                    .bind(2, t.fields[f])
                    .bind(3, pos++)
                    .bind(4, v)
                    .step();
        }
        for (const Node *a : attachments) {
            const std::string &f = need(*a, "field");
            Stmt(db_.handle(),
                 "INSERT INTO attachments(dbid, record_dbid, field_dbid, file_name, description, size, content)"
                 " VALUES(?,?,?,?,?,?,?)")
                .bind(1, db_.new_dbid())
                .bind(2, id)
                .bind(3, t.fields[f])
                .bind(4, need(*a, "name"))
                .bind(5, opt(*a, "description"))
                .bind(6, static_cast<int64_t>(a->text.size()))
                .bind_blob(7, a->text.data(), a->text.size())
                .step();
        }
        std::string submitter = opt(n, "submitter");
        int64_t user = 0;
        if (!submitter.empty()) {
            if (!users_.count(submitter)) fail(n, "unknown user '" + submitter + "'");
            user = users_[submitter];
        }
        // A loaded record was submitted: its history names the record type's submit action, if any.
        Stmt h(db_.handle(),
               "INSERT INTO history(dbid, record_dbid, action_dbid, user_dbid, at, old_state, new_state) VALUES(?,?,"
               "(SELECT dbid FROM action_defs WHERE entity_def_dbid=? AND action_type=1 ORDER BY position LIMIT "
               "1),?,?,NULL,?)");
        h.bind(1, db_.new_dbid()).bind(2, id).bind(3, t.dbid);
        if (user)
            h.bind(4, user);
        else
            h.bind_null(4);
        h.bind(5, now);
        if (state)
            h.bind(6, state);
        else
            h.bind_null(6);
        h.step();
    }

    struct Ref {
        int line;
        int64_t database;
        int64_t record;
        std::string field;
        std::string value;
        std::string type;
    };

    void check_references() {
        for (const auto &r : refs_) {
            TypeInfo &t = types_[r.type];
            auto ref_type = db_.scalar_int("SELECT reference_entity_def FROM field_defs WHERE dbid=" +
                                           std::to_string(t.fields[r.field]));
            Stmt s(db_.handle(),
                   "SELECT 1 FROM records WHERE entity_def_dbid=? AND database_dbid=? AND display_name=?");
            s.bind(1, ref_type.value_or(0)).bind(2, r.database).bind(3, r.value);
            if (!s.step())
                throw LoadError{r.line, "field '" + r.field + "' refers to unknown record '" + r.value + "'"};
        }
    }

    int64_t top_folder(const Node &n, int64_t database, int folder_type, int64_t owner) {
        std::string key = std::to_string(database) + ":" + std::to_string(folder_type) + ":" + std::to_string(owner);
        auto it = tops_.find(key);
        if (it != tops_.end()) return it->second;
        int64_t id = db_.new_dbid();
        Stmt s(db_.handle(), "INSERT INTO buckets(dbid, database_dbid, parent_dbid, name, item_type, folder_type, "
                             "owner_dbid) VALUES(?,?,NULL,?,4,?,?)");
        s.bind(1, id)
            .bind(2, database)
            .bind(3, folder_type == 1 ? "Public Queries" : "Personal Queries")
            .bind(4, folder_type);
        if (owner)
            s.bind(5, owner);
        else
            s.bind_null(5);
        try {
            s.step();
        } catch (const StoreError &) {
            fail(n, "cannot create the top folder");
        }
        tops_[key] = id;
        return id;
    }

    void workspace_item(const Node &n, int item_type) {
        int64_t database = database_of(n);
        std::vector<std::string> parts = split_path(need(n, "path"));
        int folder_type;
        if (parts[0] == "Public Queries")
            folder_type = 1;
        else if (parts[0] == "Personal Queries")
            folder_type = 2;
        else
            fail(n, "a workspace path starts with 'Public Queries' or 'Personal Queries'");
        if (parts.size() < 2) fail(n, "the top folders exist already");
        for (const auto &p : parts)
            if (p.empty()) fail(n, "empty segment in workspace path");
        int64_t owner = 0;
        std::string owner_name = opt(n, "owner");
        if (!owner_name.empty()) {
            if (!users_.count(owner_name)) fail(n, "unknown user '" + owner_name + "'");
            owner = users_[owner_name];
        }
        if (folder_type == 2 && !owner) fail(n, "a personal workspace item needs an 'owner'");
        int64_t parent = top_folder(n, database, folder_type, folder_type == 2 ? owner : 0);
        for (size_t i = 1; i + 1 < parts.size(); ++i) {
            Stmt q(db_.handle(), "SELECT dbid, item_type FROM buckets WHERE parent_dbid=? AND name=?");
            q.bind(1, parent).bind(2, parts[i]);
            if (q.step()) {
                if (!(q.integer(1) & 4)) fail(n, "'" + parts[i] + "' is not a folder");
                parent = q.int64(0);
            } else {
                int64_t id = db_.new_dbid();
                Stmt f(db_.handle(), "INSERT INTO buckets(dbid, database_dbid, parent_dbid, name, item_type, "
                                     "owner_dbid) VALUES(?,?,?,?,4,?)");
                f.bind(1, id).bind(2, database).bind(3, parent).bind(4, parts[i]);
                if (owner)
                    f.bind(5, owner);
                else
                    f.bind_null(5);
                f.step();
                parent = id;
            }
        }
        int64_t entity = 0;
        std::string rt = opt(n, "record-type");
        if (!rt.empty()) {
            if (types_.count(rt))
                entity = types_[rt].dbid;
            else
                fail(n, "unknown record type '" + rt + "'");
        } else if (item_type != 4) {
            fail(n, "a query needs its 'record-type'");
        }
        int64_t id = db_.new_dbid();
        Stmt s(db_.handle(),
               "INSERT INTO buckets(dbid, database_dbid, parent_dbid, name, item_type, owner_dbid, entity_def_dbid,"
               " definition, is_startup) VALUES(?,?,?,?,?,?,?,?,?)");
        s.bind(1, id).bind(2, database).bind(3, parent).bind(4, parts.back()).bind(5, item_type);
        if (owner)
            s.bind(6, owner);
        else
            s.bind_null(6);
        if (entity)
            s.bind(7, entity);
        else
            s.bind_null(7);
        std::string definition;
        for (const auto &c : n.children) {
            if (c->name == "permission") {
                if (item_type != 4) fail(*c, "permissions belong to folders");
            } else if (c->name == "definition") {
                definition = c->text;
            } else {
                fail(*c, "unknown element <" + c->name + "> in <" + n.name + ">");
            }
        }
        s.bind(8, definition).bind(9, opt_int(n, "startup", 0));
        try {
            s.step();
        } catch (const StoreError &) {
            fail(n, "duplicate workspace item '" + need(n, "path") + "'");
        }
        for (const auto &c : n.children) {
            if (c->name != "permission") continue;
            const std::string &g = need(*c, "group");
            if (!groups_.count(g)) fail(*c, "unknown group '" + g + "'");
            int perm = AD_PERM_NO_ACCESS;
            for (const auto &p : words(need(*c, "allow")))
                perm = std::max(perm, lookup(*c, kPermissions, "permission", p));
            Stmt(db_.handle(), "INSERT INTO bucket_permissions VALUES(?,?,?)")
                .bind(1, id)
                .bind(2, groups_[g])
                .bind(3, perm)
                .step();
        }
    }

    Db &db_;
    const Node &root_;
    int64_t master_ = 0;
    int position_ = 0;
    std::map<std::string, int64_t> databases_, groups_, users_, tops_;
    std::set<std::string> lists_, replicas_, families_;
    std::map<std::string, TypeInfo> types_;
    std::vector<Ref> refs_;
};

} // namespace

CString create_set(const std::string &xml, const std::string &directory) {
    try {
        std::unique_ptr<Node> root = parse(xml);
        if (root->name != "kxdefinition") fail(*root, "the document element must be <kxdefinition>");
        check_attributes(*root);
        const std::string *name = root->attr("name");
        if (!name || !valid_set_name(*name))
            fail(*root, "the database set needs a name of letters, digits, '_' or '-'");
        std::string final_path = directory + "/" + *name + ".kxdb";
        if (::access(final_path.c_str(), F_OK) == 0) fail(*root, "database set '" + *name + "' exists already");
        std::string tmp = directory + "/." + *name + ".kxdb." + std::to_string(::getpid()) + ".tmp";
        std::remove(tmp.c_str());
        try {
            {
                Db db(tmp, true);
                ::chmod(tmp.c_str(), 0600);
                Txn txn(db);
                Builder(db, *root).run();
                txn.commit();
                db.exec("PRAGMA wal_checkpoint(TRUNCATE)");
                db.exec("PRAGMA journal_mode=DELETE");
            }
            // link() refuses to replace a set that appeared meanwhile.
            if (::link(tmp.c_str(), final_path.c_str()) != 0)
                fail(*root, "database set '" + *name + "' exists already");
            std::remove(tmp.c_str());
        } catch (...) {
            std::remove(tmp.c_str());
            std::remove((tmp + "-wal").c_str());
            std::remove((tmp + "-shm").c_str());
            throw;
        }
        return w(*name);
    } catch (const LoadError &e) {
        throw_kx(KX_MSG_BAD_VALUE, w("line " + std::to_string(e.line) + ": " + e.text),
                 "KXProductStore::CreateFromDefinition");
    } catch (const StoreError &e) {
        throw_kx(KX_MSG_COMMIT_FAILED, w(e.text), "KXProductStore::CreateFromDefinition");
    }
}

} // namespace kxp
