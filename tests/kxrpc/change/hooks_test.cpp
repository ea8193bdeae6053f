// fire_hook and fire_script_alias in-process over the demo set's Lua hooks: the replies byte for
// byte, the conversion of every product failure, and the hook-value scope around both.
#include "change/hooks.h"

#include <string>
#include <vector>

#include "change/requests.h"
#include "handler_env.h"
#include "kxproduct/session.h"
#include "props/replies.h"
#include "target/held_items.h"

using namespace KxRpc;
using namespace kxtest;

namespace {

class Hooks : public HandlerTest {
protected:
    void SetUp() override {
        HandlerTest::SetUp();
        login_ = login(L"alice");
        api_ = AdSessionPtr(login_->session());
    }
    void TearDown() override {
        for (auto const &item : held_) remove_pointer_entry(item->oid());
        held_.clear();
        handed_out_.reset();
        api_ = AdSessionPtr();
        HandlerTest::TearDown();
    }

    AdEntityPtr stored(char const *name) {
        AdEntityPtr record;
        CString error;
        AdEntityMgr::Get(api_)->LookupEntityWithStatus(LookupEntityDefOrFamily(api_, L"Defect"),
                                                       CString::FromUtf8(name), record, error, 1);
        return record;
    }
    // A temporary record of the stored record, opened for Modify, named by its handle.
    Bytes temporary(char const *name, AdEntityPtr *out = nullptr) {
        AdEntityPtr record = stored(name);
        EditEntity(record, L"Modify");
        if (out) *out = record;
        return held(std::make_shared<RecordStateItem>(record));
    }
    Bytes held(StateItemPtr item) {
        held_.push_back(item);
        return cat(words({32, 3}), handle_of(item));
    }
    Outcome hook(Bytes const &record, Bytes const &hook, std::string const &param, bool side_effects,
                 std::string const &form = "", std::string const &tab = "") {
        Bytes body = cat(cat(cat(header(login_), record), hook), str(param));
        body = cat(cat(cat(body, words({side_effects ? 1u : 0u})), str(form)), str(tab));
        return call<FireHookArgs>(kxrpc_fire_hook, body);
    }
    Outcome alias(Bytes const &record, char const *action, std::string const &form = "") {
        Bytes body = cat(cat(header(login_), record), by_name(40, {"Defect", action}));
        return call<FireScriptAliasArgs>(kxrpc_fire_script_alias, cat(cat(body, str(form)), str("")));
    }
    // The handle the reply registered; released with the test.
    void keep_handed_out(Bytes const &reply, std::size_t at) {
        StateItemPtr item;
        Bytes handle(reply.begin() + at, reply.begin() + at + 20);
        ASSERT_TRUE(decode(handle, [&](XDR *x) { return xdr_state_handle(x, item); }));
        ASSERT_TRUE(item);
        held_.push_back(item);
        handed_out_ = item;
    }
    static Bytes global(char const *name) { return by_name(51, {name}); }
    static Bytes defect_hook(char const *name) { return by_name(42, {"Defect", name}); }

    std::shared_ptr<LoginSession> login_;
    AdSessionPtr api_;
    std::vector<StateItemPtr> held_;
    StateItemPtr handed_out_;
};

} // namespace

TEST_F(Hooks, OnATemporaryRecordAnswersTheResultAndTheChangedFields) {
    AdEntityPtr record;
    Bytes target = temporary("ISSUE00000004", &record);
    std::string const headline = u8(Nul::UString(record->GetFieldValue(L"Headline").GetValue().GetString()));
    Outcome out = hook(target, defect_hook("CopyHeadline"), "", true);
    ASSERT_TRUE(out.result) << out.message();
    // has_record FALSE; has_changes TRUE, one field: Notes_Log, MPT:string, value changed.
    EXPECT_EQ(out.reply(), cat(cat(cat(str(headline), words({0, 1, 1})), str("Notes_Log")), words({970, 1})));
    EXPECT_EQ(record->GetFieldValue(L"Notes_Log").GetValue(), CString::FromUtf8(headline));
}

TEST_F(Hooks, ARecordByNameThatTheHookOpensIsHandedOutWithItsTexts) {
    Outcome out = hook(by_name(32, {"Defect", "ISSUE00000005"}), defect_hook("CopyHeadline"), "", false);
    ASSERT_TRUE(out.result) << out.message();
    Bytes reply = out.reply();
    AdEntityPtr record = stored("ISSUE00000005");
    std::size_t const at = 4 + (word_at(reply, 0) + 3) / 4 * 4; // after the result text
    ASSERT_EQ(1u, word_at(reply, at / 4));
    keep_handed_out(reply, at + 4);
    std::string const ids = std::to_string(record->GetEntityDef()->GetDbId()) + "/" + std::to_string(record->GetDbId());
    EXPECT_EQ(Bytes(reply.begin() + at + 24, reply.end()), cat(cat(str("Defect/ISSUE00000005"), str(ids)), words({0})));
    EXPECT_EQ(16u, word_at(reply, at / 4 + 1));
    auto *item = dynamic_cast<RecordStateItem *>(handed_out_.get());
    ASSERT_NE(item, nullptr);
    EXPECT_TRUE(item->entity()->IsEditable());
}

TEST_F(Hooks, AGlobalHookOnAStoredRecordLeavesNothingOpen) {
    AdEntityPtr record = stored("ISSUE00000006");
    Outcome out =
        hook(by_name(32, {"Defect", "ISSUE00000006"}), global("Open_Help"), "states", true, "Defect_Base", "Notes");
    ASSERT_TRUE(out.result) << out.message();
    // No record handed out; the changes were asked for and there are none.
    EXPECT_EQ(out.reply(), cat(str("ISSUE00000006"), words({0, 1, 0})));
    EXPECT_EQ(api_->GetNameValue(L"_KXXE_OPEN_URL"), L"https://help.korvax.example/Defect?topic=states");
    EXPECT_FALSE(record->IsEditable());
}

TEST_F(Hooks, FormAndTabAreSetOnlyWhenAFormIsNamed) {
    AdEntityPtr record;
    Bytes target = temporary("ISSUE00000007", &record);
    ASSERT_TRUE(hook(target, global("Open_Help"), "", false).result);
    EXPECT_EQ(record->GetViewFormName(), L"");
    ASSERT_TRUE(hook(target, global("Open_Help"), "", false, "Defect_Base", "Notes").result);
    EXPECT_EQ(record->GetViewFormName(), L"Defect_Base");
    EXPECT_EQ(record->GetViewTabName(), L"Notes");
    // An unknown form fails the call before the hook runs.
    Outcome bad = hook(target, global("Open_Help"), "", false, "NoForm", "");
    EXPECT_EQ(17, bad.reason());
    EXPECT_EQ(0u, bad.message().find("TLQSV0776E Failed to fire hook: "));
}

TEST_F(Hooks, EveryProductFailureOfAHookIsAConflict72) {
    Outcome lua = hook(by_name(32, {"Defect", "ISSUE00000008"}), defect_hook("Initialize"), "", false);
    EXPECT_EQ(17, lua.reason());
    EXPECT_EQ(0u, lua.message().find("TLQSV0776E Failed to fire hook: Hook 'Initialize' failed: ")) << lua.message();
    EXPECT_EQ(17, hook(by_name(32, {"Defect", "ISSUE00000008"}), global("NoSuchHook"), "", false).reason());
    for (KXFaultKind kind : {KXFaultKind::KXException, KXFaultKind::PaMsgException, KXFaultKind::CException}) {
        KXFaultInjector::Arm("AdEntity::FireNamedHook", KXFault{kind, 13224, L"injected"});
        Outcome out = hook(temporary("ISSUE00000008"), global("Open_Help"), "", true);
        EXPECT_EQ(17, out.reason()) << static_cast<int>(kind);
        EXPECT_EQ("TLQSV0776E Failed to fire hook: injected", out.message());
    }
}

TEST_F(Hooks, TargetsThatAreNoTemporaryRecordAreInternalErrors) {
    Bytes folder = held(std::make_shared<QueryItemStateItem>(Nul::UString(L"f"), 4));
    Outcome hook_out = hook(folder, global("Open_Help"), "", false);
    EXPECT_EQ(40, hook_out.reason());
    EXPECT_EQ("TLQSV0769E Internal Error: was expecting a temporary record", hook_out.message());
    Outcome alias_out = alias(folder, "Triage");
    EXPECT_EQ(40, alias_out.reason());
    EXPECT_EQ("TLQSV0769E Internal Error: Expecting temporary record", alias_out.message());
}

TEST_F(Hooks, ScriptAliasAnswersItsResultOrAConflict87) {
    AdEntityPtr record;
    Bytes target = temporary("ISSUE00000009", &record);
    ASSERT_TRUE(record->SetFieldValue(L"Severity", L"1-Critical").IsEmpty());
    Outcome out = alias(target, "Triage", "Defect_Base");
    ASSERT_TRUE(out.result) << out.message();
    EXPECT_EQ(out.reply(), str("1-Resolve Immediately"));
    EXPECT_EQ(record->GetViewFormName(), L"Defect_Base");

    Outcome stopped = alias(by_name(32, {"Defect", "ISSUE00000010"}), "Triage");
    EXPECT_EQ(17, stopped.reason());
    EXPECT_EQ("TLQSV0791E Fire script alias failed: Hook 'Triage_Script' failed: Triage needs the record open for an "
              "action",
              stopped.message());
    Outcome not_alias = alias(target, "Modify");
    EXPECT_EQ(17, not_alias.reason());
    EXPECT_EQ(0u, not_alias.message().find("TLQSV0791E Fire script alias failed: ")) << not_alias.message();
    for (KXFaultKind kind : {KXFaultKind::KXException, KXFaultKind::PaMsgException, KXFaultKind::CException}) {
        KXFaultInjector::Arm("FireRecordHookAlias", KXFault{kind, 13224, L"injected"});
        Outcome failed = alias(target, "Triage");
        EXPECT_EQ(17, failed.reason()) << static_cast<int>(kind);
        EXPECT_EQ("TLQSV0791E Fire script alias failed: injected", failed.message());
    }
}

// In a multi-modify batch on the record, a hook sees the hook values cleared and its own writes
// to them end with the call; outside one it writes the session's values.
TEST_F(Hooks, HookValuesOfABatchRecordComeBackAfterTheCall) {
    api_->SetNameValue(L"_KXXE_OPEN_URL", L"before");
    api_->SetNameValue(MRU_context::batch_mode_name, L"ISSUE00000011");
    ASSERT_TRUE(hook(by_name(32, {"Defect", "ISSUE00000011"}), global("Open_Help"), "x", false).result);
    EXPECT_EQ(api_->GetNameValue(L"_KXXE_OPEN_URL"), L"before");
    api_->SetNameValue(MRU_context::batch_mode_name, L"");
    ASSERT_TRUE(hook(by_name(32, {"Defect", "ISSUE00000011"}), global("Open_Help"), "x", false).result);
    EXPECT_EQ(api_->GetNameValue(L"_KXXE_OPEN_URL"), L"https://help.korvax.example/Defect?topic=x");
}

TEST_F(Hooks, TraceLinesNameTheProcedureAndTheCaughtKind) {
    kxtest::DiagCapture diag;
    AdDiagnostic::SetFlag(66, 1);
    KXFaultInjector::Arm("AdEntity::FireNamedHook", KXFault{KXFaultKind::CException, 0, L"boom"});
    EXPECT_EQ(17, hook(by_name(32, {"Defect", "ISSUE00000012"}), global("Open_Help"), "", false).reason());
    KXFaultInjector::Arm("FireRecordHookAlias", KXFault{KXFaultKind::KXException, 13224, L"bang"});
    EXPECT_EQ(17, alias(by_name(32, {"Defect", "ISSUE00000012"}), "Triage").reason());
    std::vector<std::string> starts, caught;
    for (auto const &line : diag.lines()) {
        if (line.rfind("KXRPC|Info: (kxrpc_fire_", 0) == 0) starts.push_back(line.substr(0, line.find(' ', 12)));
        if (line.rfind("KXRPC|Exception: ", 0) == 0) caught.push_back(line);
    }
    EXPECT_EQ(starts,
              (std::vector<std::string>{"KXRPC|Info: (kxrpc_fire_hook", "KXRPC|Info: (kxrpc_fire_script_alias"}));
    EXPECT_EQ(caught,
              (std::vector<std::string>{"KXRPC|Exception: CException is caught in kxrpc_fire_hook(boom)",
                                        "KXRPC|Exception: KXException is caught in kxrpc_fire_script_alias(bang)"}));
}
