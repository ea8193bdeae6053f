// Record and record-type calls beside editing: duplicates, legal actions, field-change scopes,
// list values and references, views and hidden items, forms, submission and packages.
#include <functional>
#include <string>
#include <vector>

#include "kxproduct/kxproduct.h"
#include "test_support.h"

namespace {

using Names = std::vector<std::wstring>;

KXSmartPtr<KXSession> logon(const wchar_t *user) {
    auto s = KXSession::Build();
    s->WebUserLogon(user, user, L"server", L"", L"ISSUE", L"KXDEMO");
    return s;
}

AdEntityPtr find(const AdSessionPtr &s, const wchar_t *type, const wchar_t *name) {
    AdEntityPtr e;
    CString error;
    EXPECT_EQ(AdEntityMgr::Get(s)->LookupEntityWithStatus(LookupEntityDefOrFamily(s, type), name, e, error, 1),
              AD_LOOKUP_FOUND);
    return e;
}

Names names(const std::vector<CString> &v) { return Names(v.begin(), v.end()); }
Names names(const std::vector<AdDuplicateLink> &v) {
    Names out;
    for (const auto &l : v) out.push_back(l.child_display_name.str());
    return out;
}
Names names(const std::vector<AdActionDef *> &v) {
    Names out;
    for (const auto *a : v) out.push_back(a->GetName().str());
    return out;
}

class RecordCallsTest : public ProductTest {
protected:
    void SetUp() override {
        ProductTest::SetUp();
        s_ = logon(L"alice");
        real_ = s_->GetReal();
    }
    AdEntityPtr defect(const wchar_t *name) { return find(real_, L"Defect", name); }
    KXSmartPtr<KXSession> s_;
    AdSessionPtr real_;
};

} // namespace

TEST_F(RecordCallsTest, RecordTypesFormsAndSubmission) {
    const struct {
        const wchar_t *type;
        const wchar_t *default_form, *submit_form;
        bool can_submit, can_be_context;
        Names families;
    } cases[] = {
        {L"Defect", L"Defect_Base", L"Defect_Submit", true, false, {L"AllIssues"}},
        {L"Project", L"Project_Form", nullptr, true, true, {}},
        {L"AllIssues", nullptr, nullptr, false, false, {}},
    };
    for (const auto &c : cases) {
        AdEntityDef *def = LookupEntityDefOrFamily(real_, c.type);
        AdFormDef *form = def->GetDefaultFormDef();
        EXPECT_EQ(form ? form->GetName().str() : L"", c.default_form ? c.default_form : L"") << c.type;
        AdActionDef *submit = def->LookupActionDef(static_cast<int>(AD_ACTION_SUBMIT));
        AdFormDef *sform = submit ? submit->GetFormDef() : nullptr;
        EXPECT_EQ(sform ? sform->GetName().str() : L"", c.submit_form ? c.submit_form : L"") << c.type;
        EXPECT_EQ(real_->CanSubmit(def) != 0, c.can_submit) << c.type;
        EXPECT_EQ(def->CanBeSecurityContext() != 0, c.can_be_context) << c.type;
        Names families;
        auto it = def->GetParentFamilies();
        for (int i = 0; i < it.GetLength(); ++i) families.push_back(it.GetItem(i)->GetName().str());
        EXPECT_EQ(families, c.families) << c.type;
    }
    AdEntityDef *defect_def = LookupEntityDef(real_, L"Defect");
    EXPECT_EQ(defect_def->LookupActionDef(L"Modify")->GetFormDef(), nullptr);
    const std::pair<int, const wchar_t *> types[] = {{1, L"Submit"}, {3, L"ChangeState"}, {10, L"Copy"}};
    for (const auto &[type, name] : types) EXPECT_EQ(AdActionDef::ActionTypeToName(type), name);
    EXPECT_EQ(defect_def->LookupActionDef(L"Assign")->GetActionTypeName(), L"ChangeState");
    for (int bad : {0, 11}) EXPECT_EQ(expect_kx([&] { AdActionDef::ActionTypeToName(bad); }).first, KX_MSG_BAD_VALUE);
    AdReplica *master = real_->GetSessionMasterReplica();
    ASSERT_NE(master, nullptr);
    EXPECT_EQ(master->GetName(), L"local");
    EXPECT_EQ(real_->GetSessionUserSiteExtension(), static_cast<int>(master->GetDbId()));
    EXPECT_TRUE(real_->GetEntityDefsEnabledForPackage(L"Zarminflow", L"").empty());
}

TEST_F(RecordCallsTest, DuplicatesDirectAndAllLevels) {
    // ISSUE00000002 duplicates 01; ISSUE00000003 duplicates 02.
    for (const auto &[dup, original] :
         {std::pair{L"ISSUE00000002", L"ISSUE00000001"}, std::pair{L"ISSUE00000003", L"ISSUE00000002"}}) {
        AdEntityPtr e = defect(dup);
        MarkEntityAsDuplicate(e, defect(original));
        ASSERT_EQ(e->Commit(), L"");
    }
    const struct {
        const wchar_t *name;
        bool has, original;
        const wchar_t *original_id;
        Names direct, all;
    } cases[] = {
        {L"ISSUE00000001", true, true, L"", {L"ISSUE00000002"}, {L"ISSUE00000002", L"ISSUE00000003"}},
        {L"ISSUE00000002", true, false, L"ISSUE00000001", {L"ISSUE00000003"}, {L"ISSUE00000003"}},
        {L"ISSUE00000003", false, false, L"ISSUE00000002", {}, {}},
    };
    for (const auto &c : cases) {
        AdEntityPtr e = defect(c.name);
        EXPECT_EQ(e->HasDuplicates() != 0, c.has) << c.name;
        EXPECT_EQ(e->IsOriginal() != 0, c.original) << c.name;
        EXPECT_EQ(e->GetOriginalId(), c.original_id) << c.name;
        EXPECT_EQ(names(e->GetDuplicates()), c.direct) << c.name;
        EXPECT_EQ(names(e->GetAllDuplicates()), c.all) << c.name;
    }
    EXPECT_EQ(defect(L"ISSUE00000003")->GetOriginal()->GetDisplayName(), L"ISSUE00000002");
    EXPECT_EQ(expect_pamsg([&] { defect(L"ISSUE00000001")->GetOriginal(); }).first, KX_MSG_NOT_FOUND);
}

TEST_F(RecordCallsTest, LegalActionsAndTheDefaultAction) {
    AdEntityPtr dup = defect(L"ISSUE00000006");
    MarkEntityAsDuplicate(dup, defect(L"ISSUE00000001"));
    ASSERT_EQ(dup->Commit(), L"");
    const struct {
        const wchar_t *name;
        Names legal;
    } cases[] = {
        {L"ISSUE00000001", {L"Modify", L"Assign", L"Duplicate", L"Delete"}}, // Submitted
        {L"ISSUE00000004", {L"Modify", L"Close", L"Reopen", L"Delete"}},     // Resolved
        {L"ISSUE00000006", {L"Modify", L"Unduplicate", L"Delete"}},          // a duplicate
    };
    for (const auto &c : cases) {
        AdEntityPtr e = defect(c.name);
        EXPECT_EQ(names(GetLegalActionDefs(real_, e)), c.legal) << c.name;
        EXPECT_EQ(names(GetLegalAccessibleActionDefNames(real_, e)), c.legal) << c.name;
        EXPECT_EQ(e->GetDefaultActionName(), L"Modify") << c.name;
    }
    AdEntityPtr e = defect(L"ISSUE00000004");
    EditEntity(e, L"Close");
    EXPECT_TRUE(GetLegalActionDefs(real_, e).empty());
    EXPECT_EQ(e->GetDefaultActionName(), L"Close");
    EXPECT_EQ(BuildEntity(real_, LookupEntityDef(real_, L"Defect"))->GetDefaultActionName(), L"Submit");
}

TEST_F(RecordCallsTest, FieldChangesByScope) {
    AdEntityPtr e = defect(L"ISSUE00000001");
    const CString headline = e->GetFieldValue(L"Headline").GetValue();
    EXPECT_EQ(expect_kx([&] { e->BeginNewFieldUpdateGroup(); }).first, KX_MSG_NOT_EDITABLE);
    EditEntity(e, L"Modify");
    const struct {
        std::function<void()> step;
        Names action, entire, group, set_value;
    } steps[] = {
        {[&] { e->SetFieldValue(L"Headline", L"A"); }, {L"Headline"}, {L"Headline"}, {L"Headline"}, {L"Headline"}},
        {[&] { e->BeginNewFieldUpdateGroup(); }, {L"Headline"}, {L"Headline"}, {}, {L"Headline"}},
        {[&] { e->SetFieldValue(L"Severity", L"4-Minor"); },
         {L"Headline", L"Severity"},
         {L"Headline", L"Severity"},
         {L"Severity"},
         {L"Severity"}},
        {[&] { e->SetFieldValue(L"Headline", headline); },
         {L"Severity"},
         {L"Headline", L"Severity"},
         {L"Headline", L"Severity"},
         {L"Headline"}},
        {[&] { e->SetFieldValue(L"Headline", headline); },
         {L"Severity"},
         {L"Headline", L"Severity"},
         {L"Headline", L"Severity"},
         {}},
    };
    int n = 0;
    for (const auto &s : steps) {
        s.step();
        EXPECT_EQ(names(e->GetFieldValuesUpdatedThisAction()), s.action) << "step " << n;
        EXPECT_EQ(names(e->GetFieldValuesUpdatedThisEntireAction()), s.entire) << "step " << n;
        EXPECT_EQ(names(e->GetFieldValuesUpdatedThisGroup()), s.group) << "step " << n;
        EXPECT_EQ(names(e->GetFieldValuesUpdatedThisSetValue()), s.set_value) << "step " << n++;
    }
    EXPECT_TRUE(e->GetFieldValue(L"Severity").ValueChangedThisGroup());
    EXPECT_EQ(e->GetFieldOriginalValue(L"Severity").GetValue(),
              defect(L"ISSUE00000001")->GetFieldValue(L"Severity").GetValue());
    // Emptying a mandatory field changes its validity in the action and in the group, until a new group.
    e->SetFieldValue(L"Headline", L"");
    EXPECT_TRUE(e->GetFieldValue(L"Headline").ValidityChangedThisAction());
    EXPECT_TRUE(e->GetFieldValue(L"Headline").ValidityChangedThisGroup());
    e->BeginNewFieldUpdateGroup();
    EXPECT_FALSE(e->GetFieldValue(L"Headline").ValidityChangedThisGroup());
    EXPECT_TRUE(e->GetFieldValue(L"Headline").ValidityChangedThisAction());
    EXPECT_FALSE(e->GetFieldValue(L"Severity").ValidityChangedThisAction());
    e->Revert();
    EXPECT_TRUE(e->GetFieldValuesUpdatedThisEntireAction().empty());
    EXPECT_TRUE(e->GetFieldValuesUpdatedThisSetValue().empty());
}

TEST_F(RecordCallsTest, ListValuesAndReferencedDbids) {
    AdEntityPtr e = defect(L"ISSUE00000001");
    EditEntity(e, L"Modify");
    const struct {
        bool add;
        const wchar_t *value;
        bool refused;
        Names after;
    } steps[] = {
        {true, L"ISSUE00000002", false, {L"ISSUE00000002"}},
        {true, L"ISSUE00000003", false, {L"ISSUE00000002", L"ISSUE00000003"}},
        {true, L"nobody", false, {L"ISSUE00000002", L"ISSUE00000003", L"nobody"}},
        {true, L"nobody", false, {L"ISSUE00000002", L"ISSUE00000003", L"nobody"}},
        {false, L"ISSUE00000002", false, {L"ISSUE00000003", L"nobody"}},
        {false, L"ISSUE00000002", true, {L"ISSUE00000003", L"nobody"}},
    };
    for (const auto &s : steps) {
        CString error = s.add ? e->AddFieldValue(L"Related", s.value) : e->DeleteFieldValue(L"Related", s.value);
        EXPECT_EQ(!error.IsEmpty(), s.refused) << CString(s.value).ToUtf8();
        EXPECT_EQ(names(e->GetFieldValue(L"Related").GetValueAsList()), s.after);
    }
    // A name that finds no record has no dbid.
    EXPECT_EQ(e->GetFieldReferencedDbIds(L"Related"), std::vector<int64_t>{defect(L"ISSUE00000003")->GetDbId()});
    EXPECT_EQ(e->GetFieldReferencedDbIds(L"Project"),
              std::vector<int64_t>{find(real_, L"Project", L"Apollo")->GetDbId()});
    EXPECT_FALSE(e->AddFieldValue(L"Headline", L"x").IsEmpty());
    EXPECT_EQ(expect_kx([&] { e->GetFieldReferencedDbIds(L"Headline"); }).first, KX_MSG_BAD_VALUE);
    EXPECT_EQ(expect_kx([&] { e->GetFieldReferencedDbIds(L"NoSuchField"); }).first, KX_MSG_NOT_FOUND);
}

TEST_F(RecordCallsTest, ViewFormAndHiddenItems) {
    AdEntityPtr e = defect(L"ISSUE00000001");
    e->SetViewFormAndTab(L"Defect_Base", L"Notes");
    EXPECT_EQ(expect_kx([&] { e->SetViewFormAndTab(L"NoForm", L""); }).first, KX_MSG_NOT_FOUND);
    EXPECT_EQ(e->GetViewFormName() + L"#" + e->GetViewTabName(), L"Defect_Base#Notes");
    e->SetTabHidden(L"Defect_Base", L"Notes", TRUE);
    e->SetFieldHidden(L"Defect_Base", L"Owner", TRUE);
    e->SetFieldHidden(L"Defect_Base", L"Headline", TRUE);
    e->SetFieldHidden(L"Defect_Base", L"Headline", FALSE);
    EXPECT_EQ(names(e->GetHiddenTabNames(L"Defect_Base")), Names{L"Notes"});
    EXPECT_EQ(names(e->GetHiddenFieldNames(L"Defect_Base")), Names{L"Owner"});
    EXPECT_TRUE(e->GetHiddenFieldNames(L"Defect_Submit").empty() && e->GetHiddenFormNames().empty());
    EXPECT_TRUE(e->SiteHasMastership()); // the record names no master site
}

TEST_F(RecordCallsTest, InjectedFaultsReachTheCaller) {
    AdEntityPtr e = defect(L"ISSUE00000001");
    const std::pair<const char *, std::function<void()>> calls[] = {
        {"AdEntity::GetAllDuplicates", [&] { e->GetAllDuplicates(); }},
        {"AdEntity::GetDefaultActionName", [&] { e->GetDefaultActionName(); }},
        {"AdEntity::GetFieldOriginalValue", [&] { e->GetFieldOriginalValue(L"Headline"); }},
        {"AdEntity::SiteHasMastership", [&] { e->SiteHasMastership(); }},
        {"GetLegalAccessibleActionDefNames", [&] { GetLegalAccessibleActionDefNames(real_, e); }},
        {"AdSession::GetSessionMasterReplica", [&] { real_->GetSessionMasterReplica(); }},
        {"AdSession::GetEntityDefsEnabledForPackage",
         [&] { real_->GetEntityDefsEnabledForPackage(L"Zarminflow", L""); }},
        {"GetHistoryEntityDef", [&] { GetHistoryEntityDef(real_); }},
    };
    for (const auto &[op, call] : calls) {
        long before = KXFaultInjector::CallCount(op);
        KXFaultInjector::Arm(op, KXFault{KXFaultKind::KXException, 13260, L"injected"});
        EXPECT_EQ(expect_kx(call), std::make_pair(13260, std::wstring(L"injected"))) << op;
        KXFaultInjector::Arm(op, KXFault{KXFaultKind::PaMsgException, KX_MSG_NOT_FOUND, L"gone"});
        EXPECT_EQ(expect_pamsg(call).first, KX_MSG_NOT_FOUND) << op;
        call(); // disarmed again
        EXPECT_GE(KXFaultInjector::CallCount(op), before + 3) << op;
    }
    EditEntity(e, L"Modify");
    KXFaultInjector::Arm("AdEntity::AddFieldValue", KXFault{KXFaultKind::ErrorText, 0, L"refused"});
    EXPECT_EQ(e->AddFieldValue(L"Related", L"ISSUE00000002"), L"refused");
    EXPECT_TRUE(e->GetFieldValue(L"Related").GetValueAsList().empty());
}
