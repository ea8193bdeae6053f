// The administration procedures through their registration rows, against the demo set: exact
// reply bytes, refusals, and product faults that become error replies with nothing leaked.
#include <filesystem>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "core/dispatch.h"
#include "kxproduct/entity.h"
#include "kxproduct/metadata.h"
#include "product_env.h"
#include "session/login.h"
#include "target/held_items.h"
#include "target/target.h"
#include "tesutil/umessage.h"
#include "wire/errors.h"
#include "wire/handles.h"
#include "wire/locale.h"
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
        result = row->handler(args).release();
        EXPECT_NE(result, nullptr);
    } catch (Nul::STPException const &e) {
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
    return cat(
        cat(cat(words({1, static_cast<std::uint32_t>(reason)}), str("TLQSV0775E This login is forbidden: " + text)),
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
        return kxtest::Wire().i(0).raw(std::string(handle.begin(), handle.end())).s("en_US").i(9);
    }

    static std::string dir_;
    kxtest::ExceptionCounts counts_;
    std::vector<std::shared_ptr<LoginSession>> sessions_;
};
std::string Admin::dir_;

Bytes master_request(Bytes const &handle, std::string const &action, std::string const &value, bool user_session) {
    return kxtest::Wire()
        .i(0)
        .raw(std::string(handle.begin(), handle.end()))
        .s("en_US")
        .i(9)
        .s(action)
        .s("owner")
        .s(value)
        .s("ISSUE")
        .s("local")
        .b(user_session)
        .bytes();
}

} // namespace

TEST_F(Admin, UpgradeAndItsFaults) {
    Bytes request = with_session(logon("KXDEMO", "admin"))
                        .t(TargetResourceArg(TT_USER, Nul::UString(), Nul::UString(L"bob")))
                        .bytes();
    EXPECT_EQ(call(26, request), cat(cat(words({0, 2}), str("User 'bob' is up to date in database 'ISSUE'.")),
                                     str("User 'bob' is up to date in database 'TEST'.")));
    for (KXFaultKind kind : {KXFaultKind::KXException, KXFaultKind::PaMsgException, KXFaultKind::CException}) {
        KXFaultInjector::Arm("KXUser::UpgradeInfo", fault(kind, 13270, L"locked"));
        EXPECT_EQ(call(26, request), error_reply(40, "TLQSV0983E Failed to upgrade user information: locked"));
    }
}

TEST_F(Admin, MasterPropertiesAndRefusals) {
    Bytes admin = logon("KXDEMO", "admin"), alice = logon("KXDEMO/ISSUE", "alice");
    Bytes const empty = cat(words({0}), str(""));
    EXPECT_EQ(call(34, master_request(admin, "SET_VALUE", "remote-east", false)), empty);
    EXPECT_EQ(call(34, master_request(alice, "GET_VALUE", "", true)), cat(words({0}), str("remote-east")));
    EXPECT_EQ(call(34, master_request(admin, "UNSET_VALUE", "", false)), empty);
    EXPECT_EQ(call(34, master_request(admin, "GET_VALUE", "x", false)), empty);
    EXPECT_EQ(call(34, master_request(admin, "get_value", "", false)),
              error_reply(33, "TLQSV0769E Internal Error: Unrecognized action: get_value"));
    EXPECT_EQ(call(34, master_request(alice, "SET_VALUE", "x", true)),
              error_reply(33, "TLQSV0769E Internal Error: Only the action 'GET_VALUE' is supported on user-session"));
    KXFaultInjector::Arm("KXAdminSession::GetMasterProperty", fault(KXFaultKind::CException, 0, L"disk"));
    EXPECT_EQ(call(34, master_request(admin, "GET_VALUE", "", false)),
              error_reply(40, "TLQSV0751E Server error: Unexpected exception: disk"));
    // alice is no administrator: refused wherever the administrator session is needed.
    Bytes const refused = login_refusal(47, "User 'alice' has no administrator rights on 'KXDEMO'.", "KXDEMO");
    EXPECT_EQ(call(34, master_request(alice, "SET_VALUE", "x", false)), refused);
    EXPECT_EQ(call(26, with_session(alice).t(TargetResourceArg(TT_USER, Nul::UString(), Nul::UString(L"bob"))).bytes()),
              refused);
}

TEST_F(Admin, DescriptionAndAccessibleDatabasesWithoutASession) {
    auto describe = [](std::string const &dbset, std::string const &userdb) {
        return call(27, kxtest::Wire().i(0).i(7).s(dbset).s(userdb).bytes());
    };
    EXPECT_EQ(describe("KXDEMO", "TEST"), cat(words({0}), str("Scratch database for trying things out")));
    EXPECT_EQ(describe("KXDEMO", "KXDEMO"), cat(words({0}), str(""))); // the master database is not one
    // Failures are error replies, never a broken reply.
    EXPECT_EQ(
        describe("NOSET", "TEST"),
        error_reply(40, "TLQSV0751E Server error: Unexpected exception: Cannot connect to database set 'NOSET'."));

    auto accessible = [](std::string const &password, bool security) {
        return call(28, kxtest::Wire().i(0).i(7).s("KXDEMO").s("carol").s(password).s("h").b(security).bytes());
    };
    Bytes const both = cat(cat(cat(cat(words({0, 2}), str("ISSUE")), str("Issue tracking demo database")), str("TEST")),
                           str("Scratch database for trying things out"));
    EXPECT_EQ(accessible("wrong", false), both); // no password goes to the product
    EXPECT_EQ(accessible("wrong", true), login_refusal(47, "Login failed for user 'carol'.", "KXDEMO"));
    KXFaultInjector::Arm("AdSessionMgr::GetAccessibleDatabases", fault(KXFaultKind::PaMsgException, 13285, L"down"));
    EXPECT_EQ(accessible("carol", true), login_refusal(18, "down", "KXDEMO"));
    KXFaultInjector::Arm("AdSessionMgr::GetAccessibleDatabases",
                         fault(KXFaultKind::CException, 0, std::wstring(6000, L'x').c_str()));
    // The product's text is cut, and the error record's message again at the echo bound.
    std::string const cut =
        ("TLQSV0775E This login is forbidden: " + std::string(5000, 'x')).substr(0, Nul::UMessage::max_echo_units) +
        "...";
    EXPECT_EQ(accessible("carol", true),
              cat(cat(cat(words({1, 47}), str(cut)), words({no_resource, 0, 2})), str("KXDEMO")));
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
    auto item = std::make_shared<RecordStateItem>(record);
    add_pointer_entry(item);
    Bytes request = with_session(alice).t(TargetResourceArg(TT_RECORD, StateItemPtr(item))).bytes();
    KXFaultInjector::Arm("AdEntity::Revert", fault(KXFaultKind::KXException, 13250, L"busy"));
    EXPECT_EQ(call(29, request), error_reply(4, "TLQSV0996E Error during revert of a record: busy"));
    EXPECT_TRUE(record->IsEditable());
    EXPECT_EQ(call(29, request), words({0}));
    EXPECT_FALSE(record->IsEditable());
    EXPECT_EQ(call(29, request), error_reply(40, "TLQSV0995E Only actionable resources are legal for Revert"));
    remove_pointer_entry(item->oid());
}

TEST_F(Admin, CreateUserAndRefusalsByTheProductsMessage) {
    Bytes admin = logon("KXDEMO", "admin");
    auto create = [&](std::string const &name) {
        return call(30, kxtest::Wire()
                            .i(0)
                            .b(false)
                            .raw(std::string(admin.begin(), admin.end()))
                            .s("en_US")
                            .i(9)
                            .t(TargetResourceArg(TT_USER, Nul::UString(), Nul::UString()))
                            .s(name)
                            .i(0)
                            .i(0)
                            .b(false)
                            .b(false)
                            .bytes());
    };
    // No values: no-error, no entries, no changed fields.
    EXPECT_EQ(create("gina"), words({0, 0, 0, 0}));
    EXPECT_EQ(create("gina"), error_reply(4, "TLQSV1031E The attempt to create a user failed; got: User 'gina' already "
                                             "exists."));
    struct Case {
        int id;
        int reason;
        std::string message;
    };
    for (Case const &c : {Case{13046, 73, "TLQSV1030E You do not have permission to create a user."},
                          Case{13243, 4, "TLQSV1030E You do not have permission to create a user."},
                          Case{13260, 4, "TLQSV1031E The attempt to create a user failed; got: disk"}})
        for (KXFaultKind kind : {KXFaultKind::KXException, KXFaultKind::PaMsgException}) {
            KXFaultInjector::Arm("KXAdminSession::CreateUser", fault(kind, c.id, L"disk"));
            EXPECT_EQ(create("hank"), error_reply(c.reason, c.message)) << c.id;
        }
}
