// Lua hooks and record script aliases: results, the sandbox, the limits and the side effects.
#include <string>
#include <vector>

#include "kxproduct/kxproduct.h"
#include "test_support.h"

namespace {

const char *kHooks = R"(<?xml version="1.0"?>
<kxdefinition name="HOOKS">
  <database name="DB"/>
  <user login="u" password="pw" privileges="super-user"/>
  <record-type name="Task">
    <field name="Title" type="short-string"/>
    <field name="Notes" type="multiline-string"/>
    <field name="Links" type="reference-list" reference="Task"/>
    <state name="Open"/>
    <action name="Submit" type="submit" to="Open"/>
    <action name="Modify" type="modify"/>
    <action name="Stamp" type="record-script-alias"/>
    <action name="Broken" type="record-script-alias"/>
    <action name="Orphan" type="record-script-alias"/>
    <hook name="echo" type="record-script" language="lua"><![CDATA[return param .. "!", "ignored"]]></hook>
    <hook name="vararg" type="record-script" language="lua"><![CDATA[local p = ... return p]]></hook>
    <hook name="nothing" type="record-script" language="lua"><![CDATA[local x = 1]]></hook>
    <hook name="number" type="record-script" language="lua"><![CDATA[return 6 * 7]]></hook>
    <hook name="fails" type="record-script" language="lua"><![CDATA[error("no good", 0)]]></hook>
    <hook name="fails_table" type="record-script" language="lua"><![CDATA[error({})]]></hook>
    <hook name="syntax" type="record-script" language="lua"><![CDATA[return +]]></hook>
    <hook name="spin" type="record-script" language="lua"><![CDATA[while true do end]]></hook>
    <hook name="spin_pcall" type="record-script" language="lua"><![CDATA[
local function f() while true do pcall(f) end end
while true do pcall(f) end]]></hook>
    <hook name="spin_gc" type="record-script" language="lua"><![CDATA[
setmetatable({}, {__gc = function() while true do end end})
while true do end]]></hook>
    <hook name="hog" type="record-script" language="lua"><![CDATA[
local t = {}
while true do t[#t + 1] = string.rep("x", 4096) .. #t end]]></hook>
    <hook name="hog_rep" type="record-script" language="lua"><![CDATA[return #string.rep("x", 1 << 30)]]></hook>
    <hook name="hog_pcall" type="record-script" language="lua"><![CDATA[
local t = {}
while true do pcall(function() t[#t + 1] = string.rep("y", 65536) .. #t end) end]]></hook>
    <hook name="io" type="record-script" language="lua"><![CDATA[return io.open("/etc/passwd"):read("a")]]></hook>
    <hook name="os" type="record-script" language="lua"><![CDATA[return os.execute("true")]]></hook>
    <hook name="require" type="record-script" language="lua"><![CDATA[return require("io")]]></hook>
    <hook name="dofile" type="record-script" language="lua"><![CDATA[return dofile("/etc/passwd")]]></hook>
    <hook name="loadfile" type="record-script" language="lua"><![CDATA[return loadfile("/etc/passwd")]]></hook>
    <hook name="dump" type="record-script" language="lua"><![CDATA[return string.dump(print)]]></hook>
    <hook name="binary" type="record-script" language="lua"><![CDATA[return assert(load("\27Lua\84\0"))]]></hook>
    <hook name="text_load" type="record-script" language="lua"><![CDATA[return load("return 1 + 2")()]]></hook>
    <hook name="gc_stop" type="record-script" language="lua"><![CDATA[collectgarbage("stop")]]></hook>
    <hook name="gc_count" type="record-script" language="lua"><![CDATA[return collectgarbage("count") > 0]]></hook>
    <hook name="print" type="record-script" language="lua"><![CDATA[print("x")]]></hook>
    <hook name="libraries" type="record-script" language="lua"><![CDATA[
return table.concat({math.max(1, 2), string.upper("a"), tostring(coroutine), tostring(debug), tostring(utf8)}, ",")]]></hook>
    <hook name="read" type="record-script" language="lua"><![CDATA[
return table.concat({record.name(), record.type(), record.state(), record.action(), tostring(record.editable()),
                     record.get("Title"), hook.name, hook.field}, "|")]]></hook>
    <hook name="write" type="field-value-changed" field="Title" language="lua"><![CDATA[
record.set("Title", param)
record.set("Notes", "from " .. hook.field)
record.set("Links", {"DB00000001"})
session.set("_KXXE_OPEN_URL", "http://x/" .. param)
session.set("_KXXE_MSG_SUMMARY_BEGIN", "done")
return #record.list("Links")]]></hook>
    <hook name="bad_field" type="record-script" language="lua"><![CDATA[record.set("NoSuchField", "x")]]></hook>
    <hook name="bad_value" type="record-script" language="lua"><![CDATA[session.set("_KXXE_OPEN_URL", {})]]></hook>
    <hook name="other_value" type="record-script" language="lua"><![CDATA[session.set("@ostw_MultiModifyBatchMode", "x")]]></hook>
    <hook name="read_value" type="record-script" language="lua"><![CDATA[return session.get("_KXXE_OPEN_URL")]]></hook>
    <hook name="edit" type="record-script" language="lua"><![CDATA[record.edit("Modify") record.set("Title", param)]]></hook>
    <hook name="basic" type="record-script" language="basic"><![CDATA[Sub Main]]></hook>
    <hook name="stamp_script" type="record-script" action="Stamp" language="lua"><![CDATA[
record.set("Notes", "stamped") return record.get("Notes")]]></hook>
    <hook name="broken_script" type="record-script" action="Broken" language="lua"><![CDATA[error("alias broke", 0)]]></hook>
  </record-type>
  <record type="Task" database="DB" state="Open" submitter="u"><value field="Title">first</value></record>
  <hook name="global" type="global-script" language="lua"><![CDATA[return "global:" .. record.name() .. ":" .. param]]></hook>
  <hook name="echo_global" type="global-script" language="lua"><![CDATA[return "shadowed"]]></hook>
</kxdefinition>)";

class HooksTest : public ProductTest {
protected:
    void SetUp() override {
        ProductTest::SetUp();
        ASSERT_EQ(::mkdir(data_.c_str(), 0700), 0);
        ASSERT_EQ(KXProductStore::CreateFromDefinition(kHooks, data_), L"HOOKS");
        s_ = KXSession::Build();
        s_->WebUserLogon(L"u", L"pw", L"h", L"", L"DB", L"HOOKS");
        real_ = s_->GetReal();
        CString error;
        ASSERT_EQ(AdEntityMgr::Get(real_)->LookupEntityWithStatus(LookupEntityDefOrFamily(real_, L"Task"),
                                                                  L"DB00000001", task_, error, 1),
                  AD_LOOKUP_FOUND);
    }
    void TearDown() override {
        task_ = AdEntityPtr();
        s_->Unbuild();
        s_ = KXSmartPtr<KXSession>();
        ProductTest::TearDown();
    }
    std::wstring fire(const wchar_t *name, const wchar_t *param = L"") {
        return task_->FireNamedHook(name, param).str();
    }
    AdActionDef *action(const wchar_t *name) { return task_->GetEntityDef()->LookupActionDef(CString(name)); }

    KXSmartPtr<KXSession> s_;
    AdSessionPtr real_;
    AdEntityPtr task_;
};

} // namespace

TEST_F(HooksTest, ResultTexts) {
    const struct {
        const wchar_t *hook, *param, *result;
    } cases[] = {
        {L"echo", L"hi", L"hi!"},
        {L"vararg", L"p", L"p"},
        {L"nothing", L"", L""},
        {L"number", L"", L"42"},
        {L"text_load", L"", L"3"},
        {L"gc_count", L"", L"true"},
        {L"libraries", L"", L"2,A,nil,nil,nil"},
        {L"read", L"", L"DB00000001|Task|Open||false|first|read|"},
        {L"global", L"p", L"global:DB00000001:p"},
    };
    for (const auto &c : cases) EXPECT_EQ(fire(c.hook, c.param), c.result) << CString(c.hook).ToUtf8();
}

// Every way out of the sandbox and past the limits fails as a hook failure naming the hook.
TEST_F(HooksTest, SandboxAndLimitsFailTheHook) {
    const struct {
        const wchar_t *hook, *text;
    } cases[] = {
        {L"fails", L"Hook 'fails' failed: no good"},
        {L"fails_table", L"Hook 'fails_table' failed: the script raised an error that is no text"},
        {L"syntax", L"Hook 'syntax' failed: syntax:1: unexpected symbol near '+'"},
        {L"spin", L"Hook 'spin' failed: instruction limit reached"},
        {L"spin_pcall", L"Hook 'spin_pcall' failed: instruction limit reached"},
        {L"spin_gc", L"__gc metamethods are not available to hooks"},
        {L"hog", L"Hook 'hog' failed: memory limit reached"},
        {L"hog_rep", L"Hook 'hog_rep' failed: memory limit reached"},
        {L"hog_pcall", L"Hook 'hog_pcall' failed: memory limit reached"},
        {L"io", L"attempt to index a nil value (global 'io')"},
        {L"os", L"attempt to index a nil value (global 'os')"},
        {L"require", L"attempt to call a nil value (global 'require')"},
        {L"dofile", L"attempt to call a nil value (global 'dofile')"},
        {L"loadfile", L"attempt to call a nil value (global 'loadfile')"},
        {L"dump", L"attempt to call a nil value (field 'dump')"},
        {L"binary", L"attempt to load a binary chunk"},
        {L"gc_stop", L"collectgarbage('stop') is not available to hooks"},
        {L"print", L"attempt to call a nil value (global 'print')"},
        {L"bad_field", L"Hook 'bad_field' failed: "},
        {L"bad_value", L"bad argument #2 to 'set'"},
        {L"other_value", L"session value '@ostw_MultiModifyBatchMode' is not a hook value"},
        {L"basic", L"Hook 'basic' is written in 'basic', a language this product does not run."},
    };
    for (const auto &c : cases) {
        auto [id, text] = expect_pamsg([&] { fire(c.hook); });
        EXPECT_EQ(id, KX_MSG_HOOK_FAILED) << CString(c.hook).ToUtf8();
        EXPECT_NE(text.find(c.text), std::wstring::npos)
            << CString(c.hook).ToUtf8() << ": " << CString(text.c_str()).ToUtf8();
    }
    // Nothing of the session was touched, and the record is as it was.
    EXPECT_EQ(real_->GetNameValue(L"@ostw_MultiModifyBatchMode"), L"");
    EXPECT_FALSE(task_->IsEditable());
}

TEST_F(HooksTest, UnknownHookIsNotFoundAndRecordHookShadowsGlobal) {
    EXPECT_EQ(expect_pamsg([&] { fire(L"nope"); }).first, KX_MSG_NOT_FOUND);
    EXPECT_NE(LookupGlobalHookDef(real_, L"global"), nullptr);
    EXPECT_EQ(LookupGlobalHookDef(real_, L"echo"), nullptr);
    EXPECT_EQ(fire(L"echo_global"), L"shadowed");
    EXPECT_EQ(fire(L"echo", L"x"), L"x!");
}

static void record_update(AdEntity *, const AdFieldInfo &info, void *context) {
    static_cast<std::vector<std::wstring> *>(context)->push_back(info.GetName().str());
}

// A hook's writes reach the field-update callbacks and the session's hook values.
TEST_F(HooksTest, SideEffectsReachCallbacksAndSessionValues) {
    EditEntity(task_, L"Modify");
    std::vector<std::wstring> updated;
    for (const wchar_t *f : {L"Title", L"Notes", L"Links"}) task_->SetFieldUpdateCallback(f, record_update, &updated);
    EXPECT_EQ(fire(L"write", L"second"), L"1");
    EXPECT_EQ(updated, (std::vector<std::wstring>{L"Title", L"Notes", L"Links"}));
    EXPECT_EQ(task_->GetFieldValue(L"Title").GetValue(), L"second");
    EXPECT_EQ(task_->GetFieldValue(L"Notes").GetValue(), L"from Title");
    EXPECT_EQ(real_->GetNameValue(L"_KXXE_OPEN_URL"), L"http://x/second");
    EXPECT_EQ(real_->GetNameValue(L"_KXXE_MSG_SUMMARY_BEGIN"), L"done");
    EXPECT_EQ(fire(L"read_value"), L"http://x/second");
    task_->Revert();
}

TEST_F(HooksTest, WritesNeedAnEditAndAHookMayStartOne) {
    auto [id, text] = expect_pamsg([&] { fire(L"write", L"x"); });
    EXPECT_EQ(id, KX_MSG_HOOK_FAILED);
    EXPECT_EQ(task_->GetFieldValue(L"Title").GetValue(), L"first");
    fire(L"edit", L"edited");
    EXPECT_TRUE(task_->IsEditable());
    EXPECT_EQ(task_->GetFieldValue(L"Title").GetValue(), L"edited");
    task_->Revert();
}

TEST_F(HooksTest, ScriptAliases) {
    CString result, error;
    EditEntity(task_, L"Modify");
    FireRecordHookAlias(real_, task_, action(L"Stamp"), result, error);
    EXPECT_EQ(result, L"stamped");
    EXPECT_EQ(error, L"");
    // A failing script answers its text as the error, not as an exception.
    FireRecordHookAlias(real_, task_, action(L"Broken"), result, error);
    EXPECT_EQ(result, L"");
    EXPECT_EQ(error, L"Hook 'broken_script' failed: alias broke");
    task_->Revert();
    EXPECT_EQ(expect_pamsg([&] { FireRecordHookAlias(real_, task_, action(L"Orphan"), result, error); }).first,
              KX_MSG_NOT_FOUND);
    EXPECT_EQ(expect_pamsg([&] { FireRecordHookAlias(real_, task_, action(L"Modify"), result, error); }).first,
              KX_MSG_BAD_VALUE);
}

TEST(HookDefinitions, GlobalHookMustBeAGlobalScript) {
    const char *bad[] = {
        R"(<kxdefinition name="B"><database name="DB"/><hook name="h" type="record-script">x</hook></kxdefinition>)",
        R"(<kxdefinition name="B"><database name="DB"/><hook name="h" type="global-script" field="F">x</hook></kxdefinition>)",
    };
    char tmpl[] = "/tmp/kxproduct-hookdef-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    for (const char *xml : bad) {
        auto [id, text] = expect_kx([&] { KXProductStore::CreateFromDefinition(xml, tmpl); });
        EXPECT_EQ(id, KX_MSG_BAD_VALUE);
        EXPECT_NE(text.find(L"global-script"), std::wstring::npos);
    }
    std::filesystem::remove_all(tmpl);
}
