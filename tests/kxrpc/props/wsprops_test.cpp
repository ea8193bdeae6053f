// Workspace item property objects against the demo set: the access-control XML written and read
// back, its refusals, folder security switched off, product failures, and puts that must change
// nothing.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <future>
#include <string>

#include "demo_session.h"
#include "kxproduct/security.h"
#include "props/acl_xml.h"
#include "props/values.h"
#include "props/wsprops.h"
#include "recording_sink.h"
#include "set_file.h"
#include "target/held_items.h"
#include "target/queryutil.h"
#include "target/workspace.h"
#include "tesutil/xmltag.h"
#include "wexxml/domparser.h"

using namespace KxRpc;

namespace {

std::string const bad_acl = "40:TLQSV0769E Internal Error: Incorrect XML for ACL List";
std::string const unknown_kind = "40:TLQSV0769E Internal Error: Unknown permission kind";
std::string const not_editable = "40:TLQSV0769E Internal Error: query is not editable";

std::string const acl_open = "<TEAM:applied-access-control-entries xmlns:TEAM=\"http://korvax.example/TEAM\" "
                             "xmlns:ACL=\"http://korvax.example/TEAM/ACL\" xmlns:KX=\"http://korvax.example/TEAM/KX\">";
std::string const acl_close = "</TEAM:applied-access-control-entries>";

std::string entry(std::string const &principal, std::string const &privilege) {
    return "<ACL:acl-entry>" + principal + privilege + "</ACL:acl-entry>";
}
std::string principal(std::string const &selector) {
    return "<ACL:acl-principal><ACL:acl-principal-name>" + selector + "</ACL:acl-principal-name></ACL:acl-principal>";
}
std::string privilege(std::string const &kind) { return "<ACL:acl-privilege><KX:" + kind + "/></ACL:acl-privilege>"; }

// "reason:message" of what `work` raised, or "ok".
template <class Work>
std::string outcome_of(Work &&work) {
    try {
        work();
    } catch (Nul::STPException const &e) {
        return std::to_string(static_cast<int>(e.stp_reason_code())) + ":" + e.msg().utf8_str().std_str();
    }
    return "ok";
}

class WsProps : public kxtest::DemoSession {
protected:
    void SetUp() override { DemoSession::SetUp(); }
    AdSessionPtr api() { return AdSessionPtr(session_->session()); }
    std::unique_ptr<PropsResource> props(int type, wchar_t const *path) {
        TargetResourceArg target(type, Nul::UString(), Nul::UString(path));
        return PropsResource::getResource(session_.get(), {}, target, type);
    }
    AdPermissionSetPtr read(std::string const &xml) {
        Nul::DomParser parser(xml);
        return AclXml::read_acl_xml(api(), parser.root());
    }
    std::string put_xml(PropsResource &resource, int prop, std::string const &xml) {
        PropValue<XmlPropValue> value(prop, STPRPC_XML_VALUE);
        value.value.set_text(Nul::UString(xml.c_str(), "UTF-8"));
        return outcome_of([&] { resource.put_prop(value); });
    }
    kxtest::RecordingSink sink_;
};

} // namespace

TEST_F(WsProps, EntriesWrittenReadBackToTheirGroupsAndKinds) {
    kxtest::SetFile set;
    set.exec("INSERT OR IGNORE INTO groups(dbid, name) VALUES(990001, 'R&D/west-1@x')");
    AdBucketPtr defects, top;
    QueryUtil::get_bucket_for_uri(api(), Nul::UString(L"Public Queries/Defects"), defects);
    QueryUtil::get_bucket_for_uri(api(), Nul::UString(L"Public Queries"), top);
    Nul::XmlDoc::Elem root(Nul::XmlTag::TEAM_applied_access_control_entries);
    for (auto const &[group, kind] : {std::pair<wchar_t const *, int>{L"R&D/west-1@x", AD_PERM_CHANGE},
                                      {L"QA", AD_PERM_READ_LIMITED},
                                      {L"Everyone", AD_PERM_NO_ACCESS}}) {
        Nul::XmlDoc::Elem e(Nul::XmlTag::ACL_acl_entry);
        AclXml::write_permission_xml(api(), kind == AD_PERM_CHANGE ? top : AdBucketPtr(), defects, Nul::UString(group),
                                     kind, e);
        root.add_elem(e);
    }
    Nul::XmlDoc doc(root);
    std::string const text = doc.str().utf8_str().std_str();
    std::string const file = dir_ + "/acl.xml";
    std::ofstream(file) << text;
    EXPECT_EQ(std::system(("xmllint --noout " + file).c_str()), 0) << text;

    AdPermissionSetPtr set_read = read(text);
    ASSERT_EQ(set_read->GetCount(), 3);
    EXPECT_EQ(set_read->GetItem(0)->GetGroup(), 990001);
    EXPECT_EQ(set_read->GetItem(0)->GetKind(), AD_PERM_CHANGE);
    EXPECT_EQ(set_read->GetItem(1)->GetGroupName(), CString(L"QA"));
    EXPECT_EQ(set_read->GetItem(1)->GetKind(), AD_PERM_READ_LIMITED);
    EXPECT_EQ(set_read->GetItem(2)->GetKind(), AD_PERM_NO_ACCESS);
    set.exec("DELETE FROM groups WHERE dbid=990001");
}

TEST_F(WsProps, KindsAndTheirTags) {
    int const tags[] = {0, 277, 279, 280, 278, 276};
    for (int kind = 1; kind <= 5; ++kind) {
        EXPECT_EQ(AclXml::kind_to_tag(kind), tags[kind]);
        EXPECT_EQ(AclXml::tag_to_kind(tags[kind]), kind);
    }
    for (int bad : {0, 6, -1}) EXPECT_EQ(outcome_of([&] { AclXml::kind_to_tag(bad); }), unknown_kind) << bad;
    EXPECT_EQ(outcome_of([&] { AclXml::tag_to_kind(281); }), unknown_kind);
}

TEST_F(WsProps, EntriesWithoutAKnownGroupOrAKindAreRefusedWhole) {
    std::string const qa = principal("kx.group:QA@KXDEMO"), ro = privilege("permission-read-only");
    struct Case {
        std::string body, expected;
    } cases[] = {
        {entry(principal("kx.group:Nobody@KXDEMO"), ro), bad_acl},
        {entry(principal("not a selector"), ro), bad_acl},
        {entry(principal("kx.repo.kx-group:424242@KXDEMO"), ro), bad_acl},
        {entry(qa, ""), bad_acl},
        {entry("", ro), bad_acl},
        {entry(qa, "<ACL:acl-privilege/>"), bad_acl},
        {entry(qa, privilege("permission-read-only")) + entry(qa, "<ACL:acl-privilege><KX:query/></ACL:acl-privilege>"),
         unknown_kind},
    };
    for (Case const &c : cases)
        EXPECT_EQ(outcome_of([&] { read(acl_open + c.body + acl_close); }), c.expected) << c.body;
    EXPECT_EQ(read(acl_open + acl_close)->GetCount(), 0);
}

TEST_F(WsProps, AFailedPutLeavesTheFolderAsItWas) {
    auto folder = props(TT_QUERY_FOLDER, L"Public Queries/Defects");
    std::string const before = sink_.fetch(*folder, 1033);
    std::string const bad = acl_open + entry(principal("kx.group:QA@KXDEMO"), privilege("permission-change")) +
                            entry(principal("kx.group:Nobody@KXDEMO"), privilege("permission-change")) + acl_close;
    EXPECT_EQ(put_xml(*folder, 1033, bad), bad_acl);
    EXPECT_EQ(sink_.fetch(*props(TT_QUERY_FOLDER, L"Public Queries/Defects"), 1033), before);
    // A valueless value: reason 51 for a property the folder has, 64 for one it has not.
    BasePropValue valueless(1033, STPRPC_VALUELESS), other(689, STPRPC_VALUELESS);
    EXPECT_EQ(outcome_of([&] { folder->put_prop(valueless); }).substr(0, 3), "51:");
    EXPECT_EQ(outcome_of([&] { folder->put_prop(other); }).substr(0, 3), "64:");
}

TEST_F(WsProps, ProductFailuresOfPermissionQueriesAreInternalErrors) {
    auto folder = props(TT_QUERY_FOLDER, L"Public Queries/Defects");
    for (auto const &[op, prop] : {std::pair<char const *, int>{"AdFolder::GetAppliedPermissions", 1033},
                                   {"AdFolder::GetPermission", 1028},
                                   {"AdFolder::CanChangePermissions", 1040},
                                   {"AdFolder::GetAllGroupPermissions", 1064}}) {
        for (KXFaultKind kind : {KXFaultKind::PaMsgException, KXFaultKind::KXException}) {
            KXFaultInjector::Arm(op, kxtest::fault(kind, 13240, L"store unreadable"));
            EXPECT_EQ(sink_.fetch(*folder, prop), "error:40") << op;
            EXPECT_EQ(sink_.last_error, "TLQSV0769E Internal Error: store unreadable") << op;
        }
    }
}

TEST_F(WsProps, WithFolderSecurityOffTheSecurityPropertiesAreEmpty) {
    kxtest::SetFile set;
    set.exec("UPDATE databases SET feature_level=6 WHERE name='ISSUE'");
    KXSmartPtr<KXSession> s = KXSession::Build();
    s->WebUserLogon(CString(L"admin"), CString(L"admin"), CString(), CString(), CString(L"ISSUE"), CString(L"KXDEMO"));
    session_ = std::make_shared<LoginSession>(s, Nul::UString(L"KXDEMO/ISSUE"), Nul::UString());
    auto folder = props(TT_QUERY_FOLDER, L"Public Queries/Defects");
    for (int prop : {1033, 1028, 1064, 1082}) EXPECT_EQ(sink_.fetch(*folder, prop), "empty:973") << prop;
    EXPECT_EQ(sink_.fetch(*folder, 1040), "empty:949");
    // A put is ignored: the entries stay.
    EXPECT_EQ(put_xml(*folder, 1033, acl_open + acl_close), "ok");
    set.exec("UPDATE databases SET feature_level=7 WHERE name='ISSUE'");
    auto again = props(TT_QUERY_FOLDER, L"Public Queries/Defects");
    EXPECT_EQ(sink_.fetch(*again, 1033).rfind("xml:", 0), 0u);
}

TEST_F(WsProps, RefreshOfAFolderNotMadeYetDoesNothing) {
    auto item = std::make_shared<QueryItemStateItem>(Nul::UString(L"Public Queries/New"), AD_BUCKET_FOLDER);
    QueryFolderProps fresh(session_.get(), item);
    PropValue<bool> refresh(1151, STPRPC_BOOL_VALUE);
    long const refreshes = KXFaultInjector::CallCount("AdFolder::Refresh");
    EXPECT_EQ(outcome_of([&] { fresh.put_prop(refresh); }), "ok");
    EXPECT_EQ(KXFaultInjector::CallCount("AdFolder::Refresh"), refreshes);
    auto stored = props(TT_QUERY_FOLDER, L"Public Queries/Defects");
    EXPECT_EQ(outcome_of([&] { stored->put_prop(refresh); }), "ok");
    EXPECT_EQ(KXFaultInjector::CallCount("AdFolder::Refresh"), refreshes + 1);
}

TEST_F(WsProps, PutsOnAStoredQueryOrReportChangeNothing) {
    auto query = props(TT_QUERY, L"Public Queries/All Defects");
    PropValue<Nul::UString> sql(689, STPRPC_STRING_VALUE);
    sql.value = Nul::UString(L"SELECT 1");
    PropValue<bool> flag(514, STPRPC_BOOL_VALUE);
    flag.value = true;
    EXPECT_EQ(outcome_of([&] { query->put_prop(sql); }), not_editable);
    EXPECT_EQ(outcome_of([&] { query->put_prop(flag); }), not_editable);
    EXPECT_EQ(put_xml(*query, 449, acl_open + acl_close), not_editable);
    EXPECT_EQ(sink_.fetch(*query, 689), "str:");

    auto report = props(TT_REPORT, L"Public Queries/Defects/Defect Summary");
    PropValue<TargetResourceArg> names(282, TT_QUERY);
    names.value = TargetResourceArg(TT_QUERY, Nul::UString(), Nul::UString(L"Public Queries/All Defects"));
    EXPECT_EQ(outcome_of([&] { report->put_prop(names); }), not_editable);
}

TEST_F(WsProps, AFailedDefinitionPutKeepsTheHeldDefinition) {
    AdQueryDefPtr def = GetQueryDef(api(), [&] {
        AdBucketPtr b;
        QueryUtil::get_bucket_for_uri(api(), Nul::UString(L"Public Queries/All Defects"), b);
        return b;
    }());
    def->BuildFilter(nullptr, CString(L"Severity"), AD_COMP_OP_EQ, {CString(L"1-Critical")}, 1);
    auto item =
        std::make_shared<QueryItemStateItem>(Nul::UString(L"Personal Queries/Q"), def, AdBucketPtr(), AD_BUCKET_QUERY);
    QueryProps held(session_.get(), item);
    EXPECT_NE(put_xml(held, 449,
                      "<CTG:filtering xmlns:CTG=\"http://korvax.example/TEAM/CTG\"><CTG:nonsense/>"
                      "</CTG:filtering>"),
              "ok");
    EXPECT_EQ(item->query_def(), def);
    EXPECT_NE(def->GetTopFilterNode(), nullptr);
    // Removing the filter works on a copy that then takes the held one's place.
    BasePropValue remove(449, STPRPC_EMPTY_VALUE);
    EXPECT_EQ(outcome_of([&] { held.put_prop(remove); }), "ok");
    EXPECT_NE(item->query_def(), def);
    EXPECT_EQ(item->query_def()->GetTopFilterNode(), nullptr);
    EXPECT_NE(def->GetTopFilterNode(), nullptr);
}

TEST_F(WsProps, AReportNamesOnlyAQueryAndAReportFormat) {
    KXSmartPtr<KXReportDef> report = session_->user_session()->GetWorkSpace()->BuildReportDef();
    auto item = std::make_shared<QueryItemStateItem>(Nul::UString(L"Public Queries/R"), report, AD_BUCKET_REPORT);
    ReportProps props_of(session_.get(), item);
    PropValue<TargetResourceArg> query(282, TT_QUERY), format(287, TT_REPORT_FORMAT);
    query.value = TargetResourceArg(TT_QUERY_FOLDER, Nul::UString(), Nul::UString(L"Public Queries/Defects"));
    EXPECT_EQ(outcome_of([&] { props_of.put_prop(query); }).substr(0, 14), "4:TLQSV0848E T");
    format.value = TargetResourceArg(TT_QUERY, Nul::UString(), Nul::UString(L"Public Queries/All Defects"));
    EXPECT_EQ(outcome_of([&] { props_of.put_prop(format); }).substr(0, 14), "4:TLQSV0849E T");
    EXPECT_EQ(report->GetQueryDefId(), 0);
    query.value = TargetResourceArg(TT_QUERY, Nul::UString(), Nul::UString(L"Public Queries/All Defects"));
    format.value = TargetResourceArg(TT_REPORT_FORMAT, Nul::UString(),
                                     Nul::UString(L"Public Queries/Report Formats/Summary Format"));
    EXPECT_EQ(outcome_of([&] { props_of.put_prop(query); }), "ok");
    EXPECT_EQ(outcome_of([&] { props_of.put_prop(format); }), "ok");
    EXPECT_EQ(sink_.fetch(props_of, 263), "bool:1");
}

namespace {

// Notes, when a child list starts, whether another thread could take the workspace lock.
class LockProbe : public kxtest::RecordingSink {
public:
    std::vector<bool> free_at_write;
    void start_list_property_values(int type) override {
        auto other = std::async(std::launch::async, [] { Nul::CriticalSection guard(workspace_lock()); });
        free_at_write.push_back(other.wait_for(std::chrono::seconds(2)) == std::future_status::ready);
        pending_.push_back(std::move(other));
        RecordingSink::start_list_property_values(type);
    }

private:
    std::vector<std::future<void>> pending_;
};

} // namespace

TEST_F(WsProps, ChildListsAreWrittenWithoutTheWorkspaceLock) {
    auto folder = props(TT_QUERY_FOLDER, L"Public Queries/Defects");
    LockProbe probe;
    for (int prop : {352, 353, 631}) EXPECT_EQ(probe.fetch(*folder, prop).substr(0, 1), "[") << prop;
    EXPECT_EQ(probe.free_at_write, (std::vector<bool>{true, true, true}));
}

TEST_F(WsProps, WhatEveryItemAnswersWithAndWithoutABucket) {
    auto stored = props(TT_QUERY_FOLDER, L"Public Queries/Defects");
    auto item = std::make_shared<QueryItemStateItem>(Nul::UString(L"Public Queries/New"), AD_BUCKET_FOLDER);
    QueryFolderProps fresh(session_.get(), item);
    AdBucketPtr top;
    QueryUtil::get_bucket_for_uri(api(), Nul::UString(L"Public Queries"), top);
    std::string const parent = "res36:" + std::to_string(top->GetDbId()) + ",0,0,0";
    struct Case {
        int prop;
        std::string with_bucket, without;
    } cases[] = {
        {595, "[7 " + parent + " ]", "unsupported"},
        {598, parent, "unsupported"},
        {1061, "str:Defects", "unsupported"},
        {578, "str:Public Queries/Defects", "unsupported"},
        {385, "int:" + std::to_string(static_cast<QueryItemProps &>(*stored).bucket()->GetDbId()), "empty:956"},
        {1040, "bool:0", "bool:1"},
        {352, "", "empty:967"},
        {1033, "", "empty:973"},
    };
    for (Case const &c : cases) {
        if (!c.with_bucket.empty()) {
            EXPECT_EQ(sink_.fetch(*stored, c.prop), c.with_bucket) << c.prop;
        }
        EXPECT_EQ(sink_.fetch(fresh, c.prop), c.without) << c.prop;
    }
    EXPECT_EQ(sink_.fetch(*stored, 268).rfind("res27:", 0), 0u);
    EXPECT_TRUE(fresh.is_supported_prop(385));
    EXPECT_FALSE(fresh.is_supported_prop(576));
    EXPECT_TRUE(stored->is_supported_prop(576));
    EXPECT_EQ(stored->describe().utf8_str().std_str().rfind("QueryFolderProps: (kxobj:", 0), 0u);
    EXPECT_EQ(fresh.describe().utf8_str().std_str(), "QueryFolderProps: (kxobj:no bucket)");
}
