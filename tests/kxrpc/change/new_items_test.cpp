// mkresource of records and create_temp of queries, folders, reports and attachments, with their
// refusals.
#include "change/create_temp.h"
#include "change/mkresource.h"
#include "change/new_resources.h"
#include "change/requests.h"
#include "change/validation_handlers.h"
#include "handler_env.h"
#include "set_file.h"
#include "target/held_items.h"
#include "target/queryutil.h"

using namespace KxRpc;
using kxtest::by_name;
using kxtest::Bytes;
using kxtest::cat;
using kxtest::str;
using kxtest::u8;
using kxtest::words;

namespace {

class NewItems : public kxtest::HandlerTest {
protected:
    void SetUp() override {
        HandlerTest::SetUp();
        alice_ = login(L"alice");
    }
    void TearDown() override {
        for (StateItemPtr const &item : made_) remove_pointer_entry(item->oid());
        made_.clear();
        HandlerTest::TearDown();
    }

    // Correlator and batch flag, then the session header.
    Bytes props_header(std::shared_ptr<LoginSession> const &s) {
        return cat(cat(cat(words({0, 0}), handle_of(s)), str("en_US")), words({1}));
    }
    // A new record of `rectype` whose values are string fields, named as dynamic properties.
    Bytes record_request(std::shared_ptr<LoginSession> const &s, std::string const &rectype,
                         std::vector<std::pair<std::string, std::string>> const &fields) {
        Bytes b = cat(cat(props_header(s), by_name(31, {rectype})),
                      words({32, 0, static_cast<std::uint32_t>(fields.size())}));
        for (std::size_t i = 0; i < fields.size(); ++i)
            b = cat(cat(b, words({1000000 + static_cast<std::uint32_t>(i), 100001})), str(fields[i].second));
        b = cat(b, words({static_cast<std::uint32_t>(fields.size())}));
        for (auto const &f : fields) b = cat(cat(b, str("FLD:")), str(f.first));
        return cat(b, words({0, 0}));
    }
    // A new workspace item of `type` under `parent`.
    Bytes item_request(std::shared_ptr<LoginSession> const &s, int type, Bytes const &parent, std::string const &name) {
        return cat(
            cat(cat(cat(cat(props_header(s), by_name(31, {"Defect"})), words({static_cast<std::uint32_t>(type), 1})),
                    parent),
                str(name)),
            words({0, 0, 0, 0}));
    }
    kxtest::Outcome temp(std::shared_ptr<LoginSession> const &s, Bytes const &target) {
        kxtest::Outcome out = call<CreateTempArgs>(kxrpc_create_temp, cat(cat(header(s), target), words({0, 0})));
        if (out.result) made_.push_back(static_cast<CreateTempResp *>(out.result.get())->item());
        return out;
    }
    std::string dbid_of(wchar_t const *uri) {
        AdBucketPtr b;
        QueryUtil::get_bucket_for_uri(AdSessionPtr(alice_->session()), Nul::UString(uri), b);
        return b ? std::to_string(b->GetDbId()) : "";
    }

    std::shared_ptr<LoginSession> alice_;
    std::vector<StateItemPtr> made_;
};

} // namespace

TEST_F(NewItems, RecordWithOnlyAHeadlineIsHeldAndNamesItsMissingField) {
    kxtest::Outcome out =
        call<CreateResourceArgs>(kxrpc_mkresource, record_request(alice_, "Defect", {{"Headline", "Only a headline"}}));
    ASSERT_TRUE(out.result) << out.message();
    auto *resp = static_cast<CreateResourceResp *>(out.result.get());
    Bytes reply = out.reply();
    made_.push_back(resp->item());
    auto *item = dynamic_cast<RecordStateItem *>(resp->item().get());
    ASSERT_NE(item, nullptr);
    AdEntityPtr record = item->entity();
    EXPECT_TRUE(record->IsEditable());
    EXPECT_EQ(record->GetFieldValue(L"Headline").GetValue(), CString(L"Only a headline"));
    // The handle first, then one value set without error, ... and the name and id texts last.
    EXPECT_EQ(Bytes(reply.begin(), reply.begin() + 4), words({16}));
    EXPECT_EQ(Bytes(reply.begin() + 20, reply.begin() + 32), words({1, 0, 0}));
    std::string const ids = std::to_string(record->GetEntityDef()->GetDbId()) + "/" + std::to_string(record->GetDbId());
    Bytes tail = cat(cat(words({1}), str("Defect/")), str(ids));
    ASSERT_GE(reply.size(), tail.size());
    EXPECT_EQ(Bytes(reply.end() - static_cast<long>(tail.size()), reply.end()), tail);

    out = call<ValidateRecordPropsArgs>(kxrpc_validate_record_props,
                                        cat(header(alice_), cat(words({32, 3}), handle_of(resp->item()))));
    auto const *fields = dynamic_cast<InvalidFieldsException const *>(out.error.get());
    ASSERT_NE(fields, nullptr) << out.message();
    ASSERT_EQ(fields->field_names().size(), 1u);
    EXPECT_EQ(u8(fields->field_names()[0]), "Severity");
}

TEST_F(NewItems, TheNewItemIsRegisteredByTheHandlerAndTheReplyOnlyWritesItsHandle) {
    kxtest::Outcome out =
        call<CreateResourceArgs>(kxrpc_mkresource, record_request(alice_, "Defect", {{"Headline", "Held"}}));
    ASSERT_TRUE(out.result) << out.message();
    StateItemPtr const item = static_cast<CreateResourceResp *>(out.result.get())->item();
    made_.push_back(item);
    EXPECT_EQ(lookup_pointer_entry(item->oid()), item);
    // A stream that ends inside the handle fails the reply and leaves the registration as it was.
    bool ok = true;
    kxtest::encode([&](XDR *x) { return out.result->xdr(x); }, &ok, 8);
    EXPECT_FALSE(ok);
    EXPECT_EQ(lookup_pointer_entry(item->oid()), item);
    Bytes const reply = out.reply();
    EXPECT_EQ(Bytes(reply.begin(), reply.begin() + 20), handle_of(item));
}

TEST_F(NewItems, RecordRefusals) {
    // A family has no creation action of its own.
    kxtest::Outcome out = call<CreateResourceArgs>(kxrpc_mkresource, record_request(alice_, "AllIssues", {}));
    EXPECT_EQ(out.reason(), 77);
    EXPECT_EQ(out.message(), "");
    for (KXFaultKind kind : {KXFaultKind::KXException, KXFaultKind::PaMsgException, KXFaultKind::CException}) {
        KXFaultInjector::Arm("BuildEntity", kxtest::fault(kind, 13240, L"no new records today"));
        out = call<CreateResourceArgs>(kxrpc_mkresource, record_request(alice_, "Defect", {}));
        EXPECT_EQ(out.reason(), 4);
        EXPECT_EQ(out.message(), "TLQSV0744E Problem creating resource: no new records today");
    }
    KXSmartPtr<KXAdminSession> admin = KXAdminSession::Build();
    admin->Logon(L"admin", L"admin", L"KXDEMO");
    AdConnectionMgr::SetUserDatabaseLocked(admin->GetReal(), L"ISSUE", TRUE);
    out = call<CreateResourceArgs>(kxrpc_mkresource, record_request(alice_, "Defect", {}));
    AdConnectionMgr::SetUserDatabaseLocked(admin->GetReal(), L"ISSUE", FALSE);
    admin->Unbuild();
    EXPECT_EQ(out.reason(), 31);
}

TEST_F(NewItems, WorkspaceItemsNeedAWritableFolderAsParent) {
    std::string const no_privilege = "TLQSV0837E Insufficient privilege: cannot make query item";
    kxtest::Outcome out =
        call<CreateResourceArgs>(kxrpc_mkresource, item_request(alice_, 36, by_name(36, {"Public Queries/All Defects"}),
                                                                "Public Queries/All Defects/Q"));
    EXPECT_EQ(out.reason(), 31);
    EXPECT_EQ(out.message(), no_privilege);
    out = call<CreateResourceArgs>(
        kxrpc_mkresource,
        item_request(login(L"carol"), 37, by_name(37, {"Public Queries/Defects"}), "Public Queries/Defects/F"));
    EXPECT_EQ(out.reason(), 31);
    EXPECT_EQ(out.message(), no_privilege);
    out = call<CreateResourceArgs>(kxrpc_mkresource, item_request(alice_, 38, by_name(37, {"Public Queries/Defects"}),
                                                                  "Public Queries/Defects/R"));
    EXPECT_TRUE(out.result) << out.message(); // alice writes that folder
}

TEST_F(NewItems, QueryAndFolderCopiesCarryTheirPathAndDbid) {
    kxtest::Outcome out = temp(alice_, by_name(36, {"Public Queries/Defects/Open Defects"}));
    ASSERT_TRUE(out.result) << out.message();
    Bytes reply = out.reply();
    std::string const dbid = dbid_of(L"Public Queries/Defects/Open Defects");
    EXPECT_EQ(Bytes(reply.begin() + 20, reply.end()), cat(str("Public Queries/Defects/Open Defects"), str(dbid)));
    auto *query = dynamic_cast<QueryItemStateItem *>(made_.back().get());
    ASSERT_NE(query, nullptr);
    ASSERT_TRUE(query->query_def());
    AdFilterNode *filter = query->query_def()->GetTopFilterNode();
    ASSERT_TRUE(filter && filter->AsFieldFilter());
    EXPECT_EQ(filter->AsFieldFilter()->GetValues(), std::vector<CString>{L"Opened"});
    EXPECT_TRUE(query->is_startup());
    EXPECT_EQ(query->item_type(), AD_BUCKET_QUERY);
    EXPECT_EQ(std::to_string(query->bucket()->GetDbId()), dbid);

    out = temp(alice_, by_name(37, {"Public Queries/Defects"}));
    ASSERT_TRUE(out.result) << out.message();
    auto *folder = dynamic_cast<QueryItemStateItem *>(made_.back().get());
    ASSERT_NE(folder, nullptr);
    EXPECT_FALSE(folder->query_def());
    EXPECT_EQ(folder->item_type(), AD_BUCKET_FOLDER);
    EXPECT_EQ(u8(folder->name()), "Public Queries/Defects");

    KXFaultInjector::Arm("CopyQueryDef", kxtest::fault(KXFaultKind::CException, 0, L"no copies"));
    out = temp(alice_, by_name(36, {"Public Queries/Defects/Open Defects"}));
    EXPECT_EQ(out.reason(), 40);
    EXPECT_EQ(out.message(), "TLQSV0751E Server error: Unexpected exception: no copies");
}

TEST_F(NewItems, ReportCopiesNeedTheirFolderWritable) {
    kxtest::Outcome out = temp(alice_, by_name(38, {"Public Queries/Defects/Defect Summary"}));
    ASSERT_TRUE(out.result) << out.message();
    auto *report = dynamic_cast<QueryItemStateItem *>(made_.back().get());
    ASSERT_NE(report, nullptr);
    ASSERT_TRUE(report->report_def());
    EXPECT_EQ(std::to_string(report->report_def()->GetQueryDefId()), dbid_of(L"Public Queries/All Defects"));
    EXPECT_EQ(std::to_string(report->report_def()->GetReportFormatId()),
              dbid_of(L"Public Queries/Report Formats/Summary Format"));
    EXPECT_EQ(report->report_def()->GetDbId(), 0);
    EXPECT_EQ(std::to_string(report->bucket()->GetDbId()), dbid_of(L"Public Queries/Defects/Defect Summary"));
    EXPECT_EQ(u8(report->name()), "Public Queries/Defects/Defect Summary");

    std::string const refused = "TLQSV0838E Insufficient privilege: cannot modify query item";
    out = temp(login(L"carol"), by_name(38, {"Public Queries/Defects/Defect Summary"}));
    EXPECT_EQ(out.reason(), 31);
    EXPECT_EQ(out.message(), refused);
    // A report stored directly in a top folder: the top folder decides. Only the administrator
    // may write the public top folder.
    kxtest::SetFile().add(0, "Top report", AD_BUCKET_REPORT);
    out = temp(alice_, by_name(38, {"Public Queries/Top report"}));
    EXPECT_EQ(out.reason(), 31);
    EXPECT_EQ(out.message(), refused);
    out = temp(login(L"admin"), by_name(38, {"Public Queries/Top report"}));
    ASSERT_TRUE(out.result) << out.message();
    report = dynamic_cast<QueryItemStateItem *>(made_.back().get());
    ASSERT_NE(report, nullptr);
    EXPECT_EQ(u8(report->name()), "Public Queries/Top report");
    EXPECT_EQ(std::to_string(report->bucket()->GetDbId()), dbid_of(L"Public Queries/Top report"));
    // A target that names no report is not found.
    out = temp(alice_, by_name(38, {"Public Queries/Defects/Open Defects"}));
    EXPECT_EQ(out.reason(), 53);
}

TEST_F(NewItems, AttachmentCopyNamesItsPathAndIds) {
    kxtest::Outcome out = temp(alice_, by_name(44, {"Defect", "ISSUE00000001", "Attachments", "crash.log"}));
    ASSERT_TRUE(out.result) << out.message();
    Bytes reply = out.reply();
    auto *held = dynamic_cast<AttachmentStateItem *>(made_.back().get());
    ASSERT_NE(held, nullptr);
    Attachment const *a = held->attachment();
    AdEntityPtr const &record = a->folder().entity();
    std::string const ids = std::to_string(record->GetEntityDef()->GetDbId()) + "/" +
                            std::to_string(record->GetDbId()) + "/" + std::to_string(a->folder().field_dbid()) + "/" +
                            std::to_string(a->dbid());
    EXPECT_EQ(Bytes(reply.begin() + 20, reply.end()), cat(str("Defect/ISSUE00000001/Attachments/crash.log"), str(ids)));
}

TEST_F(NewItems, OtherTargetTypesAreRefusedWithTheirTraceLine) {
    kxtest::DiagCapture diag;
    AdDiagnostic::SetFlag(66, 2);
    kxtest::Outcome out = temp(alice_, by_name(31, {"Defect"}));
    EXPECT_EQ(out.reason(), 31);
    EXPECT_EQ(out.message(), "");
    bool traced = false;
    for (auto const &line : diag.lines()) traced = traced || line == "KXRPC|Info: kxrpc_create_temp(invalid arg type!)";
    EXPECT_TRUE(traced);
}
