// With the recording ARM agent loaded: the ten commit transactions of a change batch register in
// order and each operation answers the id of its own; the request names the session's database
// as its ARM target. Runs in its own process because ARM is switched on for good.
#include "change/deliver.h"
#include "change/deliverops.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include <gtest/gtest.h>

#include "arm_record.h"
#include "kxproduct/session.h"
#include "product_env.h"
#include "session/login.h"
#include "tesutil/arm.h"
#include "wire/decode_budget.h"
#include "wire/exceptions.h"
#include "wire_text.h"
#include "xdr_buffer.h"

using namespace KxRpc;
using armtest::Record;
using kxtest::Bytes;
using kxtest::cat;
using kxtest::str;
using kxtest::words;

namespace {

int register_rc = 1;
std::vector<Record> registration;

class ArmOn : public ::testing::Environment {
public:
    void SetUp() override {
        std::string path = armtest::fresh_record_file("deliverops");
        Nul::ArmBuffer app;
        app.add_buffer();
        register_rc = Nul::ArmApplication::register_application(Nul::ARM_VERBOSE, Nul::UString(L"kxrpc"), &app);
        registration = armtest::read_records(path);
        std::remove(path.c_str());
    }
    // The calls of a test append to the file again after SetUp emptied it.
    void TearDown() override { std::remove(std::getenv("KX_ARM4_LOG")); }
};

::testing::Environment *const arm_on = ::testing::AddGlobalTestEnvironment(new ArmOn);

std::string hex(arm_id const &id) { return armtest::hex(id.id_u.uint8, 16); }

// Any registered transaction stands for the call's own.
arm_id const &make_query_commit_id() {
    static std::unique_ptr<DeliverOperation> const op = make_deliver_operation(0);
    return op->arm_operation_id();
}
std::string make_query_commit_hex() { return hex(make_query_commit_id()); }

} // namespace

TEST(DeliverArm, TenCommitTransactionsRegisterInOrder) {
    ASSERT_EQ(register_rc, 0);
    std::vector<std::string> names;
    std::vector<std::string> ids;
    for (Record const &r : registration) {
        if (r.call != "register_transaction") continue;
        names.push_back(r["name"]);
        ids.push_back(r["out_id"]);
        EXPECT_EQ(r["rc"], "0");
    }
    std::vector<std::string> const want = {
        "make_query_commit",        "modify_query_commit",       "delete_query_commit",    "make_record_commit",
        "modify_record_commit",     "delete_record_commit",      "make_attachment_commit", "modify_attachment_commit",
        "delete_attachment_commit", "modify_dynamic_list_commit"};
    ASSERT_EQ(names, want);

    // Kind by kind, the transaction that the kind's operation starts.
    int const slot_of_kind[12] = {0, 0, 1, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    for (int kind = 0; kind < 12; ++kind) {
        std::unique_ptr<DeliverOperation> op(make_deliver_operation(kind));
        EXPECT_EQ(op->kind(), kind);
        EXPECT_EQ(hex(op->arm_operation_id()), ids[slot_of_kind[kind]]) << kind;
    }
    // The ids differ, so no two kinds share a transaction by accident.
    for (std::size_t i = 0; i < ids.size(); ++i)
        for (std::size_t j = i + 1; j < ids.size(); ++j) EXPECT_NE(ids[i], ids[j]) << i << " " << j;
}

TEST(DeliverArm, NoOperationForKindsOutsideTheTable) {
    for (int kind : {12, -1, 1000}) {
        try {
            make_deliver_operation(kind);
            ADD_FAILURE() << kind;
        } catch (Nul::STPException const &e) {
            EXPECT_EQ(e.stp_reason_code(), 40);
            EXPECT_TRUE(e.message().is_nil());
        }
    }
}

class DeliverTarget : public ::testing::Test {
protected:
    static void SetUpTestSuite() { kxtest::make_product_data(dir_, "/tmp/kxrpc-deliver-XXXXXX"); }
    static void TearDownTestSuite() { std::filesystem::remove_all(dir_); }
    void SetUp() override { counts_ = kxtest::ProductCounts(); }
    void TearDown() override { counts_.expect_unchanged(); }

    static Bytes request_of(StateItemPtr session) {
        Bytes handle = kxtest::encode([&](XDR *x) { return xdr_state_handle(x, session); });
        return cat(cat(cat(cat(words({0}), handle), str("en_US")), words({0x11})), words({0}));
    }

    // A login session of `name` (whose password is the name) in KXDEMO/ISSUE.
    static std::shared_ptr<LoginSession> user_login(wchar_t const *name) {
        KXSmartPtr<KXSession> user = KXSession::Build();
        user->WebUserLogon(CString(name), CString(name), CString(), CString(), CString(L"ISSUE"), CString(L"KXDEMO"));
        return std::make_shared<LoginSession>(user, Nul::UString(L"KXDEMO/ISSUE"), Nul::UString());
    }

    static std::string dir_;
    kxtest::ProductCounts counts_;
};

std::string DeliverTarget::dir_;

TEST_F(DeliverTarget, SessionDatabaseSetAndUserDatabase) {
    {
        auto session = user_login(L"alice");
        DeliverChangeContextArgs args;
        ASSERT_TRUE(kxtest::decode(request_of(session), [&](XDR *x) { return args.xdr(x); }));
        EXPECT_EQ(args.session().get(), session.get());
        EXPECT_EQ(args.arm_target_uri().utf8_str().std_str(), "KXDEMO/ISSUE");
        // The dispatcher's transaction context carries it.
        Nul::ArmBuffer buffer;
        args.add_arm_context(buffer);
        EXPECT_EQ(buffer.count(), 1);
        EXPECT_TRUE(remove_pointer_entry(session->oid()));
    }
    {
        // An administrator login has no user database: no target, no context.
        KXSmartPtr<KXAdminSession> admin = KXAdminSession::Build();
        admin->Logon(CString(L"admin"), CString(L"admin"), CString(L"KXDEMO"));
        auto session = std::make_shared<LoginSession>(admin, Nul::UString(L"KXDEMO"), Nul::UString());
        DeliverChangeContextArgs args;
        ASSERT_TRUE(kxtest::decode(request_of(session), [&](XDR *x) { return args.xdr(x); }));
        EXPECT_TRUE(args.arm_target_uri().empty());
        Nul::ArmBuffer buffer;
        args.add_arm_context(buffer);
        EXPECT_EQ(buffer.count(), 0);
        EXPECT_TRUE(remove_pointer_entry(session->oid()));
    }
}

TEST_F(DeliverTarget, ResolvedTargetsAreReleasedWithTheRequest) {
    auto session = user_login(L"carol");
    long const objects = KXObject::LiveCount();
    {
        Bytes b = request_of(session);
        b.resize(b.size() - 4);
        Bytes record = cat(cat(words({32, 1}), str("Defect")), str("ISSUE00000001"));
        b = cat(b, cat(cat(words({1, 7}), record), record));
        b = cat(b, cat(cat(words({1, 11, 43, 1}), str("Priority")), words({0, 0})));
        b = cat(b, words({0}));
        DeliverChangeContextArgs args;
        ASSERT_TRUE(kxtest::decode(b, [&](XDR *x) { return args.xdr(x); }));
        ASSERT_EQ(args.ops_size(), 2u);
        AdSession *api = args.api_session_or_fail();
        auto *del = checked_cast<DeleteRecordOperation>(args.ops()[0].get());
        ASSERT_TRUE(del->record().record(api));
        auto *list = checked_cast<ModifyDynamicListOperation>(args.ops()[1].get());
        ASSERT_NE(list->list().target().dynamic_choice_list(api), nullptr);
        EXPECT_GT(KXObject::LiveCount(), objects);
    }
    // Whatever the targets resolved went with the request.
    EXPECT_EQ(KXObject::LiveCount(), objects);
    EXPECT_TRUE(remove_pointer_entry(session->oid()));
}

TEST_F(DeliverTarget, OneTransactionPerOperationAndStatusTwoForTheFailure) {
    ASSERT_EQ(register_rc, 0);
    ASSERT_GE(Nul::ArmApplication::start_application(nullptr, Nul::UString(), Nul::UString()), 0);
    std::string const path = std::getenv("KX_ARM4_LOG");
    std::vector<Record> calls;
    {
        auto session = user_login(L"carol");
        Bytes b = request_of(session);
        b.resize(b.size() - 4);
        Bytes const list = cat(words({1, 11, 43, 1}), str("Platforms"));
        b = cat(b, cat(list, cat(words({0, 1}), str("Amiga"))));              // performed
        b = cat(b, cat(list, cat(cat(words({1}), str("Nope")), words({0})))); // fails: no such value
        b = cat(b, cat(list, cat(words({0, 1}), str("BeOS"))));               // never performed
        b = cat(b, words({0}));
        DeliverChangeContextArgs args;
        ASSERT_TRUE(kxtest::decode(b, [&](XDR *x) { return args.xdr(x); }));
        std::remove(path.c_str());
        // The call's own transaction, which the dispatcher starts before the handler runs.
        Nul::ArmBuffer none;
        ASSERT_NE(Nul::ArmPerThreadOperationStack::get_base_correlator(), nullptr);
        ASSERT_GE(Nul::ArmPerThreadOperationStack::start_transaction(make_query_commit_id(), &none, true), 0);
        std::vector<DeliverResult> results = perform_batch(args);
        Nul::ArmPerThreadOperationStack::stop_transaction(0, nullptr);
        ASSERT_EQ(results.size(), 2u);
        EXPECT_FALSE(std::holds_alternative<DeliverFailure>(results[0]));
        EXPECT_TRUE(std::holds_alternative<DeliverFailure>(results[1]));
        calls = armtest::read_records(path);
        EXPECT_TRUE(remove_pointer_entry(session->oid()));
    }
    std::vector<std::string> starts, stops;
    for (Record const &r : calls) {
        if (r.call == "start_transaction") starts.push_back(r["tran_id"]);
        if (r.call == "stop_transaction") stops.push_back(r["status"]);
    }
    std::string const list_commit = hex(make_deliver_operation(11)->arm_operation_id());
    // The call's transaction around one per performed operation: success, then the failure.
    EXPECT_EQ(starts, (std::vector<std::string>{make_query_commit_hex(), list_commit, list_commit}));
    EXPECT_EQ(stops, (std::vector<std::string>{"0", "2", "0"}));
}

// Every operation, and every value a dynamic list carries, is charged to the call's decode budget
// before it is kept: the batch decodes within exactly what it is charged and is refused one byte
// short of it. A request whose session is unknown keeps none of its operations.
TEST_F(DeliverTarget, OperationsAreChargedAndAnUnknownSessionKeepsNone) {
    auto session = user_login(L"alice");
    Bytes ops;
    for (int i = 0; i < 3; ++i) ops = cat(ops, words({1, 6, 4, 0}));
    ops = cat(ops, cat(cat(words({1, 11, 43, 1}), str("Priority")), cat(cat(words({2}), str("A")), str("B"))));
    ops = cat(ops, cat(cat(words({1}), str("C")), words({0})));
    auto request = [&](StateItemPtr const &s) {
        Bytes b = request_of(s);
        b.resize(b.size() - 4);
        return cat(b, ops);
    };
    struct Outcome {
        bool decoded;
        std::size_t ops, charged;
        std::string refusal;
    };
    auto decode_within = [&](StateItemPtr const &s, std::size_t limit) {
        DecodeBudget budget(limit);
        DeliverChangeContextArgs args;
        Outcome o{kxtest::decode(request(s), [&](XDR *x) { return args.xdr(x); }), args.ops_size(), budget.charged(),
                  std::string()};
        if (std::exception_ptr held = take_decode_failure()) try {
                std::rethrow_exception(held);
            } catch (Nul::STPException const &e) {
                EXPECT_EQ(e.stp_reason_code(), 40);
                o.refusal = exception_message_text(e).utf8_str();
            }
        return o;
    };
    Outcome const whole = decode_within(session, std::size_t{1} << 20);
    ASSERT_TRUE(whole.decoded);
    EXPECT_EQ(whole.ops, 4u);
    Outcome const exact = decode_within(session, whole.charged);
    EXPECT_TRUE(exact.decoded);
    EXPECT_EQ(exact.ops, 4u);
    EXPECT_EQ(exact.refusal, "");
    Outcome const short_by_one = decode_within(session, whole.charged - 1);
    EXPECT_FALSE(short_by_one.decoded);
    EXPECT_LE(short_by_one.ops, 3u);
    EXPECT_EQ(short_by_one.refusal,
              "TLQSV1105E The call's arguments need more memory than one call may hold (KX_DECODE_BYTES, " +
                  std::to_string(whole.charged - 1) + " bytes); send fewer or smaller items.");
    // No session: nothing after the handle is charged or kept, so no budget is too small.
    Outcome const unknown = decode_within(StateItemPtr(), 0);
    EXPECT_TRUE(unknown.decoded);
    EXPECT_EQ(unknown.ops, 0u);
    EXPECT_EQ(unknown.charged, 0u);
    EXPECT_TRUE(remove_pointer_entry(session->oid()));
}
