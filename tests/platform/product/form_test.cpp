// Form layouts: a <layout> in the definition document read back through MForm, the older layout
// text, and layouts the loader refuses with their line.
#include <sys/stat.h>

#include "kxproduct/form.h"
#include "kxproduct/session.h"
#include "kxproduct/store.h"
#include "test_support.h"

namespace {

std::string definition(const std::string &form) {
    return R"(<kxdefinition name="FORMS"><database name="DB"/><group name="G"><subscribe database="DB"/></group><user login="u" password="pw"><member group="G"/></user>
  <record-type name="Item">
    <field name="Title" type="short-string" unique-key="1"/><field name="Notes" type="multiline-string"/>
    <field name="Parent" type="reference" reference="Item"/>
    <hook name="Check" type="field-value-changed" field="Title">noop</hook>
    <hook name="Go" type="record-script">noop</hook>
)" + form + "\n  </record-type>\n</kxdefinition>\n";
}

const char *kLayout = R"(<form name="Rich" type="1">
  <layout version="7" width="300" height="200" tabbed="1" caption="Item &amp; co">
    <page caption="One" groups="A, B C">
      <item kind="button" name="B" rect="1 2 3 4" button-type="2" control="L" pre-click-hook="Go" pre-click-web="1"/>
      <item kind="12" name="L" rect="0 10 100 90" field="Parent" caption="Parents" double-click-hook="Go">
        <column width="40" field="Title" label="Title"/><context-hook name="Go"/></item>
      <item kind="edit-box" name="T" rect="0 0 9 9" field="Title" caption-rect="5 6 7 8" date-code="3" multi-line="1"
            font-family="Tahoma" font-size="12" font-style="2"/>
      <item kind="drop-down-list" name="D" rect="0 0 9 9"><depends field="Notes"/></item>
      <item kind="option-button" name="O" rect="0 0 9 9" group="G" value="v"/>
      <item kind="activex" name="X" rect="0 0 9 9" registered-name="Ctl.1" entity-hook="Go"/>
    </page>
    <page caption="Two" width="50"/>
  </layout>
</form>)";

} // namespace

class FormTest : public ProductTest {
protected:
    // Loads the set and copies the record type's form `name`.
    KXSmartPtr<MForm> copy(const std::string &form, const wchar_t *name) {
        EXPECT_EQ(::mkdir(data_.c_str(), 0700), 0);
        KXProductStore::CreateFromDefinition(definition(form), data_);
        session_ = KXSession::Build();
        session_->WebUserLogon(L"u", L"pw", L"h", L"", L"DB", L"FORMS");
        item_ = LookupEntityDef(session_->GetReal(), L"Item");
        return KXSmartPtr<MForm>(MForm::CopyFrom(item_->LookupFormDef(name)));
    }
    void TearDown() override {
        if (session_) session_->Unbuild();
        session_ = nullptr;
        ProductTest::TearDown();
    }
    KXSmartPtr<KXSession> session_;
    AdEntityDef *item_ = nullptr;
};

TEST_F(FormTest, LayoutReadsBackThroughTheFormObjects) {
    KXSmartPtr<MForm> form = copy(kLayout, L"Rich");
    EXPECT_EQ(form->GetVersionNum(), 7);
    EXPECT_EQ(form->GetCaption(), L"Item & co");
    EXPECT_EQ(form->GetDataSource(), L"Item");
    ASSERT_EQ(form->GetFormList().size(), 2u);
    MForm *one = form->GetFormList()[0];
    EXPECT_FALSE(one->IsAllUserGroups());
    EXPECT_EQ(one->GetUserGroups(), (std::vector<CString>{L"A", L"B C"}));
    EXPECT_EQ(one->GetWidth(), 300); // from the layout
    EXPECT_TRUE(form->GetFormList()[1]->IsAllUserGroups());
    EXPECT_EQ(form->GetFormList()[1]->GetWidth(), 50);
    auto items = one->GetFormItems();
    ASSERT_EQ(items.size(), 6u);

    auto *b = dynamic_cast<MFormBtn *>(items[0]);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->GetButtonType(), 2);
    EXPECT_EQ(b->GetAssociatedControlName(), L"L");
    EXPECT_EQ(b->GetPreClickHook(), L"Go");
    EXPECT_TRUE(b->IsPreClickHookEnabledForWeb());
    EXPECT_FALSE(b->IsPostClickHookEnabledForWeb());
    EXPECT_EQ(b->GetRect().bottom, 4);

    auto *l = dynamic_cast<MFormListControl *>(items[1]);
    ASSERT_NE(l, nullptr);
    ASSERT_EQ(l->GetColInfoArray().size(), 1u);
    EXPECT_EQ(l->GetColInfoArray()[0].GetCompleteFieldPath(), L"Parent.Title");
    EXPECT_EQ(l->GetColInfoArray()[0].GetWidth(), 40);
    EXPECT_EQ(l->GetContextMenuHooks().GetContextHooks(), (std::vector<CString>{L"Go"}));

    auto *t = dynamic_cast<MFormEBox *>(items[2]);
    ASSERT_NE(t, nullptr);
    EXPECT_TRUE(t->HasSeparateCaption());
    EXPECT_EQ(t->GetCaptionRect().right, 7);
    EXPECT_EQ(t->GetFormDate().GetDateCode(), 3);
    EXPECT_TRUE(t->GetMultiLine());
    EXPECT_EQ(t->GetFontScheme().GetFamilyName(), L"Tahoma");
    EXPECT_EQ(t->GetFontScheme().GetPointSize(), 12u);
    EXPECT_EQ(t->GetFontScheme().GetStyle(), 2);
    // Title has a value-changed hook in Item; the list control's field has none.
    EXPECT_TRUE(t->IsWebFormRefresh(item_));
    EXPECT_FALSE(l->IsWebFormRefresh(item_));
    EXPECT_FALSE(t->IsWebFormRefresh(nullptr));

    auto *d = dynamic_cast<MFormLBox *>(items[3]);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->GetType(), FORM_DROP_DOWN_LIST);
    EXPECT_EQ(d->GetWebDependentFields(), (std::vector<CString>{L"Notes"}));
    EXPECT_EQ(dynamic_cast<MFormOpBtn *>(items[4])->GetGrpName(), L"G");
    EXPECT_EQ(dynamic_cast<MFormActiveXItem *>(items[5])->GetSetEntityHook(), L"Go");
}

TEST_F(FormTest, OlderLayoutTextReadsAsOneEditBoxARow) {
    KXSmartPtr<MForm> form = copy(
        R"(<form name="Old" type="1"><![CDATA[<form><tab name="Main"><control field="Title"/><control field="Notes"/></tab></form>]]></form>)",
        L"Old");
    EXPECT_TRUE(form->IsTabbedForm());
    EXPECT_EQ(form->GetDataSource(), L"Item");
    ASSERT_EQ(form->GetFormList().size(), 1u);
    auto items = form->GetFormList()[0]->GetFormItems();
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0]->GetFieldSource(), L"Title");
    EXPECT_LT(items[0]->GetRect().bottom, items[1]->GetRect().top);
    EXPECT_TRUE(dynamic_cast<MFormEBox *>(items[1])->GetMultiLine());
}

TEST_F(FormTest, LoaderRefusesLayoutsThatDoNotRead) {
    ASSERT_EQ(::mkdir(data_.c_str(), 0700), 0);
    struct Case {
        std::string form;
        std::wstring expect;
    } const cases[] = {
        {R"(<form name="F"><layout><page><item kind="knob" name="x" rect="0 0 1 1"/></page></layout></form>)",
         L"unknown item kind 'knob'"},
        {R"(<form name="F"><layout><page><item kind="label" name="x" rect="0 0 1"/></page></layout></form>)",
         L"'rect' is four numbers"},
        {R"(<form name="F"><layout><page><item kind="label" name="x" rect="0 0 1 1" password="1"/></page></layout></form>)",
         L"unknown attribute 'password'"},
        {R"(<form name="F"><layout><page><item kind="label" name="x" rect="0 0 1 1"/><item kind="label" name="x" rect="0 0 1 1"/></page></layout></form>)",
         L"a second item named 'x'"},
        {R"(<form name="F"><layout><page><item kind="edit-box" name="x" rect="0 0 1 1" multi-line="yes"/></page></layout></form>)",
         L"'multi-line' is 0 or 1"},
        {R"(<form name="F"><layout tabbed="1"/><layout/></form>)", L"a <form> holds one <layout>"},
        {R"(<form name="F"><![CDATA[<form><tab><control field="Title"/></tab></form>]]></form>)",
         L"needs the attribute 'name'"},
        {R"(<form name="F">not markup</form>)", L"form 'F': line 1"},
    };
    for (const Case &c : cases) {
        auto r = expect_kx([&] { KXProductStore::CreateFromDefinition(definition(c.form), data_); });
        EXPECT_EQ(r.first, KX_MSG_BAD_VALUE);
        EXPECT_EQ(r.second.rfind(L"line 7: form 'F': ", 0), 0u) << CString(r.second).ToUtf8();
        EXPECT_NE(r.second.find(c.expect), std::wstring::npos) << CString(r.second).ToUtf8();
    }
}

TEST_F(FormTest, CopyFailuresAreCExceptionsNamingTheForm) {
    KXSmartPtr<MForm> form = copy(kLayout, L"Rich");
    KXFaultInjector::Arm("MForm::CopyFrom", KXFault{KXFaultKind::CException, 0, L"copy failed"});
    try {
        MForm::CopyFrom(item_->LookupFormDef(L"Rich"));
        ADD_FAILURE() << "no exception";
    } catch (CException *e) {
        EXPECT_EQ(e->GetErrorMessageString(), L"copy failed");
        e->Delete();
    }
    try {
        MForm::CopyFrom(nullptr);
        ADD_FAILURE() << "no exception";
    } catch (CException *e) {
        e->Delete();
    }
}
