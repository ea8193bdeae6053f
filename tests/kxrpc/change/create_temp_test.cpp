// create_temp for records over the demo set: the reply, who owns the edit, and every refusal
// with product faults injected.
#include "change/create_temp.h"

#include <algorithm>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "change/new_resources.h"
#include "kxproduct/session.h"
#include "product_env.h"
#include "target/held_items.h"
#include "target/login_session.h"
#include "wire/handles.h"
#include "wire_text.h"

using namespace KxRpc;
using kxtest::Bytes;
using kxtest::cat;
using kxtest::str;
using kxtest::words;

namespace {

class CreateTempRecord : public ::testing::Test {
protected:
    static void SetUpTestSuite() { kxtest::make_product_data(dir_, "/tmp/kxrpc-create-temp-XXXXXX"); }
    static void TearDownTestSuite() { std::filesystem::remove_all(dir_); }

    void SetUp() override {
        KXFaultInjector::Reset();
        KXSmartPtr<KXSession> user = KXSession::Build();
        user->WebUserLogon(L"admin", L"admin", L"here", L"here", L"ISSUE", L"KXDEMO");
        session_ = std::make_shared<LoginSession>(user, Nul::UString(L"KXDEMO/ISSUE"), Nul::UString());
    }
    void TearDown() override {
        for (auto &item : held_) remove_pointer_entry(item->oid());
        held_.clear();
        remove_pointer_entry(session_->oid());
        session_.reset();
        KXFaultInjector::Reset();
        counts_.expect_unchanged();
    }

    static Bytes record_target(char const *name) { return cat(cat(words({32, 1}), str("Defect")), str(name)); }
    static Bytes action_target(char const *name) { return cat(cat(words({40, 1}), str("Defect")), str(name)); }
    Bytes handle_target(StateItemPtr item) {
        held_.push_back(item);
        return cat(words({32, 3}), kxtest::encode([&](XDR *x) { return xdr_state_handle(x, item); }));
    }
    // The request: the session header, the target, then the optional action and duplicate.
    Bytes request(Bytes const &target, Bytes const &action = {}, Bytes const &duplicate = {}) {
        StateItemPtr session = session_;
        Bytes b = cat(words({0}), kxtest::encode([&](XDR *x) { return xdr_state_handle(x, session); }));
        b = cat(cat(cat(b, str("en_US")), words({7})), target);
        b = cat(b, action.empty() ? words({0}) : cat(words({1}), action));
        return cat(b, duplicate.empty() ? words({0}) : cat(words({1}), duplicate));
    }
    // Runs the handler; the reply's item is kept registered for the test's end.
    std::unique_ptr<CreateTempResp> run(Bytes const &bytes) {
        CreateTempArgs args;
        EXPECT_TRUE(kxtest::decode(bytes, [&](XDR *x) { return args.xdr(x); }));
        std::unique_ptr<XdrObject> result = kxrpc_create_temp(&args);
        EXPECT_TRUE(result);
        std::unique_ptr<CreateTempResp> reply(dynamic_cast<CreateTempResp *>(result.release()));
        if (reply) held_.push_back(reply->item());
        return reply;
    }
    // The reason of the handler's refusal, or -1.
    int refused(Bytes const &bytes, std::string *message = nullptr) {
        CreateTempArgs args;
        EXPECT_TRUE(kxtest::decode(bytes, [&](XDR *x) { return args.xdr(x); }));
        try {
            kxrpc_create_temp(&args);
        } catch (Nul::STPException const &e) {
            if (message) *message = e.msg().utf8_str().std_str();
            return static_cast<int>(e.stp_reason_code());
        }
        return -1;
    }
    static AdEntityPtr held_record(StateItemPtr const &item) {
        return static_cast<RecordStateItem *>(item.get())->entity();
    }

    static std::string dir_;
    kxtest::ExceptionCounts counts_;
    std::shared_ptr<LoginSession> session_;
    std::vector<StateItemPtr> held_;
};

std::string CreateTempRecord::dir_;

} // namespace

TEST_F(CreateTempRecord, OpensForModifyAndAnswersTheHandleAndTexts) {
    std::unique_ptr<CreateTempResp> reply = run(request(record_target("ISSUE00000001")));
    ASSERT_TRUE(reply);
    AdEntityPtr rec = held_record(reply->item());
    ASSERT_TRUE(rec->IsEditable());
    EXPECT_EQ(AD_ACTION_MODIFY, rec->GetActionType());
    Bytes b = kxtest::encode([&](XDR *x) { return reply->xdr(x); });
    std::string const ids = std::to_string(rec->GetEntityDef()->GetDbId()) + "/" + std::to_string(rec->GetDbId());
    Bytes tail = cat(str("Defect/ISSUE00000001"), str(ids));
    ASSERT_EQ(20u + tail.size(), b.size());
    EXPECT_EQ(16u, kxtest::word_at(b, 0));
    EXPECT_EQ(tail, Bytes(b.begin() + 20, b.end()));
    // Deleting the handle abandons the edit.
    ASSERT_TRUE(remove_pointer_entry(reply->item()->oid()));
    held_.clear();
    reply.reset();
    EXPECT_FALSE(rec->IsEditable());
}

TEST_F(CreateTempRecord, ASecondHandleOnAHeldRecordDoesNotOwnTheEdit) {
    std::unique_ptr<CreateTempResp> first = run(request(record_target("ISSUE00000002"), action_target("Modify")));
    ASSERT_TRUE(first);
    AdEntityPtr rec = held_record(first->item());
    ASSERT_EQ(CString(), rec->SetFieldValue(L"Owner", L"dave"));
    std::unique_ptr<CreateTempResp> second = run(request(handle_target(first->item()), action_target("Modify")));
    ASSERT_TRUE(second);
    EXPECT_NE(first->item(), second->item());
    EXPECT_EQ(rec, held_record(second->item()));
    // Deleting the second handle keeps the first one's edit.
    remove_pointer_entry(second->item()->oid());
    held_.erase(std::find(held_.begin(), held_.end(), second->item()));
    second.reset();
    EXPECT_TRUE(rec->IsEditable());
    EXPECT_EQ(CString(L"dave"), rec->GetFieldValue(L"Owner").GetValue());
    // Another action than modify while one is in progress is refused.
    EXPECT_EQ(1, refused(request(handle_target(first->item()), action_target("Resolve"))));
}

TEST_F(CreateTempRecord, Refusals) {
    std::string message;
    EXPECT_EQ(81, refused(request(record_target("ISSUE00000003"), action_target("NoSuchAction"))));
    EXPECT_EQ(4, refused(request(record_target("ISSUE00000003"), action_target("Delete")), &message));
    EXPECT_NE(std::string::npos, message.find("TLQSV0749E")) << message;
    EXPECT_EQ(4, refused(request(record_target("ISSUE00000003"), action_target("Duplicate")), &message));
    EXPECT_NE(std::string::npos, message.find("TLQSV0946E")) << message;
    EXPECT_EQ(31, refused(request(cat(words({33, 1}), cat(str("Defect"), str("ISSUE00000003"))))));
    // Product failures while opening become conflicts, and the product exception is deleted.
    for (KXFaultKind kind : {KXFaultKind::PaMsgException, KXFaultKind::KXException, KXFaultKind::CException}) {
        KXFaultInjector::Arm("EditEntity", kxtest::fault(kind, 13251, L"not now"));
        EXPECT_EQ(17, refused(request(record_target("ISSUE00000003")), &message));
        EXPECT_NE(std::string::npos, message.find("TLQSV0751E")) << message;
    }
    // A locked user database is refused before anything is opened.
    KXFaultInjector::Arm("AdConnectionMgr::IsUserDatabaseLocked", kxtest::fault(KXFaultKind::PaMsgException, 1, L"x"));
    EXPECT_EQ(40, refused(request(record_target("ISSUE00000003"))));
}

TEST_F(CreateTempRecord, DuplicateMarksTheRecord) {
    std::unique_ptr<CreateTempResp> reply =
        run(request(record_target("ISSUE00000006"), action_target("Duplicate"), record_target("ISSUE00000001")));
    ASSERT_TRUE(reply);
    AdEntityPtr rec = held_record(reply->item());
    EXPECT_TRUE(rec->IsDuplicate());
    EXPECT_EQ(AD_ACTION_DUPLICATE, rec->GetActionType());
}
