// Workspace item properties against the real program and its demo set: folder access control
// fetched, put back and refused, new items made by mkresource, copies made by copy_query.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "props_client.h"
#include "raw_calls.h"

using namespace e2e;

namespace {

constexpr int kFetch = 3, kPut = 4, kMkresource = 8, kCopy = 20;

Handle as_handle(std::string const &bytes) {
    Handle h{};
    for (std::size_t i = 0; i < h.size() && i < bytes.size(); ++i) h[i] = bytes[i];
    return h;
}

// The value of a put: prop id, value type, then its body.
struct Value {
    int prop, type;
    std::string text; // strings and XML
    int number = 0;   // bools
};

Body &values(Body &b, std::vector<Value> const &vs) {
    b.i(static_cast<int>(vs.size()));
    for (Value const &v : vs) {
        b.i(v.prop).i(v.type);
        if (v.type == 100001 || v.type == 100019) b.s(v.text);
        if (v.type == 100006) b.i(v.number);
    }
    return b.i(0).i(0).i(0); // no dynamic names, not atomic, no callback
}

// The failure of each value of a put reply (empty text for one that was set), after the reply's
// leading FALSE; then the changed-fields trailer of a resource without tracking. `reasons`, when
// given, takes each value's reason (0 for one that was set).
std::vector<std::string> put_results(Reply &r, std::vector<int> *reasons = nullptr) {
    std::vector<std::string> out;
    while (r.u() == 1) {
        std::pair<int, std::string> failure = r.u() == 1 ? r.error() : std::pair<int, std::string>();
        out.push_back(failure.second);
        if (reasons) reasons->push_back(failure.first);
    }
    EXPECT_EQ(r.u(), 0u);
    EXPECT_EQ(r.i(), 0);
    return out;
}

class WsPropsE2E : public LoggedOnTest {
protected:
    Fetch fetch(int type, std::string const &name, std::vector<int> ids,
                std::vector<std::pair<std::string, std::string>> dynamic = {}) {
        Fetch f;
        f.session = as_handle(alice_);
        f.type = type;
        f.names = {name};
        for (int id : ids) f.props.push_back(Prop{id, {}});
        f.dynamic = std::move(dynamic);
        EXPECT_EQ(RPC_SUCCESS, call_fetch(*client_, f));
        EXPECT_FALSE(f.failed) << f.error.message;
        EXPECT_EQ(f.entries.size(), f.props.size());
        return f;
    }
    Fetch fetch_held(int type, std::string const &handle, std::vector<int> ids) {
        Fetch f;
        f.session = as_handle(alice_);
        f.type = type;
        f.by_handle = true;
        f.held = as_handle(handle);
        for (int id : ids) f.props.push_back(Prop{id, {}});
        EXPECT_EQ(RPC_SUCCESS, call_fetch(*client_, f));
        EXPECT_FALSE(f.failed) << f.error.message;
        return f;
    }
    std::vector<std::string> put(int type, std::string const &name, std::vector<Value> const &vs) {
        Body b = props_session(alice_).named(type, name);
        Reply r = call(*client_, kPut, values(b, vs));
        EXPECT_EQ(r.u(), 0u);
        std::vector<std::string> out = put_results(r);
        EXPECT_TRUE(r.done());
        return out;
    }
    // mkresource of a query (on a record type), folder or report under a full name: the new
    // item's handle and the put results.
    std::pair<std::string, std::vector<std::string>>
    make(int type, std::string const &full_name, std::vector<Value> const &vs, std::vector<int> *reasons = nullptr) {
        Body b = props_session(alice_).named(31, "Defect").i(type).i(0).s(full_name);
        Reply r = call(*client_, kMkresource, values(b, vs));
        if (r.u() != 0) {
            ADD_FAILURE() << r.error().second;
            return {};
        }
        std::string handle = r.handle();
        std::vector<std::string> results = put_results(r, reasons);
        EXPECT_EQ(r.u(), 0u); // no record was made
        EXPECT_TRUE(r.done());
        return {handle, results};
    }
};

std::string xml_of(std::string const &entry) {
    EXPECT_EQ(entry.rfind("xml:", 0), 0u) << entry;
    return entry.substr(4);
}

// xmllint's verdict on a document.
bool well_formed(TempDir &dir, std::string const &xml) {
    std::string const path = dir.file("acl.xml");
    std::ofstream(path) << xml;
    return std::system(("xmllint --noout " + path + " 2>/dev/null").c_str()) == 0;
}

} // namespace

TEST_F(WsPropsE2E, AppliedEntriesReadBackThroughAPutAndRefuseUnknownGroups) {
    std::string const folder = "Public Queries/Defects";
    Fetch before = fetch(37, folder, {1033, 1040, 509, 521, 385, 1061});
    std::string const applied = xml_of(before.entries[0]);
    ASSERT_TRUE(well_formed(dir_, applied)) << applied;
    for (char const *part : {"kx.group:Developers@KXDEMO", "kx.group:Everyone@KXDEMO", "permission-read-write",
                             "permission-read-only", "controlled-resource"})
        EXPECT_NE(applied.find(part), std::string::npos) << part << " in " << applied;
    EXPECT_EQ(before.entries[1], "bool:0"); // alice is a developer (read-write), not a changer
    EXPECT_EQ(before.entries[2], "bool:1");
    EXPECT_EQ(before.entries[3], "bool:1");
    EXPECT_EQ(before.entries[5], "str:Defects");

    // alice may not change the folder's permissions: the put fails and nothing changes.
    EXPECT_NE(put(37, folder, {{1033, 100019, applied}})[0], "");
    std::string const admin = login(*client_, "admin");
    alice_ = admin;
    EXPECT_EQ(put(37, folder, {{1033, 100019, applied}}), std::vector<std::string>{""});
    EXPECT_EQ(xml_of(fetch(37, folder, {1033}).entries[0]), applied);

    // A group the set does not know, and an entry without a privilege, are refused whole.
    std::string unknown = applied;
    unknown.replace(unknown.find("Developers"), 10, "Nobody");
    std::string no_kind = "<TEAM:applied-access-control-entries xmlns:TEAM=\"http://korvax.example/TEAM\" "
                          "xmlns:ACL=\"http://korvax.example/TEAM/ACL\"><ACL:acl-entry><ACL:acl-principal>"
                          "<ACL:acl-principal-name>kx.group:QA@KXDEMO</ACL:acl-principal-name></ACL:acl-principal>"
                          "</ACL:acl-entry></TEAM:applied-access-control-entries>";
    for (std::string const &bad : {unknown, no_kind}) {
        std::vector<std::string> r = put(37, folder, {{1033, 100019, bad}});
        ASSERT_EQ(r.size(), 1u);
        EXPECT_NE(r[0].find("Incorrect XML for ACL List"), std::string::npos) << r[0];
    }
    EXPECT_EQ(xml_of(fetch(37, folder, {1033}).entries[0]), applied);

    // An empty value clears the entries; the effective ones then come from no folder.
    EXPECT_EQ(put(37, folder, {{1033, 100002, ""}}), std::vector<std::string>{""});
    EXPECT_EQ(fetch(37, folder, {1033, 1064}).entries, (std::vector<std::string>{"empty:973", "empty:973"}));
}

TEST_F(WsPropsE2E, EffectiveEntriesChildrenAndPrincipals) {
    std::string const folder = "Public Queries/Defects";
    Fetch f = fetch(37, folder, {1064, 1028, 1000000, 1000001, 352, 353},
                    {{"GROUP_ACCESS:", "EFFECTIVE-Developers"}, {"GROUP_ACCESS:", "nested-APPLIED-no-such-group"}});
    std::string const effective = xml_of(f.entries[0]);
    EXPECT_TRUE(well_formed(dir_, effective));
    EXPECT_NE(effective.find("kx.group:Developers@KXDEMO"), std::string::npos);
    EXPECT_NE(xml_of(f.entries[1]).find("permission-read-write"), std::string::npos); // alice's own
    EXPECT_NE(xml_of(f.entries[2]).find("permission-read-write"), std::string::npos);
    EXPECT_EQ(xml_of(f.entries[2]).find("Everyone"), std::string::npos);
    // The name after the mode is read whole, dashes included.
    EXPECT_NE(f.entries[3].find("Unknown group or user name: 'no-such-group'"), std::string::npos) << f.entries[3];
    EXPECT_EQ(f.entries[4].rfind("[res35:", 0), 0u) << f.entries[4];
    EXPECT_NE(f.entries[5].find("bind:Defects by Severity=res35:"), std::string::npos) << f.entries[5];
}

TEST_F(WsPropsE2E, NewFolderHoldsItsEntriesAndRefreshWithoutAFolderDoesNothing) {
    std::string const acl =
        "<TEAM:applied-access-control-entries xmlns:TEAM=\"http://korvax.example/TEAM\" "
        "xmlns:ACL=\"http://korvax.example/TEAM/ACL\" xmlns:KX=\"http://korvax.example/TEAM/KX\"><ACL:acl-entry>"
        "<ACL:acl-principal><ACL:acl-principal-name>kx.group:QA@KXDEMO</ACL:acl-principal-name></ACL:acl-principal>"
        "<ACL:acl-privilege><KX:permission-change/></ACL:acl-privilege></ACL:acl-entry>"
        "</TEAM:applied-access-control-entries>";
    auto [handle, results] = make(37, "Public Queries/New", {{1033, 100019, acl}, {1151, 100006, "", 1}});
    EXPECT_EQ(results, (std::vector<std::string>{"", ""}));
    Fetch f = fetch_held(37, handle, {509, 521, 1040, 1033, 385, 352});
    ASSERT_EQ(f.entries.size(), 6u);
    EXPECT_EQ(f.entries[0], "bool:1");
    EXPECT_EQ(f.entries[1], "bool:1");
    EXPECT_EQ(f.entries[2], "bool:1");
    std::string const held = xml_of(f.entries[3]);
    EXPECT_NE(held.find("kx.group:QA@KXDEMO"), std::string::npos);
    EXPECT_NE(held.find("permission-change"), std::string::npos);
    EXPECT_EQ(f.entries[4], "empty:956");
    EXPECT_EQ(f.entries[5], "empty:967");
}

TEST_F(WsPropsE2E, NewQueryTakesItsStartupFlagButAStoredOneIsNotEditable) {
    auto [handle, results] = make(36, "Personal Queries/Mine", {{514, 100006, "", 1}, {689, 100001, "x"}});
    ASSERT_EQ(results.size(), 2u);
    EXPECT_EQ(results[0], "");
    // SQL of her own needs the raw-SQL-writer privilege, which alice does not have: a refusal in
    // its own words, made or put on the held item alike.
    std::string const privilege =
        "TLQSV0796E Insufficient privilege: Only a raw-SQL writer may give a query SQL of its own.";
    EXPECT_EQ(results[1], privilege);
    Body held = props_session(alice_).i(36).i(3).u(16).raw(handle);
    Reply put_reply = call(*client_, kPut, values(held, {{689, 100001, "y"}}));
    EXPECT_EQ(put_reply.u(), 0u);
    EXPECT_EQ(put_results(put_reply), (std::vector<std::string>{privilege}));
    EXPECT_TRUE(put_reply.done());
    Fetch f = fetch_held(36, handle, {514, 632, 608, 346});
    EXPECT_EQ(f.entries[0], "bool:1");
    EXPECT_EQ(f.entries[1], "enum:630");
    EXPECT_EQ(f.entries[2].rfind("res31:", 0), 0u) << f.entries[2];
    EXPECT_EQ(f.entries[3], "empty:970");
    // Display fields and filter of stored queries, put on the new one, read back the same.
    Fetch stored = fetch(36, "Public Queries/Defects/Open Defects", {412, 449, 417});
    std::string const fields = xml_of(stored.entries[0]), filter = xml_of(stored.entries[1]);
    EXPECT_NE(fields.find("display-fields"), std::string::npos) << fields;
    EXPECT_NE(filter.find("filtering"), std::string::npos) << filter;
    EXPECT_EQ(stored.entries[2], "empty:973"); // no prompted filter
    EXPECT_TRUE(well_formed(dir_, fields) && well_formed(dir_, filter));
    Body put_by_handle = props_session(alice_).i(36).i(3).u(16).raw(handle);
    Reply applied = call(*client_, kPut, values(put_by_handle, {{412, 100019, fields}, {449, 100019, filter}}));
    ASSERT_EQ(applied.u(), 0u);
    EXPECT_EQ(put_results(applied), (std::vector<std::string>{"", ""}));
    Fetch back = fetch_held(36, handle, {412, 449});
    EXPECT_EQ(back.entries, (std::vector<std::string>{"xml:" + fields, "xml:" + filter}));
    // A filter the reader refuses leaves the held one as it was.
    Body bad = props_session(alice_).i(36).i(3).u(16).raw(handle);
    Reply refused = call(
        *client_, kPut,
        values(bad, {{449, 100019,
                      "<CTG:filtering xmlns:CTG=\"http://korvax.example/TEAM/CTG\"><CTG:nonsense/></CTG:filtering>"}}));
    ASSERT_EQ(refused.u(), 0u);
    EXPECT_NE(put_results(refused)[0], "");
    EXPECT_EQ(fetch_held(36, handle, {449}).entries[0], "xml:" + filter);

    // A stored query through its name holds no definition to change.
    std::vector<std::string> r = put(36, "Public Queries/All Defects", {{514, 100006, "", 1}});
    ASSERT_EQ(r.size(), 1u);
    EXPECT_NE(r[0].find("query is not editable"), std::string::npos) << r[0];
    EXPECT_EQ(fetch(36, "Public Queries/All Defects", {514}).entries[0], "bool:0");
}

TEST_F(WsPropsE2E, ReportNamesItsQueryAndFormat) {
    Fetch stored = fetch(38, "Public Queries/Defects/Defect Summary", {263, 282, 287, 632});
    EXPECT_EQ(stored.entries[0], "bool:1");
    EXPECT_EQ(stored.entries[1].rfind("res35:", 0), 0u);
    EXPECT_EQ(stored.entries[2].rfind("res38:", 0), 0u);
    EXPECT_EQ(stored.entries[3], "enum:649");
    auto [handle, results] = make(38, "Public Queries/Defects/R", {});
    Fetch fresh = fetch_held(38, handle, {263, 282});
    EXPECT_EQ(fresh.entries, (std::vector<std::string>{"bool:0", "empty:966"}));
    Fetch format = fetch(39, "Public Queries/Report Formats/Summary Format", {632, 600});
    EXPECT_EQ(format.entries[0], "enum:650");
    EXPECT_EQ(format.entries[1].rfind("res31:", 0), 0u);
}

TEST_F(WsPropsE2E, CopyOfAFolderListsItsSubtreeUnderTheDestination) {
    Body b = props_session(alice_).named(37, "Public Queries/Defects").s("Public Queries/Copy");
    b.i(0).i(0); // nothing left out, no new or modified items
    Reply r = call(*client_, kCopy, values(b, {}));
    ASSERT_EQ(r.u(), 0u);
    int const n = r.i();
    std::vector<std::pair<std::string, int>> copied;
    for (int k = 0; k < n; ++k) {
        EXPECT_EQ(r.handle().size(), 16u);
        std::string path = r.s();
        copied.emplace_back(path, r.i());
    }
    EXPECT_EQ(r.i(), 0);
    EXPECT_TRUE(put_results(r).empty());
    EXPECT_TRUE(r.done());
    ASSERT_FALSE(copied.empty());
    EXPECT_EQ(copied[0], (std::pair<std::string, int>{"Public Queries/Copy", 37}));
    for (auto const &[path, type] : copied) EXPECT_EQ(path.rfind("Public Queries/Copy", 0), 0u) << path;
    EXPECT_NE(
        std::find(copied.begin(), copied.end(), std::pair<std::string, int>{"Public Queries/Copy/Defect Summary", 38}),
        copied.end());

    // A source claimed to be of another kind is refused.
    Body wrong = props_session(alice_).named(36, "Public Queries/Defects").s("Public Queries/X");
    wrong.i(0).i(0);
    Reply refused = call(*client_, kCopy, values(wrong, {}));
    ASSERT_EQ(refused.u(), 1u);
    EXPECT_EQ(refused.error().first, 4);
}

namespace {

// A server whose sessions may hold only 64 KiB in memory.
class SmallMemoryWsPropsE2E : public WsPropsE2E {
protected:
    std::vector<std::string> environment() const override { return {"KX_SESSION_MEMORY_BYTES=65536"}; }
};

constexpr char kSessionMemoryRefusal[] = "TLQSV1109E Too many bytes held in memory by this session's items "
                                         "(KX_SESSION_MEMORY_BYTES, 65536); release some and try again.";

} // namespace

TEST_F(SmallMemoryWsPropsE2E, QueryItemsHoldingLargeDefinitionsMeetTheSessionsMemoryBound) {
    // The stored filter with a 4096-character constant: some 16 KiB of definition once read.
    std::string const stored = xml_of(fetch(36, "Public Queries/Defects/Open Defects", {449}).entries[0]);
    std::size_t const at = stored.find(">Opened<");
    ASSERT_NE(at, std::string::npos) << stored;
    auto with_constant = [&](std::size_t n) { return std::string(stored).replace(at + 1, 6, std::string(n, 'x')); };
    std::string const large = with_constant(4096);

    // New queries, each given the large filter, until the bound refuses one; that item holds none.
    std::vector<std::string> held;
    std::string refused;
    for (int k = 0; k < 16 && refused.empty(); ++k) {
        std::vector<int> reasons;
        auto [handle, results] =
            make(36, "Personal Queries/Large " + std::to_string(k), {{449, 100019, large}}, &reasons);
        ASSERT_EQ(results.size(), 1u);
        if (results[0].empty()) {
            held.push_back(handle);
            continue;
        }
        EXPECT_EQ(reasons[0], 40);
        EXPECT_EQ(results[0], kSessionMemoryRefusal);
        refused = handle;
    }
    ASSERT_FALSE(refused.empty()) << held.size() << " large definitions held within 64 KiB";
    ASSERT_GE(held.size(), 1u);
    EXPECT_EQ(fetch_held(36, refused, {449}).entries[0].rfind("empty:", 0), 0u);

    // A put of a larger filter on a held query is refused before it changes: the item keeps its own.
    Body grow = props_session(alice_).i(36).i(3).u(16).raw(held[0]);
    Reply put_reply = call(*client_, kPut, values(grow, {{449, 100019, with_constant(8192)}}));
    ASSERT_EQ(put_reply.u(), 0u);
    std::vector<int> reasons;
    EXPECT_EQ(put_results(put_reply, &reasons), std::vector<std::string>{kSessionMemoryRefusal});
    EXPECT_EQ(reasons, std::vector<int>{40});
    EXPECT_EQ(fetch_held(36, held[0], {449}).entries[0], "xml:" + large);

    // A copy of a held query brings its definition: refused the same way.
    Body copy = props_session(alice_).i(36).i(3).u(16).raw(held[0]).s("Personal Queries/Copy");
    copy.i(0).i(0);
    Reply copied = call(*client_, kCopy, values(copy, {}));
    ASSERT_EQ(copied.u(), 1u);
    EXPECT_EQ(copied.error(), (std::pair<int, std::string>{40, kSessionMemoryRefusal}));

    // Copies of a report format hold its raw data: the bound refuses them too, within the room left.
    bool raw_refused = false;
    for (int k = 0; k < 200 && !raw_refused; ++k) {
        Body raw = props_session(alice_).named(39, "Public Queries/Report Formats/Summary Format");
        raw.s("Personal Queries/Format " + std::to_string(k)).i(0).i(0);
        Reply r = call(*client_, kCopy, values(raw, {}));
        if (r.u() == 0) continue;
        EXPECT_EQ(r.error(), (std::pair<int, std::string>{40, kSessionMemoryRefusal}));
        raw_refused = true;
    }
    EXPECT_TRUE(raw_refused);
}
