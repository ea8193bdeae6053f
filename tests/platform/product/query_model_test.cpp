// The query definition model: field paths through references, display attributes, the filter
// tree's checks, parameters, flags, and the stored form read back.
#include <functional>
#include <string>
#include <vector>

#include "kxproduct/kxproduct.h"
#include "test_support.h"

namespace {

class QueryModelTest : public ProductTest {
protected:
    AdSessionPtr logon(const wchar_t *user = L"admin") {
        session_ = KXSession::Build();
        session_->WebUserLogon(user, user, L"h", L"", L"ISSUE", L"KXDEMO");
        return session_->GetReal();
    }
    AdQueryDefPtr defects(const AdSessionPtr &s) { return BuildQueryDef(s, LookupEntityDef(s, L"Defect"), 0); }
    KXSmartPtr<KXSession> session_;
    std::vector<KXSmartPtr<KXSession>> sessions_;
};

} // namespace

TEST_F(QueryModelTest, FieldPathsFollowOnlyReferences) {
    AdSessionPtr s = logon();
    AdQueryDefPtr q = defects(s);
    const struct {
        const wchar_t *path;
        int type; // 0: not legal
    } cases[] = {
        {L"Headline", AD_SHORT_STRING},
        {L"Project.Lead", AD_SHORT_STRING},
        {L"Project.Name", AD_SHORT_STRING},
        {L"Related.Project.Lead", AD_SHORT_STRING}, // a reference list leads on too
        {L"Related.Due", AD_DATE_TIME},
        {L"dbid", AD_DBID},
        {L"Project.dbid", AD_DBID},
        {L"Attachments", 0},
        {L"Notes_Log", AD_JOURNAL},
        {L"Notes_Log.Headline", 0},
        {L"Attachments.Headline", 0},
        {L"Headline.Headline", 0},
        {L"Project.NoSuch", 0},
        {L"", 0},
        {L"Project.", 0},
        {L".Headline", 0},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(q->GetFieldPathType(c.path), c.type) << CString(c.path).ToUtf8();
        EXPECT_EQ(q->IsFieldPathLegalForQuery(c.path), c.type != 0) << CString(c.path).ToUtf8();
        EXPECT_EQ(q->IsFieldPathLegalForFilter(c.path), c.type != 0) << CString(c.path).ToUtf8();
    }
    EXPECT_EQ(q->BuildField(L"Project.Lead")->GetFieldType(), AD_SHORT_STRING);
    EXPECT_EQ(expect_kx([&] { q->BuildField(L"Project.NoSuch"); }).first, KX_MSG_NOT_FOUND);
    EXPECT_EQ(expect_kx([&] { q->BuildField(L"Notes_Log.Headline"); }).first, KX_MSG_BAD_VALUE);
    EXPECT_EQ(expect_kx([&] { q->BuildField(L"Attachments"); }).first, KX_MSG_BAD_VALUE);
    EXPECT_EQ(q->GetNumberOfFields(), 1);
}

TEST_F(QueryModelTest, DisplayAttributesRefuseWhatCannotApply) {
    AdSessionPtr s = logon();
    AdQueryDefPtr q = defects(s);
    AdQueryFieldDef *due = q->BuildField(L"Due");
    AdQueryFieldDef *head = q->BuildField(L"Headline");
    AdQueryFieldDef *est = q->BuildField(L"Estimate");
    const struct {
        const char *what;
        std::function<void()> call;
    } refused[] = {
        {"sort type 3", [&] { head->SetSortType(3); }},
        {"sort order -1", [&] { head->SetSortOrder(-1); }},
        {"function on text", [&] { head->SetFunction(AD_FUNC_DAY); }},
        {"function 5", [&] { due->SetFunction(5); }},
        {"sum of text", [&] { head->SetAggregate(AD_AGG_SUM); }},
        {"aggregate 6", [&] { est->SetAggregate(6); }},
        {"aggregate beside function", [&] { due->SetFunction(AD_FUNC_MONTH), due->SetAggregate(AD_AGG_COUNT); }},
        {"function beside aggregate",
         [&] {
             est->SetAggregate(AD_AGG_SUM), due->SetFunction(0), due->SetAggregate(AD_AGG_MAXIMUM),
                 due->SetFunction(AD_FUNC_YEAR);
         }},
    };
    for (const auto &r : refused) EXPECT_EQ(expect_pamsg(r.call).first, KX_MSG_BAD_VALUE) << r.what;
    EXPECT_EQ(due->GetAggregate(), AD_AGG_MAXIMUM);
    EXPECT_EQ(due->GetFunction(), AD_FUNC_NONE);
    EXPECT_TRUE(est->IsLegalAggregate(AD_AGG_AVERAGE));
    EXPECT_FALSE(head->IsLegalAggregate(AD_AGG_AVERAGE));
    EXPECT_TRUE(head->IsLegalAggregate(AD_AGG_COUNT));
    EXPECT_TRUE(q->IsAggregated());
    // Positions: move, delete, and the result column of each field.
    q->SetFieldPosition(est, 1);
    EXPECT_EQ(q->GetFieldPosition(est), 1);
    EXPECT_EQ(q->GetFieldPosition(due), 2);
    EXPECT_EQ(q->GetResultPositionByField(head), 3);
    q->DeleteField(2);
    EXPECT_EQ(q->GetFieldPosition(due), 0);
    EXPECT_EQ(q->GetNumberOfFields(), 2);
    EXPECT_EQ(expect_kx([&] { q->DeleteField(3); }).first, KX_MSG_BAD_VALUE);
    EXPECT_EQ(expect_kx([&] { q->SetFieldPosition(head, 0); }).first, KX_MSG_BAD_VALUE);
    // The unique key: "id" with states, the key field without.
    EXPECT_EQ(q->GetUniqueKeyFieldPath(), L"id");
    EXPECT_TRUE(q->IsUniqueKeyField(q->BuildUniqueKeyField()));
    EXPECT_EQ(BuildQueryDef(s, LookupEntityDef(s, L"Project"), 0)->GetUniqueKeyFieldPath(), L"Name");
}

TEST_F(QueryModelTest, FilterTreeChecks) {
    AdSessionPtr s = logon();
    AdQueryDefPtr q = defects(s);
    AdFilterNode *top = q->BuildFilter(nullptr, AD_BOOL_OP_AND, 1);
    const struct {
        const wchar_t *path;
        int op;
        std::vector<CString> values;
        bool ok;
    } cases[] = {
        {L"Estimate", AD_COMP_OP_BETWEEN, {L"1", L"5"}, true},
        {L"Estimate", AD_COMP_OP_BETWEEN, {L"1"}, false},
        {L"Estimate", AD_COMP_OP_NOT_BETWEEN, {L"1", L"2", L"3"}, false},
        {L"Estimate", AD_COMP_OP_LT, {L"1", L"2"}, false},
        {L"Estimate", AD_COMP_OP_LT, {L"x"}, false},
        {L"Estimate", AD_COMP_OP_GTE, {}, true},
        {L"Headline", AD_COMP_OP_IS_NULL, {L"a"}, false},
        {L"Headline", AD_COMP_OP_IN, {L"a", L"b", L"c"}, true},
        {L"Due", AD_COMP_OP_LT, {L"2026-02-30"}, true},
        {L"Due", AD_COMP_OP_LT, {L"2026-13-01"}, false},
        {L"Due", AD_COMP_OP_EQ, {L"2026-01-05 10:00:00"}, true},
        {L"Headline", 15, {}, false},
        {L"Headline", -1, {}, false},
        {L"Attachments", AD_COMP_OP_IS_NULL, {}, false},
        {L"Project.Lead", AD_COMP_OP_LIKE, {L"x"}, true},
    };
    for (const auto &c : cases) {
        if (c.ok)
            EXPECT_EQ(q->BuildFilter(top, c.path, c.op, c.values, 0)->GetNumberOfValues(),
                      static_cast<int>(c.values.size()));
        else
            EXPECT_EQ(expect_pamsg([&] { q->BuildFilter(top, c.path, c.op, c.values, 0); }).first, KX_MSG_BAD_VALUE)
                << CString(c.path).ToUtf8() << " " << c.op;
    }
    // Variables: the user for texts, days for dates; kept in order beside values.
    AdFieldFilter *owner = q->BuildFilter(top, L"Owner", AD_COMP_OP_EQ, {L"bob"}, 0);
    owner->AddVariable(AD_QUERY_VAR_USER);
    EXPECT_TRUE(owner->IsVariable(2));
    EXPECT_EQ(owner->GetVariable(2), AD_QUERY_VAR_USER);
    EXPECT_EQ(owner->GetValues(), std::vector<CString>{L"bob"});
    EXPECT_EQ(expect_pamsg([&] { owner->AddVariable(AD_QUERY_VAR_TODAY); }).first, KX_MSG_BAD_VALUE);
    EXPECT_EQ(expect_kx([&] { owner->GetValue(3); }).first, KX_MSG_BAD_VALUE);
    AdFieldFilter *due = q->BuildFilter(top, L"Due", AD_COMP_OP_LT, {}, 0);
    EXPECT_TRUE(due->IsLegalQueryVar(AD_QUERY_VAR_TOMORROW));
    EXPECT_FALSE(due->IsLegalQueryVar(AD_QUERY_VAR_USER));
    EXPECT_FALSE(due->IsLegalQueryVar(5));
    // A field filter has no children; a node belongs under a node.
    EXPECT_EQ(expect_pamsg([&] { q->BuildFilter(owner, L"Owner", AD_COMP_OP_EQ, {}, 0); }).first, KX_MSG_BAD_VALUE);
    EXPECT_EQ(expect_kx([&] { q->BuildFilter(owner, AD_BOOL_OP_OR, 0); }).first, KX_MSG_BAD_VALUE);
    EXPECT_EQ(expect_kx([&] { q->BuildFilter(nullptr, AD_BOOL_OP_OR, 0); }).first, KX_MSG_BAD_VALUE);
}

TEST_F(QueryModelTest, NestingStopsAtSixtyFour) {
    AdSessionPtr s = logon();
    AdQueryDefPtr q = defects(s);
    AdFilterNode *n = q->BuildFilter(nullptr, AD_BOOL_OP_OR, 1);
    for (int depth = 2; depth <= kAdMaxFilterDepth; ++depth) n = q->BuildFilter(n, AD_BOOL_OP_AND, 0);
    EXPECT_EQ(n->GetDepth(), kAdMaxFilterDepth);
    EXPECT_EQ(expect_kx([&] { q->BuildFilter(n, AD_BOOL_OP_AND, 0); }).first, KX_MSG_BAD_VALUE);
    EXPECT_EQ(expect_pamsg([&] { q->BuildFilter(n, L"Headline", AD_COMP_OP_IS_NULL, {}, 0); }).first, KX_MSG_BAD_VALUE);
    EXPECT_EQ(n->NumChildren(), 0);
    // A copy keeps the depths, so it refuses the same.
    AdQueryDefPtr copy = CopyQueryDef(s, q);
    AdFilterNode *deep = copy->GetTopFilterNode();
    while (deep->NumChildren()) deep = deep->GetChild(0);
    EXPECT_EQ(deep->GetDepth(), kAdMaxFilterDepth);
    EXPECT_EQ(expect_kx([&] { copy->BuildFilter(deep, AD_BOOL_OP_AND, 0); }).first, KX_MSG_BAD_VALUE);
}

TEST_F(QueryModelTest, PromptedFiltersInTreeOrder) {
    AdSessionPtr s = logon();
    AdQueryDefPtr q = defects(s);
    AdFilterNode *top = q->BuildFilter(nullptr, AD_BOOL_OP_AND, 1);
    AdFilterNode *any = q->BuildFilter(top, AD_BOOL_OP_OR, 0);
    q->BuildFilter(any, L"Owner", AD_COMP_OP_EQ, {}, 0)->SetPrompt(L"owner?");
    q->BuildFilter(any, L"Severity", AD_COMP_OP_EQ, {L"1-Critical"}, 0);
    q->BuildFilter(top, L"Estimate", AD_COMP_OP_GT, {}, 0)->SetPrompt(L"estimate?");
    auto prompted = q->GetPromptedFilters();
    ASSERT_EQ(prompted.size(), 2u);
    EXPECT_EQ(prompted[0]->GetFieldPath(), L"Owner");
    EXPECT_EQ(prompted[1]->GetFieldPath(), L"Estimate");
    // Parameters set on a result set change its copy only.
    AdResultSetPtr rs = BuildResultSet(s, q);
    EXPECT_EQ(rs->GetNumberOfParams(), 2);
    rs->SetParamValue(2, 1, L"4");
    rs->SetParamComparisonOperator(2, AD_COMP_OP_LTE);
    EXPECT_EQ(rs->GetParamFilter(2)->GetCompOp(), AD_COMP_OP_LTE);
    EXPECT_EQ(prompted[1]->GetCompOp(), AD_COMP_OP_GT);
    EXPECT_EQ(prompted[1]->GetNumberOfValues(), 0);
    EXPECT_EQ(expect_pamsg([&] { rs->SetParamValue(2, 2, L"four"); }).first, KX_MSG_BAD_VALUE);
    EXPECT_EQ(expect_kx([&] { rs->SetParamValue(2, 3, L"4"); }).first, KX_MSG_BAD_VALUE);
    EXPECT_EQ(expect_kx([&] { rs->GetParamFilter(3); }).first, KX_MSG_BAD_VALUE);
    EXPECT_EQ(expect_pamsg([&] { rs->SetParamVariable(1, 1, AD_QUERY_VAR_TODAY); }).first, KX_MSG_BAD_VALUE);
}

TEST_F(QueryModelTest, PrivilegeIsGuarded) {
    AdSessionPtr s = logon(L"alice");
    AdQueryDefPtr q = defects(s);
    EXPECT_EQ(expect_pamsg([&] { q->SetPrivileged(TRUE); }).first, KX_MSG_NOT_PRIVILEGED);
    // A privileged definition (made by an administrator) edited by alice: refused when loss is
    // not allowed, else the flag goes.
    AdSessionPtr admin = [&] {
        auto a = KXSession::Build();
        a->WebUserLogon(L"admin", L"admin", L"h", L"", L"ISSUE", L"KXDEMO");
        sessions_.push_back(a);
        return a->GetReal();
    }();
    AdQueryDefPtr made = defects(admin);
    made->BuildField(L"id");
    made->SetPrivileged(TRUE);
    AdQueryDefPtr mine = CopyQueryDef(s, made);
    EXPECT_TRUE(mine->IsPrivileged());
    mine->SetAllowImplicitPrivilegeLoss(0);
    EXPECT_EQ(expect_pamsg([&] { mine->BuildField(L"Headline"); }).first, KX_MSG_NOT_PRIVILEGED);
    EXPECT_EQ(mine->GetNumberOfFields(), 1);
    mine->SetAllowImplicitPrivilegeLoss(1);
    mine->UnbuildFilter();
    EXPECT_FALSE(mine->IsPrivileged());
    EXPECT_TRUE(made->IsPrivileged());
    EXPECT_FALSE(made->IsMultiType());
    EXPECT_TRUE(BuildQueryDef(s, LookupEntityDefOrFamily(s, L"AllIssues"), 0)->IsMultiType());
}

TEST_F(QueryModelTest, StoredFormReadsBack) {
    AdSessionPtr s = logon();
    AdQueryDefPtr q = defects(s);
    AdQueryFieldDef *f = q->BuildField(L"Project.Lead");
    f->SetLabel(L"Lead\twith tab\nand line");
    f->SetIsShown(FALSE);
    f->SetSortType(AD_SORT_DESCENDING);
    f->SetSortOrder(2);
    AdQueryFieldDef *due = q->BuildField(L"Due");
    due->SetFunction(AD_FUNC_WEEK);
    due->SetGroupBy(TRUE);
    q->BuildField(L"id")->SetAggregate(AD_AGG_COUNT);
    AdFilterNode *top = q->BuildFilter(nullptr, AD_BOOL_OP_OR, 1);
    AdFieldFilter *h = q->BuildFilter(top, L"Headline", AD_COMP_OP_IN, {L"a\\b", L"c;d=e"}, 0);
    h->SetPrompt(L"which?");
    AdFilterNode *inner = q->BuildFilter(top, AD_BOOL_OP_AND, 0);
    q->BuildFilter(inner, L"Due", AD_COMP_OP_LT, {}, 0)->AddVariable(AD_QUERY_VAR_TOMORROW);
    q->BuildFilter(top, L"Owner", AD_COMP_OP_IS_NOT_NULL, {}, 0);
    q->SetDeclaredSQL(L"SELECT 1\n");
    q->SetPrivileged(TRUE);
    CString text = q->GetDefinition();
    AdQueryDefPtr back = BuildQueryDef(s, LookupEntityDef(s, L"Enhancement"), 0);
    back->SetDefinition(text);
    EXPECT_EQ(back->GetPrimaryEntity(), q->GetPrimaryEntity());
    EXPECT_EQ(back->GetDefinition(), text);
    EXPECT_EQ(back->GetQueryFieldDef(1)->GetLabel(), L"Lead\twith tab\nand line");
    EXPECT_EQ(back->GetTopFilterNode()->GetChild(0)->AsFieldFilter()->GetValues(),
              (std::vector<CString>{L"a\\b", L"c;d=e"}));
    EXPECT_EQ(back->GetTopFilterNode()->GetChild(1)->GetChild(0)->AsFieldFilter()->GetVariable(1),
              AD_QUERY_VAR_TOMORROW);
    // Damaged text is refused and the definition stays as it was.
    const wchar_t *damaged[] = {
        L"kxquery 1\nfield\tHeadline",
        L"kxquery 1\nfield\tNoSuch\t\t1\t0\t0\t0\t0\t0",
        L"kxquery 1\nfilter\t2\t1\tHeadline\t\t=a",
        L"kxquery 1\nnode\t1\t3",
        L"kxquery 1\nwhat\t1",
        L"kxquery 1\nfield\tHeadline\tx\\q\t1\t0\t0\t0\t0\t0",
        L"kxquery 1\nfield\tHeadline\tx\t1\t0\t-1\t0\t0\t0",
        L"kxquery 1\nprimary\tGone",
        L"columns=Headline;filter=Owner",
        L"columns=Headline;order=Owner",
    };
    for (const wchar_t *d : damaged) {
        EXPECT_EQ(expect_kx([&] { back->SetDefinition(d); }).first, KX_MSG_BAD_VALUE) << CString(d).ToUtf8();
        EXPECT_EQ(back->GetDefinition(), text);
    }
}

TEST_F(QueryModelTest, DemoItemsAndOlderTextsOpen) {
    AdSessionPtr s = logon(L"alice");
    auto mgr = GetWorkspaceMgr(s);
    const struct {
        const wchar_t *path;
        const wchar_t *primary;
        int fields;
        bool filtered;
    } stored[] = {
        {L"Public Queries/All Defects", L"Defect", 4, false},
        {L"Public Queries/Defects/Open Defects", L"Defect", 3, true},
        {L"Public Queries/Defects/Defects by Severity", L"Defect", 2, false},
        {L"Public Queries/All Issues", L"AllIssues", 3, false},
        {L"Personal Queries/My Defects", L"Defect", 2, true},
    };
    for (const auto &item : stored) {
        AdQueryDefPtr q = GetQueryDef(s, mgr->LookupBucketByPathName(s->GetSessionUserId(), item.path));
        EXPECT_EQ(q->GetPrimaryEntity()->GetName(), item.primary);
        EXPECT_EQ(q->GetNumberOfFields(), item.fields);
        EXPECT_EQ(q->GetTopFilterNode() != nullptr, item.filtered);
        AdResultSetPtr rs = BuildResultSet(s, q);
        rs->Execute();
        EXPECT_EQ(rs->GetResultStatus(), AD_RESULT_HAS_ROWS) << CString(item.path).ToUtf8();
    }
    // The chart counts defects per severity; alice's own defects come from the user variable.
    AdResultSetPtr chart = BuildResultSet(
        s, GetQueryDef(s, mgr->LookupBucketByPathName(0, L"Public Queries/Defects/Defects by Severity")));
    chart->Execute();
    int64_t total = 0, n = 0;
    while (chart->MoveNext() == AD_SUCCESS) total += chart->GetColumnValueAsInt(2, n) ? n : 0;
    AdResultSetPtr all =
        BuildResultSet(s, GetQueryDef(s, mgr->LookupBucketByPathName(0, L"Public Queries/All Defects")));
    all->Execute();
    EXPECT_EQ(total, all->GetRecordCount());
    // Text stored by older builds.
    AdQueryDefPtr old = defects(s);
    old->SetDefinition(
        L"family=AllIssues;columns=id,Headline,State;filter=State=Opened;order=id;group=State;chart=bar");
    EXPECT_EQ(old->GetPrimaryEntity()->GetName(), L"AllIssues");
    ASSERT_EQ(old->GetNumberOfFields(), 3);
    EXPECT_EQ(old->GetQueryFieldDef(1)->GetSortType(), AD_SORT_ASCENDING);
    EXPECT_TRUE(old->GetQueryFieldDef(3)->IsGroupBy());
    EXPECT_EQ(old->GetTopFilterNode()->AsFieldFilter()->GetValues(), std::vector<CString>{L"Opened"});
}
