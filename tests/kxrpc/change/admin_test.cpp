// The administration procedures through their registration rows, against the demo set: exact
// reply bytes, refusals, and product faults that become error replies with nothing leaked.
#include <filesystem>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "core/dispatch.h"
#include "kxproduct/entity.h"
#include "kxproduct/metadata.h"
#include "session/login.h"
#include "wire/errors.h"
#include "wire/handles.h"
#include "wire/held_items.h"
#include "wire/locale.h"
#include "wire/target.h"
#include "product_env.h"
#include "wire_builder.h"
#include "wire_text.h"

using namespace KxRpc;
using kxtest::Bytes;
using kxtest::cat;
using kxtest::fault;
using kxtest::str;
using kxtest::words;

namespace {

constexpr std::uint32_t no_resource = 0xffffffffu;

// One call as the dispatcher makes it: decode with the row, run the handler, then the reply or
// the error reply, as bytes.
Bytes call(int number, Bytes const &request) {
    ProcedureRow const *row = procedure_row(number);
    EXPECT_TRUE(row && row->handler) << number;
    if (!row || !row->handler) return {};
    alignas(std::max_align_t) unsigned char storage[max_request_size];
    XdrObject *args = row->construct(storage);
    struct Destroy {
        XdrObject *args;
        ~Destroy() { args->~XdrObject(); }
    } destroy{args};
    auto xdr_args = reinterpret_cast<bool_t (*)(XDR *, void *)>(row->xdr_args);
    EXPECT_TRUE(kxtest::decode(request, [&](XDR *x) { return xdr_args(x, args); }));
    XdrObject *result = nullptr;
    try {
        EXPECT_TRUE(row->handler(args, &result));
    } catch (Nul::STPException const &e) {
        EXPECT_EQ(result, nullptr);
        return kxtest::encode([&](XDR *x) { return xdr_error_reply(x, e); });
    }
    auto xdr_result = reinterpret_cast<bool_t (*)(XDR *, void *)>(row->xdr_result);
    Bytes out = kxtest::encode([&](XDR *x) { return xdr_result(x, &result); });
    xdr_free(row->xdr_result, reinterpret_cast<char *>(&result));
    return out;
}

Bytes error_reply(int reason, std::string const &message) {
    return cat(cat(words({1, static_cast<std::uint32_t>(reason)}), str(message)), words({no_resource, 0, 0}));
}

Bytes login_refusal(int reason, std::string const &text, std::string const &dbset) {
    return cat(cat(cat(words({1, static_cast<std::uint32_t>(reason)}), str("TLQSV0775E This login is forbidden: " + text)),
                   words({no_resource, 0, 2})),
               str(dbset));
}

class Admin : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        kxtest::make_product_data(dir_, "/tmp/kxrpc-admin-XXXXXX");
        ASSERT_TRUE(init_client_locale_key());
    }
    static void TearDownTestSuite() { std::filesystem::remove_all(dir_); }
    void SetUp() override {
        KXFaultInjector::Reset();
        counts_ = kxtest::ExceptionCounts();
    }
    void TearDown() override {
        for (auto const &s : sessions_) remove_pointer_entry(s->oid());
        sessions_.clear();
        KXFaultInjector::Reset();
        counts_.expect_unchanged();
    }

    // Logs on (user database empty: as administrator) and answers the encoded session handle.
    Bytes logon(std::string const &repository, std::string const &user) {
        LoginArgs args;
        kxtest::Wire w;
        w.i(0).i(1).s(repository).s(user).s(user).s("en_US").s("").b(false).s("");
        EXPECT_TRUE(kxtest::decode_args(args, w.bytes()));
        LoginResp resp(args);
        Bytes handle = kxtest::encode([&](XDR *x) { return resp.xdr(x); });
        sessions_.push_back(resp.session());
        return handle;
    }
    static kxtest::Wire with_session(Bytes const &handle) {
        kxtest::Wire w;
        std::string raw(handle.begin(), handle.end());
        w.i(0).raw(raw).s("en_US").i(9);
        return w;
    }

    static std::string dir_;
    kxtest::ExceptionCounts counts_;
    std::vector<std::shared_ptr<LoginSession>> sessions_;
};
std::string Admin::dir_;

Bytes master_request(Bytes const &handle, std::string const &action, std::string const &value, bool user_session,
                     std::string const &db = "ISSUE", std::string const &replica = "local") {
    kxtest::Wire w;
    std::string raw(handle.begin(), handle.end());
    w.i(0).raw(raw).s("en_US").i(9).s(action).s("owner").s(value).s(db).s(replica).b(user_session);
    return w.bytes();
}

} // namespace

TEST_F(Admin, UpgradeReportsOneLinePerDatabase) {
    Bytes admin = logon("KXDEMO", "admin");
    Bytes request = with_session(admin).t(TargetResourceArg(TT_USER, Nul::UString(L""), Nul::UString(L"bob"))).bytes();
    EXPECT_EQ(call(26, request), cat(cat(words({0, 2}), str("User 'bob' is up to date in database 'ISSUE'.")),
                                     str("User 'bob' is up to date in database 'TEST'.")));

    KXFaultInjector::Arm("KXUser::UpgradeInfo", fault(KXFaultKind::KXException, 13270, L"locked"));
    EXPECT_EQ(call(26, request), error_reply(40, "TLQSV0983E Failed to upgrade user information: locked"));
    KXFaultInjector::Arm("KXUser::UpgradeInfo", fault(KXFaultKind::PaMsgException, 13224, L"gone"));
    EXPECT_EQ(call(26, request), error_reply(40, "TLQSV0983E Failed to upgrade user information: gone"));
    KXFaultInjector::Arm("KXUser::UpgradeInfo", fault(KXFaultKind::CException, 0, L"no memory"));
    EXPECT_EQ(call(26, request), error_reply(40, "TLQSV0983E Failed to upgrade user information: no memory"));
}

TEST_F(Admin, NonAdministratorIsRefusedAdministration) {
    Bytes alice = logon("KXDEMO/ISSUE", "alice");
    std::string const refused = "User 'alice' has no administrator rights on 'KXDEMO'.";
    Bytes upgrade = with_session(alice).t(TargetResourceArg(TT_USER, Nul::UString(L""), Nul::UString(L"bob"))).bytes();
    EXPECT_EQ(call(26, upgrade), login_refusal(47, refused, "KXDEMO"));
    for (char const *action : {"GET_VALUE", "SET_VALUE", "UNSET_VALUE"})
        EXPECT_EQ(call(34, master_request(alice, action, "x", false)), login_refusal(47, refused, "KXDEMO")) << action;
    // Reading through the user's own session needs no administrator.
    EXPECT_EQ(call(34, master_request(alice, "GET_VALUE", "", true)), cat(words({0}), str("")));
}

TEST_F(Admin, MasterPropertySetGetUnset) {
    Bytes admin = logon("KXDEMO", "admin");
    Bytes alice = logon("KXDEMO/ISSUE", "alice");
    Bytes empty = cat(words({0}), str(""));
    EXPECT_EQ(call(34, master_request(admin, "SET_VALUE", "remote-east", false)), empty);
    EXPECT_EQ(call(34, master_request(admin, "GET_VALUE", "ignored", false)), cat(words({0}), str("remote-east")));
    EXPECT_EQ(call(34, master_request(alice, "GET_VALUE", "", true)), cat(words({0}), str("remote-east")));
    EXPECT_EQ(call(34, master_request(admin, "UNSET_VALUE", "", false)), empty);
    EXPECT_EQ(call(34, master_request(alice, "GET_VALUE", "", true)), empty);

    EXPECT_EQ(call(34, master_request(admin, "get_value", "", false)),
              error_reply(33, "TLQSV0769E Internal Error: Unrecognized action: get_value"));
    EXPECT_EQ(call(34, master_request(alice, "SET_VALUE", "x", true)),
              error_reply(33, "TLQSV0769E Internal Error: Only the action 'GET_VALUE' is supported on user-session"));
    // An administrator login has no user session to read through.
    EXPECT_EQ(call(34, master_request(admin, "GET_VALUE", "", true)),
              error_reply(40, "TLQSV0769E Internal Error: Invalid Pointer"));
    // An unknown database or replica is not found; other product failures are server errors.
    Bytes missing = call(34, master_request(admin, "SET_VALUE", "x", false, "NODB"));
    EXPECT_EQ(kxtest::word_at(missing, 0), 1u);
    EXPECT_NE(std::string(missing.begin(), missing.end()).find("Database 'NODB' does not exist."), std::string::npos);
    KXFaultInjector::Arm("KXAdminSession::GetMasterProperty", fault(KXFaultKind::CException, 0, L"disk"));
    EXPECT_EQ(call(34, master_request(admin, "GET_VALUE", "", false)),
              error_reply(40, "TLQSV0751E Server error: Unexpected exception: disk"));
    KXFaultInjector::Arm("KXSession::GetMasterPropertyValueEx", fault(KXFaultKind::KXException, 13204, L"ended"));
    EXPECT_EQ(call(34, master_request(alice, "GET_VALUE", "", true)),
              error_reply(40, "TLQSV0751E Server error: Unexpected exception: ended"));
}

TEST_F(Admin, MasterPropertyRequestWithoutTheFlagUsesTheAdministrator) {
    Bytes admin = logon("KXDEMO", "admin");
    kxtest::Wire w = with_session(admin);
    w.s("SET_VALUE").s("owner").s("v").s("").s("");
    EXPECT_EQ(call(34, w.bytes()), cat(words({0}), str("")));
    EXPECT_EQ(call(34, master_request(admin, "GET_VALUE", "", false, "", "")), cat(words({0}), str("v")));
}

TEST_F(Admin, UserDatabaseDescriptionWithoutLogon) {
    auto request = [](std::string const &dbset, std::string const &userdb) {
        kxtest::Wire w;
        return w.i(0).i(7).s(dbset).s(userdb).bytes();
    };
    EXPECT_EQ(call(27, request("KXDEMO", "TEST")), cat(words({0}), str("Scratch database for trying things out")));
    EXPECT_EQ(call(27, request("KXDEMO", "NOPE")), cat(words({0}), str("")));
    // The master database is never described, also not under its own name.
    EXPECT_EQ(call(27, request("KXDEMO", "KXDEMO")), cat(words({0}), str("")));
    // Failures are error replies of the call, never a broken reply.
    EXPECT_EQ(call(27, request("NOSET", "TEST")),
              error_reply(40, "TLQSV0751E Server error: Unexpected exception: Cannot connect to database set 'NOSET'."));
    KXFaultInjector::Arm("KXSession::Build", fault(KXFaultKind::PaMsgException, 1, L"no session"));
    EXPECT_EQ(call(27, request("KXDEMO", "TEST")),
              error_reply(40, "TLQSV0751E Server error: Unexpected exception: no session"));
}

TEST_F(Admin, AccessibleDatabasesInPairs) {
    auto request = [](std::string const &dbset, std::string const &user, std::string const &password, bool security) {
        kxtest::Wire w;
        return w.i(0).i(7).s(dbset).s(user).s(password).s("client").b(security).bytes();
    };
    Bytes both = cat(cat(cat(cat(words({0, 2}), str("ISSUE")), str("Issue tracking demo database")), str("TEST")),
                     str("Scratch database for trying things out"));
    EXPECT_EQ(call(28, request("KXDEMO", "carol", "carol", true)), both);
    // Without security no password goes to the product: a wrong one does not matter.
    EXPECT_EQ(call(28, request("KXDEMO", "carol", "wrong", false)), both);
    EXPECT_EQ(call(28, request("KXDEMO", "carol", "wrong", true)),
              login_refusal(47, "Login failed for user 'carol'.", "KXDEMO"));
    EXPECT_EQ(call(28, request("NOSET", "carol", "carol", true)),
              login_refusal(18, "Cannot connect to database set 'NOSET'.", "NOSET"));
    KXFaultInjector::Arm("AdSessionMgr::GetAccessibleDatabases", fault(KXFaultKind::PaMsgException, 13285, L"down"));
    EXPECT_EQ(call(28, request("KXDEMO", "carol", "carol", true)), login_refusal(18, "down", "KXDEMO"));
    KXFaultInjector::Arm("AdSessionMgr::GetAccessibleDatabases", fault(KXFaultKind::CException, 13285, L"odd"));
    EXPECT_EQ(call(28, request("KXDEMO", "carol", "carol", true)), login_refusal(47, "odd", "KXDEMO"));
    // The product's text is cut to 5000 characters.
    KXFaultInjector::Arm("AdSessionMgr::GetAccessibleDatabases",
                         fault(KXFaultKind::PaMsgException, 1, std::wstring(6000, L'x').c_str()));
    EXPECT_EQ(call(28, request("KXDEMO", "carol", "carol", true)),
              login_refusal(47, std::string(5000, 'x'), "KXDEMO"));
}

TEST_F(Admin, RevertDiscardsTheEditOfAHeldRecord) {
    Bytes alice = logon("KXDEMO/ISSUE", "alice");
    AdSessionPtr api = sessions_.back()->user_session()->GetReal();
    AdEntityPtr record;
    CString error;
    AdEntityMgr::Get(api)->LookupEntityWithStatus(LookupEntityDefOrFamily(api, L"Defect"), L"ISSUE00000002", record,
                                                  error, 1);
    ASSERT_TRUE(record);
    EditEntity(record, L"Modify");
    ASSERT_EQ(record->SetFieldValue(L"Headline", L"changed"), L"");
    auto item = std::make_shared<RecordStateItem>(record);
    add_pointer_entry(item);
    Bytes request = with_session(alice).t(TargetResourceArg(TT_RECORD, StateItemPtr(item))).bytes();

    KXFaultInjector::Arm("AdEntity::Revert", fault(KXFaultKind::KXException, 13250, L"busy"));
    EXPECT_EQ(call(29, request), error_reply(4, "TLQSV0996E Error during revert of a record: busy"));
    KXFaultInjector::Arm("AdEntity::Revert", fault(KXFaultKind::PaMsgException, 13251, L"odd"));
    EXPECT_EQ(call(29, request), error_reply(40, "TLQSV0996E Error during revert of a record: odd"));
    EXPECT_TRUE(record->IsEditable());

    EXPECT_EQ(call(29, request), words({0}));
    EXPECT_FALSE(record->IsEditable());
    EXPECT_NE(record->GetFieldValue(L"Headline").GetValue(), L"changed");
    // Nothing left to revert.
    EXPECT_EQ(call(29, request), error_reply(40, "TLQSV0995E Only actionable resources are legal for Revert"));
    remove_pointer_entry(item->oid());
    // A record named by its type and name is not held for editing.
    Bytes by_name = with_session(alice)
                        .t(TargetResourceArg(TT_RECORD, Nul::UString(L"Defect"), Nul::UString(L"ISSUE00000002")))
                        .bytes();
    EXPECT_EQ(call(29, by_name), error_reply(40, "TLQSV0995E Only actionable resources are legal for Revert"));
}
