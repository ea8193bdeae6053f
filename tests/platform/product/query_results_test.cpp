// Result sets over a small set whose every value is known here: each operator against the same
// predicate evaluated in C++, paths through references, sorting, groups, limits, paging, dates in
// the server's time zone, parameters.
#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kxproduct/kxproduct.h"
#include "kxwin/utf.h"
#include "query_rows.h"
#include "test_support.h"

namespace {

struct Item {
    std::string name;
    std::optional<int> num;
    std::optional<double> ratio;
    std::optional<std::string> when; // UTC
    std::optional<std::string> note;
    std::string part; // "" for none
    std::vector<std::string> links;
};

const char *const kLeads[] = {"Ann", "Ben", ""};

std::vector<Item> items() {
    std::vector<Item> out;
    const char *notes[] = {"alpha", "beta 50%", "gam_ma", "alphabet", "x\\y", "delta"};
    for (int i = 0; i < 12; ++i) {
        Item it;
        char name[8];
        std::snprintf(name, sizeof name, "i%02d", i);
        it.name = name;
        if (i % 5 != 4) it.num = i * 3 % 7;
        it.ratio = i / 4.0;
        if (i % 6 != 5) {
            char when[32];
            std::snprintf(when, sizeof when, "2026-03-%02d %02d:30:00", i + 1, (i * 5) % 24);
            it.when = when;
        }
        if (i % 7 != 6) it.note = notes[i % 6];
        if (i % 4 != 3) it.part = "P" + std::to_string(i % 3);
        if (i >= 2) it.links = {out[static_cast<size_t>(i - 2)].name, out[static_cast<size_t>(i / 2)].name};
        out.push_back(it);
    }
    return out;
}

std::string definition(const std::vector<Item> &all, const std::string &limits = "") {
    std::string xml = R"(<kxdefinition name="OPS"><database name="DB" )" + limits + R"(/>
    <user login="admin" password="admin" privileges="super-user"/><user login="ann" password="ann"><subscribe database="DB"/></user>
    <record-type name="Part"><field name="Name" type="short-string" unique-key="1"/><field name="Lead" type="short-string"/>
      <action name="Submit" type="submit"/></record-type>
    <record-type name="Item"><field name="Name" type="short-string" unique-key="1"/><field name="Num" type="int"/>
      <field name="Ratio" type="float"/><field name="When" type="date-time"/><field name="Note" type="short-string"/>
      <field name="Text" type="multiline-string"/><field name="Part" type="reference" reference="Part"/>
      <field name="Links" type="reference-list" reference="Item"/><action name="Submit" type="submit"/></record-type>)";
    for (int p = 0; p < 3; ++p)
        xml += "<record type=\"Part\"><value field=\"Name\">P" + std::to_string(p) + "</value>" +
               (*kLeads[p] ? std::string("<value field=\"Lead\">") + kLeads[p] + "</value>" : "") + "</record>";
    for (const Item &it : all) {
        xml += "<record type=\"Item\"><value field=\"Name\">" + it.name + "</value>";
        if (it.num) xml += "<value field=\"Num\">" + std::to_string(*it.num) + "</value>";
        if (it.ratio) xml += "<value field=\"Ratio\">" + std::to_string(*it.ratio) + "</value>";
        if (it.when) xml += "<value field=\"When\">" + *it.when + "</value>";
        if (it.note) xml += "<value field=\"Note\">" + *it.note + "</value>";
        xml += "<value field=\"Text\">line one of " + it.name + "\nline two</value>";
        if (!it.part.empty()) xml += "<value field=\"Part\">" + it.part + "</value>";
        for (const auto &l : it.links) xml += "<value field=\"Links\">" + l + "</value>";
        xml += "</record>";
    }
    return xml + "</kxdefinition>";
}

using Names = std::vector<std::string>;

class QueryResultsTest : public ProductTest {
protected:
    void SetUp() override {
        ProductTest::SetUp();
        ::setenv("TZ", "UTC", 1);
        ::tzset();
        all_ = items();
    }
    void TearDown() override {
        session_ = nullptr;
        ::setenv("TZ", "UTC", 1);
        ::tzset();
        ProductTest::TearDown();
    }
    AdSessionPtr open(const std::string &limits = "", const wchar_t *user = L"admin") {
        if (::mkdir(data_.c_str(), 0700) == 0) KXProductStore::CreateFromDefinition(definition(all_, limits), data_);
        session_ = KXSession::Build();
        session_->WebUserLogon(user, user, L"h", L"", L"DB", L"OPS");
        s_ = session_->GetReal();
        return s_;
    }
    AdQueryDefPtr query(std::initializer_list<const wchar_t *> fields) {
        AdQueryDefPtr q = BuildQueryDef(s_, LookupEntityDef(s_, L"Item"), 0);
        for (const wchar_t *f : fields) q->BuildField(f);
        return q;
    }
    static std::vector<std::vector<std::wstring>> rows(const AdResultSetPtr &rs) { return result_rows(rs); }
    Names names(const AdQueryDefPtr &q) {
        AdResultSetPtr rs = BuildResultSet(s_, q);
        rs->Execute();
        Names out;
        for (const auto &r : rows(rs)) out.push_back(CString(r[0].c_str()).ToUtf8());
        return out;
    }
    Names expected(const std::function<bool(const Item &)> &keep) const {
        Names out;
        for (const Item &it : all_)
            if (keep(it)) out.push_back(it.name);
        return out;
    }
    std::vector<Item> all_;
    KXSmartPtr<KXSession> session_;
    AdSessionPtr s_;
};

const Item &by_name(const std::vector<Item> &all, const std::string &n) {
    return *std::find_if(all.begin(), all.end(), [&](const Item &i) { return i.name == n; });
}

} // namespace

TEST_F(QueryResultsTest, EveryOperatorSelectsWhatThePredicateDoes) {
    open();
    auto lead = [](const Item &i) { return i.part.empty() ? std::string() : std::string(kLeads[i.part[1] - '0']); };
    const struct {
        const wchar_t *path;
        int op;
        std::vector<CString> values;
        std::function<bool(const Item &)> keep;
    } cases[] = {
        {L"Num", AD_COMP_OP_EQ, {L"3"}, [](const Item &i) { return i.num == 3; }},
        {L"Num", AD_COMP_OP_EQ, {L"3", L"5"}, [](const Item &i) { return i.num == 3 || i.num == 5; }},
        {L"Num", AD_COMP_OP_NEQ, {L"3"}, [](const Item &i) { return i.num != 3; }},
        {L"Num", AD_COMP_OP_LT, {L"3"}, [](const Item &i) { return i.num && *i.num < 3; }},
        {L"Num", AD_COMP_OP_LTE, {L"3"}, [](const Item &i) { return i.num && *i.num <= 3; }},
        {L"Num", AD_COMP_OP_GT, {L"3"}, [](const Item &i) { return i.num && *i.num > 3; }}, // numbers, not text: 10 > 3
        {L"Num", AD_COMP_OP_GTE, {L"3"}, [](const Item &i) { return i.num && *i.num >= 3; }},
        {L"Num", AD_COMP_OP_BETWEEN, {L"2", L"4"}, [](const Item &i) { return i.num && *i.num >= 2 && *i.num <= 4; }},
        {L"Num",
         AD_COMP_OP_NOT_BETWEEN,
         {L"2", L"4"},
         [](const Item &i) { return !(i.num && *i.num >= 2 && *i.num <= 4); }},
        {L"Num", AD_COMP_OP_IS_NULL, {}, [](const Item &i) { return !i.num; }},
        {L"Num", AD_COMP_OP_IS_NOT_NULL, {}, [](const Item &i) { return i.num.has_value(); }},
        {L"Num", AD_COMP_OP_IN, {L"0", L"6"}, [](const Item &i) { return i.num == 0 || i.num == 6; }},
        {L"Num", AD_COMP_OP_NOT_IN, {L"0", L"6"}, [](const Item &i) { return i.num != 0 && i.num != 6; }},
        {L"Ratio", AD_COMP_OP_GT, {L"1.5"}, [](const Item &i) { return *i.ratio > 1.5; }},
        {L"Ratio", AD_COMP_OP_LTE, {L"0.25"}, [](const Item &i) { return *i.ratio <= 0.25; }},
        {L"Note",
         AD_COMP_OP_LIKE,
         {L"alpha"},
         [](const Item &i) { return i.note && i.note->find("alpha") != std::string::npos; }},
        {L"Note",
         AD_COMP_OP_LIKE,
         {L"50%"},
         [](const Item &i) { return i.note && i.note->find("50%") != std::string::npos; }},
        {L"Note",
         AD_COMP_OP_LIKE,
         {L"m_m"},
         [](const Item &i) { return i.note && i.note->find("m_m") != std::string::npos; }},
        {L"Note",
         AD_COMP_OP_LIKE,
         {L"x\\y"},
         [](const Item &i) { return i.note && i.note->find("x\\y") != std::string::npos; }},
        {L"Note",
         AD_COMP_OP_NOT_LIKE,
         {L"alpha"},
         [](const Item &i) { return !(i.note && i.note->find("alpha") != std::string::npos); }},
        {L"Note", AD_COMP_OP_LT, {L"beta"}, [](const Item &i) { return i.note && *i.note < "beta"; }},
        {L"When", AD_COMP_OP_LT, {L"2026-03-04"}, [](const Item &i) { return i.when && *i.when < "2026-03-04"; }},
        {L"When",
         AD_COMP_OP_BETWEEN,
         {L"2026-03-02 00:00:00", L"2026-03-05 10:30:00"},
         [](const Item &i) { return i.when && *i.when >= "2026-03-02" && *i.when <= "2026-03-05 10:30:00"; }},
        {L"Part", AD_COMP_OP_EQ, {L"P1"}, [](const Item &i) { return i.part == "P1"; }},
        {L"Part.Lead", AD_COMP_OP_EQ, {L"Ann"}, [&](const Item &i) { return lead(i) == "Ann"; }},
        {L"Part.Lead", AD_COMP_OP_IS_NULL, {}, [&](const Item &i) { return lead(i).empty(); }},
        {L"Part.Lead", AD_COMP_OP_NEQ, {L"Ann"}, [&](const Item &i) { return lead(i) != "Ann"; }},
        {L"Links",
         AD_COMP_OP_EQ,
         {L"i01"},
         [](const Item &i) { return std::count(i.links.begin(), i.links.end(), "i01") > 0; }},
        {L"Links.Num",
         AD_COMP_OP_EQ,
         {L"6"},
         [&](const Item &i) {
             return std::any_of(i.links.begin(), i.links.end(),
                                [&](const std::string &l) { return by_name(all_, l).num == 6; });
         }},
        {L"Links.Part.Lead",
         AD_COMP_OP_EQ,
         {L"Ben"},
         [&](const Item &i) {
             return std::any_of(i.links.begin(), i.links.end(),
                                [&](const std::string &l) { return lead(by_name(all_, l)) == "Ben"; });
         }},
        {L"Name", AD_COMP_OP_EQ, {L"' OR 1=1 --"}, [](const Item &) { return false; }},
    };
    for (const auto &c : cases) {
        AdQueryDefPtr q = query({L"Name"});
        q->BuildFilter(nullptr, c.path, c.op, c.values, 1);
        EXPECT_EQ(names(q), expected(c.keep)) << CString(c.path).ToUtf8() << " op " << c.op;
    }
    // And/or nodes combine them.
    AdQueryDefPtr q = query({L"Name"});
    AdFilterNode *any = q->BuildFilter(nullptr, AD_BOOL_OP_OR, 1);
    q->BuildFilter(any, L"Num", AD_COMP_OP_EQ, {L"0"}, 0);
    AdFilterNode *both = q->BuildFilter(any, AD_BOOL_OP_AND, 0);
    q->BuildFilter(both, L"Ratio", AD_COMP_OP_GTE, {L"2"}, 0);
    q->BuildFilter(both, L"Note", AD_COMP_OP_IS_NOT_NULL, {}, 0);
    EXPECT_EQ(names(q), expected([](const Item &i) { return i.num == 0 || (*i.ratio >= 2 && i.note); }));
}

TEST_F(QueryResultsTest, VariablesResolveWhenTheQueryRuns) {
    open("", L"ann");
    AdQueryDefPtr q = query({L"Name"});
    AdFieldFilter *f = q->BuildFilter(nullptr, L"Note", AD_COMP_OP_EQ, {}, 1);
    f->AddVariable(AD_QUERY_VAR_USER);
    EXPECT_EQ(names(q), Names{});
    f->SetValue(1, L"delta");
    EXPECT_EQ(names(q), expected([](const Item &i) { return i.note == "delta"; }));
    // Dates: today matches its whole local day; before tomorrow includes all of these.
    AdQueryDefPtr d = query({L"Name"});
    d->BuildFilter(nullptr, L"When", AD_COMP_OP_LT, {}, 1)->AddVariable(AD_QUERY_VAR_TOMORROW);
    EXPECT_EQ(names(d), expected([](const Item &i) { return i.when.has_value(); }));
    d->BuildFilter(nullptr, L"When", AD_COMP_OP_EQ, {}, 1)->AddVariable(AD_QUERY_VAR_TODAY);
    EXPECT_EQ(names(d), Names{});
}

TEST_F(QueryResultsTest, ColumnsDescribeThemselves) {
    open();
    AdQueryDefPtr q = query({L"Name", L"Num", L"Ratio", L"When", L"Text", L"Part", L"Part.Lead", L"Links", L"dbid"});
    q->GetQueryFieldDef(2)->SetLabel(L"Number");
    q->GetQueryFieldDef(3)->SetIsShown(FALSE);
    AdResultSetPtr rs = BuildResultSet(s_, q);
    rs->SetMaxMultiLineTextLength(8);
    rs->Execute();
    const int types[] = {AD_COLUMN_STRING, AD_COLUMN_INT,    AD_COLUMN_FLOAT,  AD_COLUMN_DATE_TIME, AD_COLUMN_MULTILINE,
                         AD_COLUMN_STRING, AD_COLUMN_STRING, AD_COLUMN_STRING, AD_COLUMN_INT};
    ASSERT_EQ(rs->GetNumberOfColumns(), 9);
    for (int c = 1; c <= 9; ++c) EXPECT_EQ(rs->GetColumnType(c), types[c - 1]) << c;
    EXPECT_EQ(rs->GetColumnLabel(2), L"Number");
    EXPECT_EQ(rs->GetColumnName(2), L"Num");
    EXPECT_FALSE(rs->GetColumnIsShown(3));
    EXPECT_EQ(rs->GetColumnPositionByField(L"Part.Lead"), 7);
    EXPECT_EQ(rs->GetColumnPositionByField(L"Nope"), 0);
    EXPECT_EQ(expect_kx([&] { rs->GetColumnLabel(10); }).first, KX_MSG_BAD_VALUE);
    EXPECT_EQ(expect_kx([&] {
                  CString v;
                  rs->GetColumnValue(1, v);
              }).first,
              KX_MSG_QUERY_FAILED);
    ASSERT_EQ(rs->MoveAbsolute(5), AD_SUCCESS); // i04: no number, links i02 and i02
    const Item &it = all_[4];
    CString v;
    int64_t n = -1;
    EXPECT_FALSE(rs->GetColumnValueAsInt(2, n));
    EXPECT_FALSE(rs->GetColumnValue(2, v));
    ASSERT_TRUE(rs->GetColumnValue(4, v));
    EXPECT_EQ(v.ToUtf8(), *it.when);
    ASSERT_TRUE(rs->GetColumnValue(5, v));
    EXPECT_EQ(v, L"line one"); // cut at 8
    ASSERT_TRUE(rs->GetColumnValue(7, v));
    EXPECT_EQ(v.ToUtf8(), kLeads[1]);
    ASSERT_TRUE(rs->GetColumnValue(8, v));
    EXPECT_EQ(v.ToUtf8(), it.links[0] + "\n" + it.links[1]);
    EXPECT_TRUE(rs->GetColumnValueAsInt(9, n));
    EXPECT_GT(n, 0);
    EXPECT_EQ(rs->GetRowEntityDefName(), L"Item");
    EXPECT_EQ(rs->GetCurrentRow(), 5);
}

TEST_F(QueryResultsTest, SortsAndGroups) {
    open();
    AdQueryDefPtr q = query({L"Name", L"Num", L"Note"});
    q->GetQueryFieldDef(2)->SetSortType(AD_SORT_DESCENDING);
    q->GetQueryFieldDef(2)->SetSortOrder(1);
    q->GetQueryFieldDef(3)->SetSortType(AD_SORT_ASCENDING);
    q->GetQueryFieldDef(3)->SetSortOrder(2);
    std::vector<Item> sorted = all_;
    std::stable_sort(sorted.begin(), sorted.end(), [](const Item &a, const Item &b) {
        int an = a.num ? *a.num : -1, bn = b.num ? *b.num : -1; // no value sorts lowest
        if (an != bn) return an > bn;
        return a.note.value_or("") < b.note.value_or("");
    });
    Names want;
    for (const auto &it : sorted) want.push_back(it.name);
    EXPECT_EQ(names(q), want);
    // Groups: one row per number, with a count and a sum.
    AdQueryDefPtr g = query({L"Num", L"Name", L"Ratio"});
    g->GetQueryFieldDef(1)->SetGroupBy(TRUE);
    g->GetQueryFieldDef(2)->SetAggregate(AD_AGG_COUNT);
    g->GetQueryFieldDef(3)->SetAggregate(AD_AGG_MAXIMUM);
    AdResultSetPtr rs = BuildResultSet(s_, g);
    rs->Execute();
    EXPECT_EQ(rs->GetColumnType(2), AD_COLUMN_INT);
    EXPECT_TRUE(rs->GetColumnIsGroupBy(1));
    std::map<int, std::pair<int, double>> want_groups;
    int without = 0;
    for (const auto &it : all_) {
        if (!it.num) {
            ++without;
            continue;
        }
        auto &[count, max] = want_groups[*it.num];
        ++count;
        max = std::max(max, *it.ratio);
    }
    auto got = rows(rs);
    ASSERT_EQ(got.size(), want_groups.size() + 1);
    EXPECT_EQ(got[0], (std::vector<std::wstring>{L"<none>", std::to_wstring(without), got[0][2]}));
    size_t i = 1;
    for (const auto &[num, agg] : want_groups) {
        EXPECT_EQ(got[i][0], std::to_wstring(num));
        EXPECT_EQ(got[i][1], std::to_wstring(agg.first));
        EXPECT_DOUBLE_EQ(std::stod(got[i][2]), agg.second);
        ++i;
    }
    EXPECT_EQ(rs->GetRecordCount(), static_cast<int64_t>(want_groups.size() + 1));
}

TEST_F(QueryResultsTest, MovesCountsAndTheLimits) {
    open("soft-query-limit=\"9\" hard-query-limit=\"10\"");
    for (bool sorted : {false, true}) {
        AdQueryDefPtr q = query({L"Name"});
        if (sorted) q->GetQueryFieldDef(1)->SetSortType(AD_SORT_DESCENDING);
        AdResultSetPtr rs = BuildResultSet(s_, q);
        EXPECT_EQ(rs->GetQueryLimit(AD_QUERY_LIMIT_SOFT), 9);
        EXPECT_EQ(rs->GetQueryLimit(AD_QUERY_LIMIT_HARD), 10);
        EXPECT_EQ(expect_kx([&] { rs->MoveFirst(); }).first, KX_MSG_QUERY_FAILED);
        rs->EnableRecordCount();
        rs->Execute();
        EXPECT_EQ(rs->GetResultStatus(), AD_RESULT_HAS_ROWS);
        EXPECT_TRUE(rs->ResultIsLimited());
        EXPECT_EQ(rs->GetRecordCount(), 9); // the soft limit for an ordinary query
        auto name_at = [&](int64_t row) {
            if (rs->MoveAbsolute(row) != AD_SUCCESS) return std::string("-");
            CString v;
            rs->GetColumnValue(1, v);
            return v.ToUtf8();
        };
        const std::string first = sorted ? "i11" : "i00", ninth = sorted ? "i03" : "i08";
        EXPECT_EQ(name_at(9), ninth);
        EXPECT_EQ(name_at(10), "-");
        EXPECT_EQ(name_at(0), "-");
        EXPECT_EQ(name_at(1), first);
        EXPECT_EQ(rs->MoveNext(), AD_SUCCESS);
        EXPECT_EQ(name_at(3), sorted ? "i09" : "i02");
        EXPECT_EQ(rs->MoveFirst(), AD_SUCCESS);
        int walked = 1;
        while (rs->MoveNext() == AD_SUCCESS) ++walked;
        EXPECT_EQ(walked, 9);
        EXPECT_EQ(rs->MoveNext(), AD_NO_DATA_FOUND);
    }
    // Privileged: the hard limit only; the caller's maximum cuts further.
    AdQueryDefPtr q = query({L"Name"});
    q->SetPrivileged(TRUE);
    AdResultSetPtr rs = BuildResultSet(s_, q);
    rs->Execute();
    EXPECT_EQ(rs->GetRecordCount(), 10);
    EXPECT_TRUE(rs->ResultIsLimited());
    rs->SetMaxRows(4);
    rs->Execute();
    EXPECT_EQ(rs->GetRecordCount(), 4);
    // An empty result.
    AdQueryDefPtr none = query({L"Name"});
    none->BuildFilter(nullptr, L"Name", AD_COMP_OP_EQ, {L"nobody"}, 1);
    rs = BuildResultSet(s_, none);
    rs->Execute();
    EXPECT_EQ(rs->GetResultStatus(), AD_RESULT_EMPTY);
    EXPECT_FALSE(rs->ResultIsLimited());
    EXPECT_EQ(rs->MoveFirst(), AD_NO_DATA_FOUND);
    EXPECT_EQ(rs->GetRecordCount(), 0);
}

TEST_F(QueryResultsTest, OnlyPageReadsMeetTheStore) {
    open();
    // Only a move that reads a page of rows meets the store, and a failure there leaves the rows
    // already read.
    AdResultSetPtr rs = BuildResultSet(s_, query({L"Name"}));
    rs->Execute();
    ASSERT_EQ(rs->MoveFirst(), AD_SUCCESS);
    long before = KXFaultInjector::CallCount("AdResultSet::MoveNext");
    for (int i = 0; i < 5; ++i) rs->MoveNext();
    EXPECT_EQ(KXFaultInjector::CallCount("AdResultSet::MoveNext"), before);
    KXFaultInjector::Arm("AdResultSet::MoveAbsolute",
                         KXFault{KXFaultKind::KXException, KX_MSG_QUERY_FAILED, L"disk", 0});
    EXPECT_EQ(rs->MoveAbsolute(3), AD_SUCCESS); // on the page in hand
    EXPECT_EQ(expect_kx([&] { rs->MoveAbsolute(13); }).first, KX_MSG_QUERY_FAILED);
    EXPECT_EQ(rs->MoveAbsolute(2), AD_SUCCESS);
}

TEST_F(QueryResultsTest, DatesFollowTheServersTimeZone) {
    open();
    struct Zone {
        const char *tz;
        const wchar_t *shown; // i00 "2026-03-01 00:30:00" UTC in that zone
    } zones[] = {{"UTC", L"2026-03-01 00:30:00"},
                 {"America/New_York", L"2026-02-28 19:30:00"},
                 {"Asia/Kolkata", L"2026-03-01 06:00:00"}};
    for (const auto &z : zones) {
        ::setenv("TZ", z.tz, 1);
        ::tzset();
        AdQueryDefPtr q = query({L"When"});
        q->BuildFilter(nullptr, L"Name", AD_COMP_OP_EQ, {L"i00"}, 1);
        AdResultSetPtr rs = BuildResultSet(s_, q);
        rs->Execute();
        ASSERT_EQ(rs->MoveFirst(), AD_SUCCESS);
        CString v;
        rs->GetColumnValue(1, v);
        EXPECT_EQ(v, z.shown) << z.tz;
        // A filter date is taken in the same zone.
        AdQueryDefPtr back = query({L"Name"});
        back->BuildFilter(nullptr, L"When", AD_COMP_OP_EQ, {z.shown}, 1);
        EXPECT_EQ(names(back), Names{"i00"}) << z.tz;
    }
    // The fall-back hour: 01:30 happens twice in New York on 2026-11-01 (05:30 and 06:30 UTC);
    // both instants show as 01:30 of that day.
    ::setenv("TZ", "America/New_York", 1);
    ::tzset();
    for (const wchar_t *name : {L"dst1", L"dst2"}) {
        AdEntityPtr e = BuildEntity(s_, LookupEntityDef(s_, L"Item"));
        e->SetFieldValue(L"Name", name);
        e->SetFieldValue(L"When", L"2026-11-01 01:30:00");
        ASSERT_EQ(e->Commit(), L"");
    }
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open(KXProductStore::SetPath(L"OPS").c_str(), &db), SQLITE_OK);
    const char *const kSet =
        "UPDATE field_values SET value=?1 WHERE field_dbid=(SELECT dbid FROM field_defs WHERE name='When') AND"
        " record_dbid=(SELECT dbid FROM records WHERE display_name=?2)";
    for (const auto &[utc, name] :
         {std::pair{"2026-11-01 05:30:00", "dst1"}, std::pair{"2026-11-01 06:30:00", "dst2"}}) {
        sqlite3_stmt *st = nullptr;
        sqlite3_prepare_v2(db, kSet, -1, &st, nullptr);
        sqlite3_bind_text(st, 1, utc, -1, SQLITE_STATIC);
        sqlite3_bind_text(st, 2, name, -1, SQLITE_STATIC);
        EXPECT_EQ(sqlite3_step(st), SQLITE_DONE);
        EXPECT_EQ(sqlite3_changes(db), 1);
        sqlite3_finalize(st);
    }
    sqlite3_close(db);
    AdQueryDefPtr q = query({L"When", L"When", L"Name"});
    q->GetQueryFieldDef(1)->SetFunction(AD_FUNC_DAY);
    q->BuildFilter(nullptr, L"Name", AD_COMP_OP_LIKE, {L"dst"}, 1);
    AdResultSetPtr rs = BuildResultSet(s_, q);
    rs->Execute();
    EXPECT_EQ(rows(rs), (std::vector<std::vector<std::wstring>>{{L"2026-11-01", L"2026-11-01 01:30:00", L"dst1"},
                                                                {L"2026-11-01", L"2026-11-01 01:30:00", L"dst2"}}));
}

// The UTF-8 of a value is what its wide text holds, for stored bytes that are not well formed
// too, and a multiline text is cut at characters, not bytes.
TEST_F(QueryResultsTest, Utf8ValuesMatchTheWideOnes) {
    open();
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open(KXProductStore::SetPath(L"OPS").c_str(), &db), SQLITE_OK);
    const char *const kSet =
        "UPDATE field_values SET value=?1 WHERE field_dbid=(SELECT dbid FROM field_defs WHERE name=?2) AND"
        " record_dbid=(SELECT dbid FROM records WHERE display_name=?3)";
    struct Stored {
        std::string value;
        const char *field;
        const char *record;
    } const stored[] = {{"\xc3\xbcn\xc3\xaf\xe2\x82\xac\xf0\x9f\x98\x80xyz", "Text", "i00"}, // cut after 6 characters
                        {"a\xff"
                         "b\xc0\xaf\xed\xa0\x80",
                         "Note", "i01"}, // not well formed
                        {std::string("nul\0after", 9), "Note", "i02"},
                        {"\xe2\x82", "Text", "i03"}}; // truncated
    for (const Stored &v : stored) {
        sqlite3_stmt *st = nullptr;
        sqlite3_prepare_v2(db, kSet, -1, &st, nullptr);
        sqlite3_bind_text(st, 1, v.value.data(), static_cast<int>(v.value.size()), SQLITE_STATIC);
        sqlite3_bind_text(st, 2, v.field, -1, SQLITE_STATIC);
        sqlite3_bind_text(st, 3, v.record, -1, SQLITE_STATIC);
        EXPECT_EQ(sqlite3_step(st), SQLITE_DONE);
        EXPECT_EQ(sqlite3_changes(db), 1) << v.record;
        sqlite3_finalize(st);
    }
    sqlite3_close(db);
    AdResultSetPtr rs =
        BuildResultSet(s_, query({L"Name", L"Num", L"When", L"Note", L"Text", L"Part", L"Links", L"dbid"}));
    rs->SetMaxMultiLineTextLength(6);
    rs->Execute();
    std::vector<std::string> texts, notes;
    for (int st = rs->MoveFirst(); st == AD_SUCCESS; st = rs->MoveNext()) {
        for (int c = 1; c <= rs->GetNumberOfColumns(); ++c) {
            CString wide;
            std::string_view utf8;
            EXPECT_EQ(rs->GetColumnValueUtf8(c, utf8), rs->GetColumnValue(c, wide)) << c;
            EXPECT_EQ(std::string(utf8), kxwin::to_utf8(wide.str())) << c;
        }
        std::string_view v;
        rs->GetColumnValueUtf8(4, v);
        notes.emplace_back(v);
        rs->GetColumnValueUtf8(5, v);
        texts.emplace_back(v);
    }
    ASSERT_GE(texts.size(), 4u);
    EXPECT_EQ(texts[0], "\xc3\xbcn\xc3\xaf\xe2\x82\xac\xf0\x9f\x98\x80x");
    EXPECT_EQ(texts[1], "line o");
    EXPECT_EQ(texts[3], "\xef\xbf\xbd");
    EXPECT_EQ(notes[1], "a\xef\xbf\xbd"
                        "b\xef\xbf\xbd\xef\xbf\xbd");
    EXPECT_EQ(notes[2], std::string("nul\0after", 9));
    std::string_view none;
    EXPECT_EQ(expect_kx([&] { rs->GetColumnValueUtf8(1, none); }).first, KX_MSG_QUERY_FAILED);
}

TEST_F(QueryResultsTest, ParametersFillPromptedFilters) {
    open();
    AdQueryDefPtr q = query({L"Name"});
    AdFilterNode *top = q->BuildFilter(nullptr, AD_BOOL_OP_AND, 1);
    q->BuildFilter(top, L"Num", AD_COMP_OP_EQ, {L"3"}, 0)->SetPrompt(L"number?");
    q->BuildFilter(top, L"Ratio", AD_COMP_OP_GTE, {L"0"}, 0)->SetPrompt(L"ratio?");
    AdResultSetPtr rs = BuildResultSet(s_, q);
    ASSERT_EQ(rs->GetNumberOfParams(), 2);
    rs->SetParamComparisonOperator(1, AD_COMP_OP_BETWEEN);
    rs->SetParamValue(1, 1, L"1");
    rs->SetParamValue(1, 2, L"4");
    rs->Execute();
    Names got;
    for (const auto &r : rows(rs)) got.push_back(CString(r[0].c_str()).ToUtf8());
    EXPECT_EQ(got, expected([](const Item &i) { return i.num && *i.num >= 1 && *i.num <= 4; }));
    // The definition's own values when no parameter is given; a between left with one value is
    // refused when the query runs.
    EXPECT_EQ(names(q), expected([](const Item &i) { return i.num == 3; }));
    rs = BuildResultSet(s_, q);
    rs->SetParamComparisonOperator(1, AD_COMP_OP_BETWEEN);
    EXPECT_EQ(expect_kx([&] { rs->Execute(); }).first, KX_MSG_QUERY_FAILED);
}

TEST_F(QueryResultsTest, ReferenceListFilter) {
    open();
    AdEntityPtr owner;
    CString error;
    AdEntityMgr::Get(s_)->LookupEntityWithStatus(LookupEntityDef(s_, L"Item"), L"i09", owner, error, 0);
    ASSERT_TRUE(owner);
    AdQueryDefPtr q = query({L"Name"});
    q->BuildReferenceListFilter(nullptr, owner, L"Links", 1);
    Names want = all_[9].links;
    std::sort(want.begin(), want.end());
    EXPECT_EQ(names(q), want);
    EXPECT_EQ(expect_pamsg([&] { q->BuildReferenceListFilter(nullptr, AdEntityPtr(), L"Links", 1); }).first,
              KX_MSG_NOT_FOUND);
    EXPECT_EQ(expect_pamsg([&] { q->BuildReferenceListFilter(nullptr, owner, L"Part", 1); }).first, KX_MSG_BAD_VALUE);
    // It survives the stored form.
    AdQueryDefPtr back = query({});
    back->SetDefinition(q->GetDefinition());
    EXPECT_EQ(names(back), want);
}

// The product writes one value a record for a single-value field, but a stored set may hold more
// (another writer, an earlier build): then each of them shows, in order, one a line. Whether a
// field holds any is asked again each time a statement runs, so the same query, kept prepared,
// follows the store both ways.
TEST_F(QueryResultsTest, StoredValuesPastTheFirstShowOneALine) {
    open();
    auto model = [&](bool extra, bool sorted) {
        std::vector<std::vector<std::wstring>> out;
        for (const Item &it : all_) {
            std::string note = it.note.value_or("<none>"), num = it.num ? std::to_string(*it.num) : "<none>";
            std::string links = it.links.empty() ? "<none>" : it.links[0] + "\n" + it.links[1];
            if (extra && it.name == "i01") note += "\nsecond";
            if (extra && it.name == "i04") num = "7"; // no first value, only a later one
            out.push_back(
                {kxwin::from_utf8(it.name), kxwin::from_utf8(note), kxwin::from_utf8(num), kxwin::from_utf8(links)});
        }
        if (sorted) std::reverse(out.begin(), out.end());
        return out;
    };
    auto shown = [&](bool sorted) {
        AdQueryDefPtr q = query({L"Name", L"Note", L"Num", L"Links"});
        if (sorted) q->GetQueryFieldDef(1)->SetSortType(AD_SORT_DESCENDING);
        AdResultSetPtr rs = BuildResultSet(s_, q);
        rs->Execute();
        return rows(rs);
    };
    auto change = [&](const char *sql) {
        sqlite3 *db = nullptr;
        ASSERT_EQ(sqlite3_open(KXProductStore::SetPath(L"OPS").c_str(), &db), SQLITE_OK);
        char *err = nullptr;
        EXPECT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, &err), SQLITE_OK) << (err ? err : "");
        sqlite3_free(err);
        sqlite3_close(db);
    };
    const char *const kAdd =
        "INSERT INTO field_values SELECT r.dbid, f.dbid, 1, v.value FROM (SELECT 'i01' AS record, 'Note' AS field,"
        " 'second' AS value UNION ALL SELECT 'i04', 'Num', '7') v JOIN records r ON r.display_name=v.record"
        " JOIN field_defs f ON f.name=v.field AND f.entity_def_dbid=r.entity_def_dbid";
    for (bool sorted : {false, true}) {
        EXPECT_EQ(shown(sorted), model(false, sorted)) << sorted;
        change(kAdd);
        EXPECT_EQ(shown(sorted), model(true, sorted)) << sorted;
        change("DELETE FROM field_values WHERE position>0 AND field_dbid IN (SELECT dbid FROM field_defs WHERE name IN"
               " ('Note', 'Num'))");
        EXPECT_EQ(shown(sorted), model(false, sorted)) << sorted;
    }
}
