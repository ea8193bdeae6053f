// Targets resolved against the product's demo set: objects, caching, not-found and wrong-type errors.
#include <cstdlib>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "change/attachment_requests.h"
#include "change/new_resources.h"
#include "diag_capture.h"
#include "product_env.h"
#include "session/login.h"
#include "target/held_items.h"
#include "target/records.h"
#include "target/target.h"
#include "target/workspace.h"
#include "tesutil/selector.h"
#include "wire/errors.h"
#include "wire/exceptions.h"
#include "wire_text.h"
#include "xdr_buffer.h"

using namespace KxRpc;
using kxtest::Bytes;
using kxtest::fault;
using kxtest::words;

namespace {

std::string utf8(Nul::UString const &s) { return std::string(s.utf8_str()); }
std::string utf8(CString const &s) { return s.ToUtf8(); }
Nul::UString u(wchar_t const *s) { return Nul::UString(s); }

class Resolve : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        kxtest::make_product_data(dir_, "/tmp/kxrpc-resolve-XXXXXX");
        static KxRpcResourceEncoder encoder;
        register_resource_encoder(1, &encoder);
    }
    static void TearDownTestSuite() { std::filesystem::remove_all(dir_); }

    void SetUp() override {
        KXFaultInjector::Reset();
        counts_ = kxtest::ProductCounts();
    }
    void TearDown() override {
        KXFaultInjector::Reset();
        counts_.expect_unchanged();
    }

    static std::shared_ptr<LoginSession> login(wchar_t const *user) {
        KXSmartPtr<KXSession> s = KXSession::Build();
        s->WebUserLogon(CString(user), CString(user), CString(), CString(), CString(L"ISSUE"), CString(L"KXDEMO"));
        return std::make_shared<LoginSession>(s, u(L"KXDEMO/ISSUE"), Nul::UString());
    }

    template <class F>
    static Nul::STPException const *failure(F &&f, std::unique_ptr<Nul::STPException> &holder) {
        try {
            f();
        } catch (Nul::STPException const &e) {
            holder.reset(e.clone());
        }
        return holder.get();
    }

    static std::string dir_;
    kxtest::ProductCounts counts_;
};

std::string Resolve::dir_;

} // namespace

TEST_F(Resolve, RecordTypeByNameAndDbidAndCaching) {
    auto session = login(L"alice");
    TargetResourceArg byname(31, u(L"Defect"));
    KXSmartPtr<KXEntityDef> def = byname.record_type(session->session());
    ASSERT_TRUE(def);
    EXPECT_EQ(utf8(def->GetName()), "Defect");
    EXPECT_EQ(utf8(byname.dbset_name()), "KXDEMO");
    EXPECT_EQ(utf8(byname.db_name()), "ISSUE");
    long calls = KXFaultInjector::CallCount("LookupEntityDefOrFamily");
    long db_calls = KXFaultInjector::CallCount("AdSession::GetSessionDatabase");
    EXPECT_EQ(byname.record_type(session->session()).get(), def.get());
    EXPECT_EQ(KXFaultInjector::CallCount("LookupEntityDefOrFamily"), calls);
    EXPECT_EQ(KXFaultInjector::CallCount("AdSession::GetSessionDatabase"), db_calls);

    TargetResourceArg bydbid(31, static_cast<u_int>(def->GetReal()->GetDbId()), 0u);
    EXPECT_EQ(bydbid.record_type(session->session())->GetReal(), def->GetReal());
    // The selector names the repository the target was resolved in.
    Nul::Selector parsed(byname.to_selector());
    EXPECT_EQ(utf8(parsed.repository_name()), "KXDEMO/ISSUE");
    EXPECT_EQ(utf8(parsed.object_name()), "Defect");
}

TEST_F(Resolve, WrongTypeAndNullSession) {
    auto session = login(L"alice");
    TargetResourceArg t(32, u(L"Defect"), u(L"ISSUE00000001"));
    std::unique_ptr<Nul::STPException> e;
    ASSERT_NE(failure([&] { t.record_type(session->session()); }, e), nullptr);
    EXPECT_EQ(e->stp_reason_code(), 40);
    EXPECT_EQ(utf8(e->msg()), "TLQSV0769E Internal Error: type not RECTYPE");
    ASSERT_NE(failure([&] { t.field_def(session->session()); }, e), nullptr);
    EXPECT_EQ(utf8(e->msg()), "TLQSV0769E Internal Error: type not FIELDDEF");
    TargetResourceArg hook(51, Nul::UString(), u(L"Notify"));
    ASSERT_NE(failure([&] { hook.hook_def(session->session()); }, e), nullptr);
    EXPECT_EQ(utf8(e->msg()), "TLQSV0769E Internal Error: type not HOOK");
    ASSERT_NE(failure([&] { t.record(nullptr); }, e), nullptr);
    EXPECT_EQ(utf8(e->msg()), "TLQSV0769E Internal Error: need AdSession pointer to get AdEntity pointer");
    TargetResourceArg user(47, Nul::UString(), u(L"bob"));
    ASSERT_NE(failure([&] { user.user(nullptr); }, e), nullptr);
    EXPECT_EQ(utf8(e->msg()), "TLQSV0769E Internal Error: Need a Login Session to get user information");
}

TEST_F(Resolve, RecordByNameDbidStateItemAndFamily) {
    auto session = login(L"alice");
    TargetResourceArg byname(32, u(L"Defect"), u(L"ISSUE00000001"));
    AdEntityPtr record = byname.record(session->session());
    ASSERT_TRUE(record);
    EXPECT_EQ(utf8(record->GetDisplayName()), "ISSUE00000001");

    TargetResourceArg bydbid(32, static_cast<u_int>(record->GetEntityDef()->GetDbId()),
                             static_cast<u_int>(record->GetDbId()));
    EXPECT_EQ(bydbid.record(session->session())->GetDbId(), record->GetDbId());

    TargetResourceArg family(32, u(L"AllIssues"), u(L"ISSUE00000001"));
    EXPECT_EQ(family.record(session->session())->GetDbId(), record->GetDbId());
    EXPECT_EQ(utf8(family.family_name()), "AllIssues");
    EXPECT_EQ(utf8(byname.family_name()), "");

    auto item = std::make_shared<RecordStateItem>(record);
    TargetResourceArg bystate(32, StateItemPtr(item));
    EXPECT_EQ(bystate.record(session->session()).get(), record.get());
    Nul::Selector parsed(bystate.to_selector());
    EXPECT_EQ(utf8(parsed.object_name()), "Defect/ISSUE00000001");

    auto other = std::make_shared<QueryItemStateItem>(u(L"q"), 1);
    TargetResourceArg wrong(32, StateItemPtr(other));
    std::unique_ptr<Nul::STPException> e;
    ASSERT_NE(failure([&] { wrong.record(session->session()); }, e), nullptr);
    EXPECT_EQ(utf8(e->msg()), "TLQSV0748E expected 'RecordStateItem' object in dynamic_cast");
}

TEST_F(Resolve, RecordNotFoundCarriesTheTarget) {
    auto session = login(L"alice");
    TargetResourceArg t(32, u(L"Defect"), u(L"NOPE"));
    std::unique_ptr<Nul::STPException> e;
    ASSERT_NE(failure([&] { t.record(session->session()); }, e), nullptr);
    EXPECT_EQ(e->stp_reason_code(), 53);
    EXPECT_EQ(utf8(e->msg()), "TLQSV0779E record not found");
    auto const *resource = dynamic_cast<TargetResourceArg const *>(e->resource());
    ASSERT_NE(resource, nullptr);
    EXPECT_EQ(utf8(resource->second_name_segment()), "NOPE");
    EXPECT_EQ(t.cached_object(), nullptr);

    // Its error record names the record target: wire code 31, by name.
    Bytes out = kxtest::encode([&](XDR *x) { return xdr_exception(x, e.get()); });
    std::size_t message_words = 1 + (std::string("TLQSV0779E record not found").size() + 3) / 4;
    EXPECT_EQ(kxtest::word_at(out, 1 + message_words), 31u);
    EXPECT_EQ(kxtest::word_at(out, 2 + message_words), 1u);

    TargetResourceArg rectype(32, u(L"Nothing"), u(L"x"));
    ASSERT_NE(failure([&] { rectype.record(session->session()); }, e), nullptr);
    EXPECT_EQ(utf8(e->msg()), "TLQSV0786E Record type not found");
}

TEST_F(Resolve, RecordOfAnotherTypeByDbidRaisesStatusText) {
    auto session = login(L"alice");
    TargetResourceArg project(32, u(L"Defect"), u(L"ISSUE00000001"));
    AdEntityPtr record = project.record(session->session());
    AdSessionPtr api(session->session());
    AdEntityDef *other = LookupEntityDefOrFamily(api, CString(L"Enhancement"));
    ASSERT_NE(other, nullptr);
    TargetResourceArg t(32, static_cast<u_int>(other->GetDbId()), static_cast<u_int>(record->GetDbId()));
    std::unique_ptr<Nul::STPException> e;
    ASSERT_NE(failure([&] { t.record(session->session()); }, e), nullptr);
    EXPECT_EQ(e->stp_reason_code(), 37);
    EXPECT_EQ(utf8(e->msg()).rfind("TLQSV1102I ", 0), 0u) << utf8(e->msg());
}

TEST_F(Resolve, ProductMessageExceptionDuringLookupIsRecordNotFound) {
    auto session = login(L"alice");
    KXFaultInjector::Arm("AdEntityMgr::LookupEntityWithStatus", fault(KXFaultKind::PaMsgException, 13224, L"gone"));
    TargetResourceArg t(32, u(L"Defect"), u(L"ISSUE00000001"));
    std::unique_ptr<Nul::STPException> e;
    ASSERT_NE(failure([&] { t.record(session->session()); }, e), nullptr);
    EXPECT_EQ(utf8(e->msg()), "TLQSV0779E record not found");
}

TEST_F(Resolve, RecordTypeByDbidProductErrorsAreNotFoundAndDeleted) {
    auto session = login(L"alice");
    kxtest::DiagCapture diag;
    AdDiagnostic::Configure("66=1");
    std::unique_ptr<Nul::STPException> e;
    KXFaultInjector::Arm("GetEntityDefOrFamilyById", fault(KXFaultKind::CException, 0, L"disk on fire"));
    TargetResourceArg a(31, 5u, 0u);
    ASSERT_NE(failure([&] { a.record_type(session->session()); }, e), nullptr);
    EXPECT_EQ(e->stp_reason_code(), 53);
    EXPECT_EQ(utf8(e->msg()), "TLQSV1094E Not-found error: disk on fire");

    KXFaultInjector::Arm("GetEntityDefOrFamilyById", fault(KXFaultKind::PaMsgException, 1, L"odd"));
    TargetResourceArg b(31, 5u, 0u);
    ASSERT_NE(failure([&] { b.record_type(session->session()); }, e), nullptr);
    EXPECT_EQ(utf8(e->msg()), "TLQSV0769E Internal Error: Unknown error.");
    EXPECT_EQ(e->stp_reason_code(), 53);
    bool traced = false;
    for (auto const &line : diag.lines())
        traced |= line.find("Exception: TargetResourceArg::lookup_rectype(Unknown error.)") != std::string::npos;
    EXPECT_TRUE(traced);
}

TEST_F(Resolve, DefinitionsByNameAndDbid) {
    auto session = login(L"alice");
    AdSession *api = session->session();
    TargetResourceArg field(35, u(L"Defect"), u(L"Headline"));
    AdFieldDef *f = field.field_def(api);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(utf8(f->GetName()), "Headline");
    TargetResourceArg field2(35, static_cast<u_int>(f->GetEntityDef()->GetDbId()), static_cast<u_int>(f->GetDbId()));
    EXPECT_EQ(field2.field_def(api), f);

    TargetResourceArg action(40, u(L"Defect"), u(L"Assign"));
    AdActionDef *a = action.action_def(api);
    ASSERT_NE(a, nullptr);
    TargetResourceArg action2(40, static_cast<u_int>(a->GetEntityDef()->GetDbId()), static_cast<u_int>(a->GetDbId()));
    EXPECT_EQ(action2.action_def(api), a);

    TargetResourceArg form(41, u(L"Defect"), u(L"Defect_Base"));
    EXPECT_EQ(utf8(form.form_def(api)->GetName()), "Defect_Base");
    TargetResourceArg hook(42, u(L"Defect"), u(L"Initialize"));
    AdHookDef *h = hook.hook_def(api);
    ASSERT_NE(h, nullptr);
    EXPECT_NE(hook.record_type_ref(), nullptr);

    TargetResourceArg list(43, Nul::UString(), u(L"Priority"));
    AdListDef *l = list.dynamic_choice_list(api);
    ASSERT_NE(l, nullptr);
    TargetResourceArg list2(43, 0u, static_cast<u_int>(l->GetDbId()));
    EXPECT_EQ(list2.dynamic_choice_list(api), l);
    long calls = KXFaultInjector::CallCount("LookupListDef");
    EXPECT_EQ(list.dynamic_choice_list(api), l);
    EXPECT_EQ(KXFaultInjector::CallCount("LookupListDef"), calls);
}

TEST_F(Resolve, DefinitionsNotFound) {
    auto session = login(L"alice");
    AdSession *api = session->session();
    std::unique_ptr<Nul::STPException> e;
    TargetResourceArg field(35, u(L"Defect"), u(L"Nope"));
    ASSERT_NE(failure([&] { field.field_def(api); }, e), nullptr);
    EXPECT_EQ(utf8(e->msg()), "TLQSV0780E field definition not found: kx.field:Defect/Nope@KXDEMO/ISSUE");
    TargetResourceArg action(40, u(L"Defect"), u(L"Nope"));
    ASSERT_NE(failure([&] { action.action_def(api); }, e), nullptr);
    EXPECT_EQ(utf8(e->msg()), "TLQSV0782E action definition not found");
    TargetResourceArg form(41, u(L"Defect"), u(L"Nope"));
    ASSERT_NE(failure([&] { form.form_def(api); }, e), nullptr);
    EXPECT_EQ(utf8(e->msg()), "TLQSV0783E form definition not found");
    TargetResourceArg hook(42, u(L"Defect"), u(L"Nope"));
    ASSERT_NE(failure([&] { hook.hook_def(api); }, e), nullptr);
    EXPECT_EQ(utf8(e->msg()), "TLQSV0784E hook definition not found");
    TargetResourceArg list(43, Nul::UString(), u(L"Nope"));
    ASSERT_NE(failure([&] { list.dynamic_choice_list(api); }, e), nullptr);
    EXPECT_EQ(utf8(e->msg()), "TLQSV0785E List definition not found");
    EXPECT_EQ(e->stp_reason_code(), 53);

    KXFaultInjector::Arm("LookupListDef", fault(KXFaultKind::KXException, 1, L"broken"));
    TargetResourceArg list2(43, Nul::UString(), u(L"Priority"));
    ASSERT_NE(failure([&] { list2.dynamic_choice_list(api); }, e), nullptr);
    EXPECT_EQ(utf8(e->msg()), "TLQSV0777E Cannot get dynamic list definitions: broken");
    EXPECT_EQ(e->stp_reason_code(), 40);
}

TEST_F(Resolve, BucketsByPathAndDbidAndCaching) {
    auto session = login(L"alice");
    AdSession *api = session->session();
    TargetResourceArg byname(36, Nul::UString(), u(L"Public Queries/Defects/Open Defects"));
    AdBucketPtr b = byname.bucket(api);
    ASSERT_TRUE(b);
    EXPECT_EQ(utf8(b->GetName()), "Open Defects");
    long calls = KXFaultInjector::CallCount("AdWorkspaceMgr::LookupBucketByPathName");
    EXPECT_EQ(byname.bucket(api).get(), b.get());
    EXPECT_EQ(KXFaultInjector::CallCount("AdWorkspaceMgr::LookupBucketByPathName"), calls);

    TargetResourceArg bydbid(37, 0u, static_cast<u_int>(b->GetDbId()));
    EXPECT_EQ(bydbid.bucket(api)->GetDbId(), b->GetDbId());

    AdBucketPtr top = GetTopWorkspaceFolder(AdSessionPtr(api), AD_PUBLIC_FOLDER, 1);
    TargetResourceArg topdbid(37, 0u, static_cast<u_int>(top->GetDbId()));
    EXPECT_EQ(topdbid.bucket(api)->GetDbId(), top->GetDbId());

    // A copy shares the workspace item and makes no product call.
    TargetResourceArg copy(byname);
    calls = KXFaultInjector::CallCount("AdWorkspaceMgr::LookupBucketByPathName");
    EXPECT_EQ(copy.bucket(api).get(), b.get());
    EXPECT_EQ(KXFaultInjector::CallCount("AdWorkspaceMgr::LookupBucketByPathName"), calls);

    std::unique_ptr<Nul::STPException> e;
    TargetResourceArg missing(36, Nul::UString(), u(L"Public Queries/Nope"));
    ASSERT_NE(failure([&] { missing.bucket(api); }, e), nullptr);
    EXPECT_EQ(utf8(e->msg()), "TLQSV0781E query object not found: kx.query:Public Queries%/Nope@KXDEMO/ISSUE");
    // The missing path was looked up a second time after a refresh.
    TargetResourceArg other(36, Nul::UString(), u(L"Elsewhere/Nope"));
    ASSERT_NE(failure([&] { other.bucket(api); }, e), nullptr);
    TargetResourceArg nodbid(38, 0u, 999999u);
    ASSERT_NE(failure([&] { nodbid.bucket(api); }, e), nullptr);
    EXPECT_EQ(e->stp_reason_code(), 53);
}

TEST_F(Resolve, BucketUriRetriesOnceAfterRefresh) {
    auto session = login(L"alice");
    AdSessionPtr api(session->session());
    AdBucketPtr b;
    long refresh = KXFaultInjector::CallCount("AdWorkspaceMgr::RefreshEntireWorkspace");
    EXPECT_FALSE(QueryUtil::get_bucket_for_uri(api, u(L"Public Queries/Nope"), b));
    EXPECT_FALSE(b);
    EXPECT_EQ(KXFaultInjector::CallCount("AdWorkspaceMgr::RefreshEntireWorkspace"), refresh + 1);
    EXPECT_TRUE(QueryUtil::get_bucket_for_uri(api, u(L"/Personal Queries/My Defects"), b));
    ASSERT_TRUE(b);
    EXPECT_EQ(utf8(b->GetName()), "My Defects");
    EXPECT_FALSE(QueryUtil::get_bucket_for_uri(api, u(L"Other/x"), b));
    EXPECT_FALSE(b);
    EXPECT_FALSE(QueryUtil::get_bucket_for_uri(api, u(L"Public Queries"), b));
    ASSERT_TRUE(b);
}

TEST_F(Resolve, AttachmentFolderByNameDbidAndStateItem) {
    auto session = login(L"alice");
    AdSession *api = session->session();
    TargetResourceArg byname(45, u(L"Defect"), u(L"ISSUE00000001"));
    Bytes body = words({1});
    for (char const *name : {"Defect", "ISSUE00000001", "Attachments"}) kxtest::put_string(body, name);
    byname.set_type(45);
    ASSERT_TRUE(kxtest::decode(body, [&](XDR *x) { return byname.xdr(x); }));
    AttachmentFolder *folder = byname.attachment_folder(api);
    ASSERT_NE(folder, nullptr);
    EXPECT_EQ(utf8(folder->field_name()), "Attachments");

    auto item = std::make_shared<RecordStateItem>(folder->entity());
    Bytes sbody = words({3});
    Bytes handle = kxtest::encode([&](XDR *x) {
        StateItemPtr p = item;
        return xdr_state_handle(x, p);
    });
    sbody.insert(sbody.end(), handle.begin(), handle.end());
    Bytes bydbid = sbody;
    kxtest::put_word(bydbid, 2);
    kxtest::put_word(bydbid, static_cast<std::uint32_t>(folder->field_dbid()));
    TargetResourceArg state(45);
    ASSERT_TRUE(kxtest::decode(bydbid, [&](XDR *x) { return state.xdr(x); }));
    EXPECT_EQ(utf8(state.attachment_folder(api)->field_name()), "Attachments");
    EXPECT_EQ(state.attachment_folder(api), state.attachment_folder(api));

    // A field given by dbid that is not an attachment field.
    AdFieldDef *headline = folder->entity()->GetEntityDef()->LookupFieldDef(CString(L"Headline"));
    Bytes wrong = sbody;
    kxtest::put_word(wrong, 2);
    kxtest::put_word(wrong, static_cast<std::uint32_t>(headline->GetDbId()));
    TargetResourceArg bad(45);
    ASSERT_TRUE(kxtest::decode(wrong, [&](XDR *x) { return bad.xdr(x); }));
    std::unique_ptr<Nul::STPException> e;
    ASSERT_NE(failure([&] { bad.attachment_folder(api); }, e), nullptr);
    EXPECT_EQ(utf8(e->msg()), "TLQSV0787E Attachment folder not found");

    // A copy of the resolved folder keeps it and encodes as dbids.
    TargetResourceArg copy(state);
    EXPECT_NE(copy.cached_folder(), nullptr);
    remove_pointer_entry(item->oid());
}

TEST_F(Resolve, CurrentUser) {
    auto session = login(L"alice");
    AdSession *api = session->session();
    TargetResourceArg me(46, Nul::UString(), u(L"alice"));
    CurrentUserInfo *info = me.current_user(api);
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(utf8(info->login_name), "alice");
    TargetResourceArg byid(46, 0u, static_cast<u_int>(info->dbid));
    EXPECT_EQ(byid.current_user(api)->dbid, info->dbid);
    TargetResourceArg other(46, Nul::UString(), u(L"bob"));
    std::unique_ptr<Nul::STPException> e;
    ASSERT_NE(failure([&] { other.current_user(api); }, e), nullptr);
    EXPECT_NE(dynamic_cast<KXInternalErrorException const *>(e.get()), nullptr);
    EXPECT_EQ(utf8(e->msg()), "TLQSV0811E The user is not the current logged in user");
}

TEST_F(Resolve, UsersGroupsReplicasThroughTheAdministratorSession) {
    auto session = login(L"admin");
    TargetResourceArg bob(47, Nul::UString(), u(L"bob"));
    KXSmartPtr<KXUser> user = bob.user(session.get());
    ASSERT_TRUE(user);
    EXPECT_EQ(utf8(user->GetUserLoginName()), "bob");
    long calls = KXFaultInjector::CallCount("KXAdminSession::GetUser");
    EXPECT_EQ(bob.user(session.get()).get(), user.get());
    EXPECT_EQ(KXFaultInjector::CallCount("KXAdminSession::GetUser"), calls);
    TargetResourceArg bobid(47, 0u, static_cast<u_int>(user->GetDbId()));
    EXPECT_EQ(utf8(bobid.user(session.get())->GetUserLoginName()), "bob");

    std::unique_ptr<Nul::STPException> e;
    TargetResourceArg nobody(47, 0u, 999999u);
    ASSERT_NE(failure([&] { nobody.user(session.get()); }, e), nullptr);
    EXPECT_EQ(utf8(e->msg()), "TLQSV0854E User not found.");
    ASSERT_NE(dynamic_cast<TargetResourceArg const *>(e->resource()), nullptr);

    TargetResourceArg qa(48, Nul::UString(), u(L"QA"));
    KXSmartPtr<KXGroup> group = qa.group(session.get());
    ASSERT_TRUE(group);
    TargetResourceArg qaid(48, 0u, static_cast<u_int>(group->GetDbId()));
    EXPECT_EQ(utf8(qaid.group(session.get())->GetName()), "QA");
    TargetResourceArg nogroup(48, Nul::UString(), u(L"Nope"));
    ASSERT_NE(failure([&] { nogroup.group(session.get()); }, e), nullptr);
    EXPECT_EQ(utf8(e->msg()), "TLQSV0855E Group not found.");

    TargetResourceArg local(34, Nul::UString(), u(L"local"));
    AdReplica *replica = local.replica(session.get());
    ASSERT_NE(replica, nullptr);
    TargetResourceArg localid(34, 0u, static_cast<u_int>(replica->GetDbId()));
    EXPECT_EQ(localid.replica(session.get())->GetDbId(), replica->GetDbId());
    TargetResourceArg noreplica(34, Nul::UString(), u(L"Nope"));
    ASSERT_NE(failure([&] { noreplica.replica(session.get()); }, e), nullptr);
    EXPECT_EQ(utf8(e->msg()), "TLQSV0905E Replica not found.");

    KXFaultInjector::Arm("LookupMasterUser", fault(KXFaultKind::KXException, 1, L"master gone"));
    TargetResourceArg failing(47, 0u, 5u);
    ASSERT_NE(failure([&] { failing.user(session.get()); }, e), nullptr);
    EXPECT_EQ(utf8(e->msg()), "TLQSV1094E Not-found error: master gone");
    // A user target copy holds its own counted reference.
    TargetResourceArg copy(bob);
    EXPECT_EQ(copy.cached_object(), user.get());
}

TEST_F(Resolve, ReplicaAndGroupLookupFailuresAreNotFoundOfTheTarget) {
    auto session = login(L"admin");
    kxtest::ExceptionCounts counts;
    struct Case {
        char const *point;
        int type;
        KXFaultKind kind;
        char const *message;
    } const cases[] = {
        {"AdSession::LookupReplicaByName", 34, KXFaultKind::CException, "TLQSV1094E Not-found error: product text"},
        {"AdSession::LookupReplicaByName", 34, KXFaultKind::PaMsgException,
         "TLQSV0769E Internal Error: Unknown error."},
        {"KXAdminSession::GetGroup", 48, KXFaultKind::KXException, "TLQSV1094E Not-found error: product text"},
        {"KXAdminSession::GetGroup", 48, KXFaultKind::PaMsgException, "TLQSV0769E Internal Error: Unknown error."},
    };
    for (Case const &c : cases) {
        KXFaultInjector::Arm(c.point, fault(c.kind, 1, L"product text"));
        TargetResourceArg t(c.type, Nul::UString(), u(L"anything"));
        std::unique_ptr<Nul::STPException> e;
        ASSERT_NE(failure(
                      [&] {
                          if (c.type == 34)
                              t.replica(session.get());
                          else
                              t.group(session.get());
                      },
                      e),
                  nullptr)
            << c.point;
        EXPECT_EQ(e->stp_reason_code(), 53) << c.point;
        EXPECT_EQ(utf8(e->msg()), c.message) << c.point;
    }
    counts.expect_unchanged();
}

TEST_F(Resolve, UserDbAndDbSet) {
    KXSmartPtr<KXSession> s = KXSession::Build();
    s->WebUserLogon(CString(L"admin"), CString(L"admin"), CString(), CString(), CString(L"ISSUE"), CString(L"KXDEMO"));
    TargetResourceArg userdb(30);
    KXSmartPtr<KXDatabaseDesc> desc = userdb.user_db(s);
    ASSERT_TRUE(desc);
    EXPECT_EQ(utf8(userdb.dbset_name()), "KXDEMO");
    EXPECT_EQ(utf8(userdb.db_name()), "ISSUE");
    std::unique_ptr<Nul::STPException> e;
    ASSERT_NE(failure([&] { userdb.db_set(KXSmartPtr<KXAdminSession>()); }, e), nullptr);
    EXPECT_EQ(utf8(e->msg()), "TLQSV0769E Internal Error: type not DBSET");
    TargetResourceArg none(30);
    ASSERT_NE(failure([&] { none.user_db(KXSmartPtr<KXSession>()); }, e), nullptr);
    EXPECT_EQ(utf8(e->msg()), "TLQSV0769E Internal Error: need AdSession pointer to get KXDatabaseDesc pointer");

    KXSmartPtr<KXAdminSession> admin = KXAdminSession::Build();
    admin->Logon(CString(L"admin"), CString(L"admin"), CString(L"KXDEMO"));
    TargetResourceArg dbset(29);
    KXSmartPtr<KXDatabase> db = dbset.db_set(admin);
    ASSERT_TRUE(db);
    EXPECT_EQ(utf8(dbset.dbset_name()), utf8(db->GetDatabaseName()));
    EXPECT_EQ(utf8(dbset.db_name()), "");
    admin->Unbuild();
    s->Unbuild();
}

TEST_F(Resolve, ResolvedTargetsEncodeAsDbids) {
    auto session = login(L"alice");
    TargetResourceArg byname(32, u(L"Defect"), u(L"ISSUE00000001"));
    AdEntityPtr record = byname.record(session->session());
    TargetResourceArg made(record);
    Bytes out = kxtest::encode([&](XDR *x) { return made.xdr(x); });
    EXPECT_EQ(out, words({2, static_cast<std::uint32_t>(record->GetEntityDef()->GetDbId()),
                          static_cast<std::uint32_t>(record->GetDbId())}));
    // A copy of a target made from an object keeps that object.
    TargetResourceArg field(byname.record(session->session())->GetEntityDef()->LookupFieldDef(CString(L"Headline")));
    TargetResourceArg copy(field);
    EXPECT_EQ(copy.cached_object(), field.cached_object());
    Bytes a = kxtest::encode([&](XDR *x) { return field.xdr(x); });
    Bytes b = kxtest::encode([&](XDR *x) { return copy.xdr(x); });
    EXPECT_EQ(a, b);
    EXPECT_EQ(kxtest::word_at(a, 0), 2u);
}

TEST_F(Resolve, RecordLookupStatusCheck) {
    EXPECT_NO_THROW(check_record_lookup_status(0, u(L"")));
    EXPECT_NO_THROW(check_record_lookup_status(1, u(L"x")));
    try {
        check_record_lookup_status(3, u(L"wrong type"));
        FAIL();
    } catch (Nul::STPException const &e) {
        EXPECT_EQ(e.stp_reason_code(), 37);
        EXPECT_EQ(utf8(e.msg()), "TLQSV1102I wrong type");
        EXPECT_EQ(e.resource(), nullptr);
    }
}

TEST_F(Resolve, RecordNameAndIdTexts) {
    auto session = login(L"alice");
    TargetResourceArg t(32, u(L"Defect"), u(L"ISSUE00000001"));
    AdEntityPtr record = t.record(session->session());
    RecordNameIdFetcher fetcher(record);
    EXPECT_EQ(utf8(fetcher.name_text()), "Defect/ISSUE00000001");
    EXPECT_EQ(utf8(fetcher.id_text()),
              std::to_string(record->GetEntityDef()->GetDbId()) + "/" + std::to_string(record->GetDbId()));
}

TEST_F(Resolve, BucketByDbidFallsBackToThePersonalFolderWhenPublicIsDenied) {
    auto session = login(L"alice");
    AdSession *api = session->session();
    AdBucketPtr personal = GetTopWorkspaceFolder(AdSessionPtr(api), AD_PERSONAL_FOLDER, 1);
    ASSERT_TRUE(personal);
    kxtest::DiagCapture diag;
    AdDiagnostic::Configure("66=1");
    KXFaultInjector::Arm("GetTopWorkspaceFolder",
                         fault(KXFaultKind::PaMsgException, KX_MSG_PERM_DENIED_PUBLIC_FOLDER_ADMIN, L"denied"));
    TargetResourceArg t(37, 0u, static_cast<u_int>(personal->GetDbId()));
    EXPECT_EQ(t.bucket(api)->GetDbId(), personal->GetDbId());
    bool traced = false;
    for (auto const &line : diag.lines())
        traced |= line.find("Ignoring Exception: GetTopWorkspaceFolder PUBLIC_FOLDER "
                            "PERM_DENIED_PUBLIC_FOLDER_ADMIN: denied") != std::string::npos;
    EXPECT_TRUE(traced);

    KXFaultInjector::Arm("GetTopWorkspaceFolder", fault(KXFaultKind::PaMsgException, 13224, L"other failure"));
    TargetResourceArg u2(37, 0u, static_cast<u_int>(personal->GetDbId()));
    std::unique_ptr<Nul::STPException> e;
    ASSERT_NE(failure([&] { u2.bucket(api); }, e), nullptr);
    EXPECT_EQ(e->stp_reason_code(), 40);
    EXPECT_EQ(utf8(e->msg()), "TLQSV0769E Internal Error: other failure");

    KXFaultInjector::Arm("AdWorkspaceMgr::GetBucket", fault(KXFaultKind::CException, 0, L"no workspace"));
    TargetResourceArg u3(38, 0u, 424242u);
    ASSERT_NE(failure([&] { u3.bucket(api); }, e), nullptr);
    EXPECT_EQ(e->stp_reason_code(), 53);
    EXPECT_EQ(utf8(e->msg()), "TLQSV1094E Not-found error: no workspace");
    EXPECT_NE(dynamic_cast<TargetResourceArg const *>(e->resource()), nullptr);
}

TEST_F(Resolve, ArmTargetTextNamesTheSessionDatabase) {
    auto session = login(L"alice");
    TargetResourceArg t(32, u(L"Defect"), u(L"ISSUE00000001"));
    t.record(session->session());
    EXPECT_EQ(utf8(t.arm_target_uri(session->session())), "KXDEMO/ISSUE/kx.record:Defect/ISSUE00000001@KXDEMO/ISSUE");
}

TEST_F(Resolve, AssignmentCopiesTheRecordTypeReference) {
    auto session = login(L"alice");
    TargetResourceArg hook(42, u(L"Defect"), u(L"Initialize"));
    AdHookDef *h = hook.hook_def(session->session());
    TargetResourceArg other(31, u(L"Project"));
    other = hook;
    EXPECT_EQ(other.type(), 42);
    EXPECT_EQ(other.record_type_ref(), hook.record_type_ref());
    EXPECT_EQ(other.entity_def(nullptr), hook.record_type_ref());
    long calls = KXFaultInjector::CallCount("LookupEntityDefOrFamily");
    EXPECT_EQ(other.hook_def(session->session()), h);
    EXPECT_EQ(KXFaultInjector::CallCount("LookupEntityDefOrFamily"), calls);
}

TEST_F(Resolve, StateItemTextForms) {
    auto session = login(L"alice");
    TargetResourceArg t(32, u(L"Defect"), u(L"ISSUE00000001"));
    AdEntityPtr record = t.record(session->session());
    AttachmentFolder folder(record, u(L"Attachments"), 77);
    auto item = std::make_shared<AttachmentStateItem>(std::make_unique<Attachment>(folder, u(L"a/b.txt"), 5));
    TargetResourceArg attachment(44, StateItemPtr(item));
    attachment.set_repository_names(u(L"KXDEMO"), u(L"ISSUE"));
    EXPECT_EQ(utf8(attachment.to_selector()), "kx.record:Defect/ISSUE00000001/Attachments/a%/b.txt@KXDEMO/ISSUE");
    Nul::Selector parsed(attachment.to_selector());
    EXPECT_EQ(parsed.object_name_segments().size(), 4u);

    auto record_item = std::make_shared<RecordStateItem>(record);
    Nul::Oid oid = add_pointer_entry(record_item);
    Bytes handle = kxtest::encode([&](XDR *x) {
        StateItemPtr p = record_item;
        return xdr_state_handle(x, p);
    });
    Bytes body = words({3});
    body.insert(body.end(), handle.begin(), handle.end());
    kxtest::put_word(body, 1);
    kxtest::put_word(body, 11);
    kxtest::put_bytes(body, "Attachments");
    body.push_back(0);
    TargetResourceArg folder_target(45);
    ASSERT_TRUE(kxtest::decode(body, [&](XDR *x) { return folder_target.xdr(x); }));
    EXPECT_EQ(utf8(folder_target.to_selector()), "Defect/ISSUE00000001/Attachments");
    remove_pointer_entry(oid);
}

namespace {

// A type-44 target on the wire: by names (record type, record, field, file name) or by dbids.
Bytes attachment_by_names(std::vector<std::string> const &names) {
    Bytes body = words({1});
    for (auto const &s : names) kxtest::put_string(body, s);
    return body;
}

Bytes attachment_by_dbids(std::vector<std::uint32_t> const &dbids) {
    Bytes body = words({2});
    for (auto d : dbids) kxtest::put_word(body, d);
    return body;
}

} // namespace

TEST_F(Resolve, AttachmentFieldEntriesAndSearches) {
    auto session = login(L"alice");
    TargetResourceArg t(32, u(L"Defect"), u(L"ISSUE00000001"));
    AdEntityPtr record = t.record(session->session());
    AttachmentFolder folder(record, u(L"Attachments"), 77);
    EXPECT_EQ(utf8(folder.to_string()), "AttachmentFolder: (rec:ISSUE00000001 :: name:Attachments :: dbid:77)");

    std::vector<Attachment> all = folder.attachments();
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(utf8(all[0].file_name()), "crash.log");
    EXPECT_EQ(all[0].size(), 36);
    EXPECT_EQ(utf8(all[0].description()), "Log of the crash");
    EXPECT_EQ(utf8(all[1].file_name()), "steps.txt");
    EXPECT_EQ(utf8(all[1].description()), "");
    std::vector<std::int64_t> dbids = folder.attachment_dbids();
    ASSERT_EQ(dbids.size(), 2u);
    EXPECT_EQ(dbids[0], all[0].dbid());
    EXPECT_EQ(dbids[1], all[1].dbid());
    // The entry text is kept whole: it names the entry to the product later.
    EXPECT_EQ(utf8(all[1].kx_name_id()), std::to_string(dbids[1]) + "\nsteps.txt\n49\n");
    EXPECT_EQ(folder.attachment_text(dbids[0]).compare(all[0].kx_name_id()), 0);
    EXPECT_TRUE(folder.attachment_text(dbids[0] + dbids[1]).empty());

    std::unique_ptr<Attachment> by_dbid = folder.find_by_dbid(dbids[1]);
    ASSERT_NE(by_dbid, nullptr);
    EXPECT_EQ(utf8(by_dbid->file_name()), "steps.txt");
    EXPECT_EQ(by_dbid->size(), 49);
    EXPECT_EQ(folder.find_by_dbid(0), nullptr);
    std::unique_ptr<Attachment> by_name = folder.find(u(L"crash.log"));
    ASSERT_NE(by_name, nullptr);
    EXPECT_EQ(by_name->dbid(), dbids[0]);
    EXPECT_EQ(utf8(by_name->to_string()),
              "Attachment: (name:crash.log :: dbid:" + std::to_string(dbids[0]) +
                  " :: size:36 :: description:Log of the crash :: kx_name_id:" + utf8(all[0].kx_name_id()) + ")");
    EXPECT_EQ(folder.find(u(L"CRASH.LOG")), nullptr);
    EXPECT_TRUE(by_name->content_path().empty());

    // Another record's field is empty.
    TargetResourceArg t2(32, u(L"Defect"), u(L"ISSUE00000002"));
    AttachmentFolder empty(t2.record(session->session()), u(L"Attachments"), 77);
    EXPECT_TRUE(empty.attachments().empty());
    EXPECT_EQ(empty.find(u(L"crash.log")), nullptr);
}

TEST_F(Resolve, AttachmentEntryLines) {
    AttachmentFolder folder(AdEntityPtr(), u(L"Attachments"), 9);
    // The file name is the stored path's last component; the description keeps its new lines.
    auto a = attachment_from_entry(folder, u(L"12\n/var/files/report.pdf\n2048\nfirst line\nsecond line"));
    EXPECT_EQ(a->dbid(), 12);
    EXPECT_EQ(utf8(a->file_name()), "report.pdf");
    EXPECT_EQ(a->size(), 2048);
    EXPECT_EQ(utf8(a->description()), "first line\nsecond line");
    EXPECT_EQ(utf8(a->folder().field_name()), "Attachments");
    // An empty size line is size 0; missing lines are empty.
    EXPECT_EQ(attachment_from_entry(folder, u(L"13\nname\n\ndesc"))->size(), 0);
    auto bare = attachment_from_entry(folder, u(L"14"));
    EXPECT_EQ(bare->dbid(), 14);
    EXPECT_TRUE(bare->file_name().empty());
    EXPECT_EQ(bare->size(), 0);

    for (wchar_t const *bad : {L"x1\nname\n1\n", L"\nname\n1\n", L"1\nname\n-5\n", L"1\nname\n2147483648\n",
                               L"99999999999999999999\nname\n1\n", L"1\nname\n1 \n"}) {
        std::unique_ptr<Nul::STPException> e;
        ASSERT_NE(failure([&] { attachment_from_entry(folder, u(bad)); }, e), nullptr) << utf8(u(bad));
        EXPECT_EQ(e->stp_reason_code(), 40);
        EXPECT_NE(utf8(e->msg()).find("Error converting string to ulong"), std::string::npos);
    }
    EXPECT_EQ(attachment_from_entry(folder, u(L"1\nname\n2147483647\n"))->size(), 2147483647);
}

TEST_F(Resolve, AttachmentByNameDbidAndStateItem) {
    auto session = login(L"alice");
    AdSession *api = session->session();
    TargetResourceArg byname(44);
    ASSERT_TRUE(kxtest::decode(attachment_by_names({"Defect", "ISSUE00000001", "Attachments", "steps.txt"}),
                               [&](XDR *x) { return byname.xdr(x); }));
    Attachment *a = byname.attachment(api);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(utf8(a->file_name()), "steps.txt");
    EXPECT_EQ(utf8(a->folder().entity()->GetDisplayName()), "ISSUE00000001");
    // Resolved once: the second call asks the product nothing.
    long calls = KXFaultInjector::CallCount("AdEntity::GetFieldValue");
    EXPECT_EQ(byname.attachment(api), a);
    EXPECT_EQ(KXFaultInjector::CallCount("AdEntity::GetFieldValue"), calls);
    // A copy keeps the attachment, and the selector names it.
    TargetResourceArg copy(byname);
    ASSERT_NE(copy.cached_attachment(), nullptr);
    EXPECT_EQ(copy.cached_attachment()->dbid(), a->dbid());
    byname.set_repository_names(u(L"KXDEMO"), u(L"ISSUE"));
    EXPECT_EQ(utf8(byname.to_selector()), "kx.record:Defect/ISSUE00000001/Attachments/steps.txt@KXDEMO/ISSUE");

    AttachmentFolder const &folder = a->folder();
    AdEntityDef *def = folder.entity()->GetEntityDef();
    TargetResourceArg bydbid(44);
    ASSERT_TRUE(
        kxtest::decode(attachment_by_dbids({static_cast<std::uint32_t>(def->GetDbId()),
                                            static_cast<std::uint32_t>(folder.entity()->GetDbId()),
                                            static_cast<std::uint32_t>(def->LookupFieldDef(L"Attachments")->GetDbId()),
                                            static_cast<std::uint32_t>(a->dbid())}),
                       [&](XDR *x) { return bydbid.xdr(x); }));
    ASSERT_NE(bydbid.attachment(api), nullptr);
    EXPECT_EQ(utf8(bydbid.attachment(api)->file_name()), "steps.txt");

    // Not found: an unknown name, an unknown dbid, an attachment of another record.
    for (Bytes const &body : {attachment_by_names({"Defect", "ISSUE00000001", "Attachments", "nothing.txt"}),
                              attachment_by_names({"Defect", "ISSUE00000002", "Attachments", "steps.txt"}),
                              attachment_by_dbids({static_cast<std::uint32_t>(def->GetDbId()),
                                                   static_cast<std::uint32_t>(folder.entity()->GetDbId()),
                                                   static_cast<std::uint32_t>(folder.field_dbid()), 4000000u})}) {
        TargetResourceArg missing(44);
        ASSERT_TRUE(kxtest::decode(body, [&](XDR *x) { return missing.xdr(x); }));
        std::unique_ptr<Nul::STPException> e;
        ASSERT_NE(failure([&] { missing.attachment(api); }, e), nullptr);
        EXPECT_EQ(utf8(e->msg()), "TLQSV0788E Attachment not found");
    }
    // The field must be an attachment field.
    TargetResourceArg wrong_field(44);
    ASSERT_TRUE(kxtest::decode(attachment_by_names({"Defect", "ISSUE00000001", "Headline", "steps.txt"}),
                               [&](XDR *x) { return wrong_field.xdr(x); }));
    std::unique_ptr<Nul::STPException> e;
    ASSERT_NE(failure([&] { wrong_field.attachment(api); }, e), nullptr);
    EXPECT_EQ(utf8(e->msg()), "TLQSV0787E Attachment folder not found");
    // Another type code asks for the attachment in vain.
    TargetResourceArg folder_target(45, u(L"Defect"), u(L"ISSUE00000001"));
    ASSERT_NE(failure([&] { folder_target.attachment(api); }, e), nullptr);
    EXPECT_NE(utf8(e->msg()).find("type not ATTACHMENT"), std::string::npos);

    // By state handle: the held attachment itself, so changes reach it.
    auto item = std::make_shared<AttachmentStateItem>(std::make_unique<Attachment>(folder, u(L"new.txt"), 0));
    TargetResourceArg held(44, StateItemPtr(item));
    EXPECT_EQ(held.attachment(api), item->attachment());
    auto record_item = std::make_shared<RecordStateItem>(folder.entity());
    TargetResourceArg not_attachment(44, StateItemPtr(record_item));
    ASSERT_NE(failure([&] { not_attachment.attachment(api); }, e), nullptr);
    EXPECT_NE(utf8(e->msg()).find("AttachmentStateItem"), std::string::npos);
}

TEST_F(Resolve, MakeAttachmentReplyLayout) {
    auto session = login(L"alice");
    TargetResourceArg t(32, u(L"Defect"), u(L"ISSUE00000001"));
    AttachmentFolder folder(t.record(session->session()), u(L"Attachments"), 77);
    auto attachment = std::make_unique<Attachment>(folder, u(L"notes.txt"), 0);
    attachment->set_file_path(u(L"/tmp/somewhere/notes.txt"));
    auto item = std::make_shared<AttachmentStateItem>(std::move(attachment));
    EXPECT_EQ(utf8(item->file_path()), "/tmp/somewhere/notes.txt");
    {
        MakeAttachmentResp reply(item);
        bool ok = false;
        Bytes out = kxtest::encode([&](XDR *x) { return reply.xdr(x); }, &ok);
        ASSERT_TRUE(ok);
        // The handle: length 16 and the item's Oid, now registered.
        ASSERT_FALSE(item->oid().is_nil());
        EXPECT_EQ(lookup_pointer_entry(item->oid()), item);
        Bytes expected = words({16});
        Bytes handle = kxtest::encode([&](XDR *x) {
            StateItemPtr p = item;
            return xdr_state_handle(x, p);
        });
        ASSERT_EQ(out.size(), handle.size() + 4 * 4 + 8 + 16 + 12 + 12);
        EXPECT_TRUE(std::equal(handle.begin(), handle.end(), out.begin()));
        Bytes rest(out.begin() + static_cast<long>(handle.size()), out.end());
        Bytes strings;
        for (char const *s : {"Defect", "ISSUE00000001", "Attachments", "notes.txt"}) kxtest::put_string(strings, s);
        EXPECT_EQ(rest, strings);
    }
    // The reply is gone; the item stays registered for the calls that name it.
    EXPECT_EQ(lookup_pointer_entry(item->oid()), item);
    // A client's file is never handed over: the item keeps naming it.
    EXPECT_EQ(item->take_upload(), nullptr);
    EXPECT_EQ(utf8(item->file_path()), "/tmp/somewhere/notes.txt");
    EXPECT_TRUE(remove_pointer_entry(item->oid()));
    // No item, no reply.
    MakeAttachmentResp none(nullptr);
    bool ok = true;
    kxtest::encode([&](XDR *x) { return none.xdr(x); }, &ok);
    EXPECT_FALSE(ok);
}
