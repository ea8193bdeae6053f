// execute_query and the activity list in process: the paging matrix, row windows, counts, the
// state handle's life, parameters, the limit check, dates in GMT and product failures.
#include "query/execute.h"

#include <atomic>
#include <climits>
#include <set>
#include <string>
#include <thread>

#include <algorithm>
#include <fstream>

#include "handler_env.h"
#include "kxproduct/entity.h"
#include "kxproduct/metadata.h"
#include "kxproduct/store.h"
#include "query/paged.h"
#include "set_file.h"
#include "support/image_files.h"
#include "target/held_items.h"

using namespace KxRpc;
using kxtest::Bytes;
using kxtest::cat;
using kxtest::str;
using kxtest::words;
using Resp = ExecuteQueryResp;

namespace {

std::string ns(Nul::XmlTag::NsId id) { return Nul::XmlTag::ns_URI(id).utf8_str().std_str(); }

constexpr int kRows = 25;

class ExecuteTest : public kxtest::HandlerTest {
protected:
    // The demo set's Defects topped up to 25, one of them due at a known local time.
    static void SetUpTestSuite() {
        HandlerTest::SetUpTestSuite();
        KXProductStore::EnsureDataDirectory();
        kxtest::SetFile set;
        std::int64_t have =
            set.scalar("SELECT count(*) FROM records r JOIN entity_defs e ON e.dbid=r.entity_def_dbid "
                       "JOIN databases d ON d.dbid=r.database_dbid WHERE e.name='Defect' AND d.name='ISSUE'");
        KXSmartPtr<KXSession> s = KXSession::Build();
        s->WebUserLogon(CString(L"alice"), CString(L"alice"), CString(), CString(), CString(L"ISSUE"),
                        CString(L"KXDEMO"));
        AdSessionPtr real = s->GetReal();
        for (std::int64_t i = have; i < kRows; ++i) {
            AdEntityPtr e = BuildEntity(real, LookupEntityDefOrFamily(real, CString(L"Defect")));
            e->SetFieldValue(CString(L"Headline"), CString(L"paging"));
            e->SetFieldValue(CString(L"Severity"), CString(L"3-Average"));
            if (i == have) {
                e->SetFieldValue(CString(L"Headline"), CString(L"due in Kolkata"));
                e->SetFieldValue(CString(L"Due"), CString(L"2026-03-01 10:00:00"));
            }
            ASSERT_TRUE(e->Commit().IsEmpty());
        }
    }

    void SetUp() override {
        HandlerTest::SetUp();
        alice_ = login(L"alice");
    }

    static std::string path(wchar_t const *field) {
        return "<CTG:field-path><CTG:field><CTG:definition>kx.field:Defect/" + kxtest::u8(Nul::UString(field)) +
               "@KXDEMO/ISSUE</CTG:definition></CTG:field></CTG:field-path>";
    }
    static std::string column(wchar_t const *field) { return "<CTG:column>" + path(field) + "</CTG:column>"; }
    // An execute-query document over Defect with the columns, filter and options given.
    static std::string doc(std::string const &columns, std::string const &options = "",
                           std::string const &filter = "") {
        return "<CTG:execute-query xmlns:CTG=\"" + ns(Nul::XmlTag::NS_CTG) + "\" xmlns:TEAM=\"" +
               ns(Nul::XmlTag::NS_TEAM) +
               "\"><CTG:definition><CTG:primary-record-type><TEAM:href>kx.record:Defect@KXDEMO/ISSUE</TEAM:href>"
               "</CTG:primary-record-type><CTG:display-fields>" +
               columns + "</CTG:display-fields>" +
               (filter.empty() ? "" : "<CTG:filtering>" + filter + "</CTG:filtering>") + "</CTG:definition>" + options +
               "</CTG:execute-query>";
    }
    kxtest::Outcome first(std::string const &document, int request_num,
                          std::shared_ptr<LoginSession> const &who = nullptr) {
        return call<ExecuteQueryArgs>(
            kxrpc_execute_query,
            cat(cat(header(who ? who : alice_), words({static_cast<std::uint32_t>(request_num), 0, 0})),
                str(document)));
    }
    kxtest::Outcome again(StateItemPtr const &item, int request_num) {
        return call<ExecuteQueryArgs>(
            kxrpc_execute_query,
            cat(cat(header(alice_), words({static_cast<std::uint32_t>(request_num), 1})), handle_of(item)));
    }
    static Resp *resp(kxtest::Outcome const &o) { return dynamic_cast<Resp *>(o.result.get()); }
    // The error of a reply (reason and message), or {0, ""}.
    static std::pair<int, std::string> error(kxtest::Outcome const &o) {
        if (o.error) return {o.reason(), o.message()};
        Nul::STPException const *e = resp(o) ? resp(o)->error() : nullptr;
        if (!e) return {0, ""};
        return {static_cast<int>(e->stp_reason_code()), exception_message_text(*e).utf8_str().std_str()};
    }
    static std::vector<unsigned> numbers(kxtest::Outcome const &o) {
        std::vector<unsigned> out;
        for (auto const &r : resp(o)->rows()) out.push_back(r.number);
        return out;
    }

    std::shared_ptr<LoginSession> alice_;
};

std::vector<unsigned> range(unsigned from, unsigned to) {
    std::vector<unsigned> out;
    for (unsigned i = from; i <= to; ++i) out.push_back(i);
    return out;
}

TEST_F(ExecuteTest, PagesOfTenTenAndFiveWithTheCountOnTheFirst) {
    std::string const d = doc(column(L"id") + column(L"Headline"), "<CTG:enable-row-count/>");
    kxtest::Outcome one = first(d, 10);
    ASSERT_EQ(error(one).first, 0) << error(one).second;
    EXPECT_TRUE(resp(one)->info().has_count);
    EXPECT_EQ(resp(one)->info().count, kRows);
    EXPECT_EQ(numbers(one), range(1, 10));
    ASSERT_TRUE(resp(one)->continue_with());
    one.reply(); // registers the handle
    StateItemPtr held = resp(one)->continue_with();

    kxtest::Outcome two = again(held, 10);
    EXPECT_FALSE(resp(two)->info().has_count);
    EXPECT_EQ(numbers(two), range(11, 20));
    EXPECT_EQ(resp(two)->continue_with(), held);
    two.reply();

    kxtest::Outcome three = again(held, 10);
    EXPECT_EQ(numbers(three), range(21, 25));
    EXPECT_FALSE(resp(three)->continue_with());
    // The last page discarded the item: its handle names nothing now.
    EXPECT_EQ(lookup_pointer_entry(held->oid()), nullptr);
    EXPECT_EQ(error(again(held, 10)).first, 40);

    // Every row carries its record, by type and id.
    Resp::Row const &row = resp(one)->rows().front();
    EXPECT_TRUE(row.has_record);
    EXPECT_TRUE(row.address.is_marshalled_by_name());
    EXPECT_EQ(row.address.first_name_segment(), L"Defect");
    ASSERT_EQ(row.values.size(), 2u);
    EXPECT_EQ(kxtest::u8(row.address.second_name_segment()), row.values[0].text);
}

TEST_F(ExecuteTest, RowWindowsAndTheirErrors) {
    auto window = [&](std::string const &start, std::string const &end) {
        return doc(column(L"id"), "<CTG:start-row>" + start + "</CTG:start-row><CTG:end-row>" + end + "</CTG:end-row>");
    };
    kxtest::Outcome five = first(window("5", "7"), 10);
    EXPECT_EQ(numbers(five), range(5, 7));
    EXPECT_FALSE(resp(five)->continue_with());
    // request_num 0 or negative: one row a reply.
    for (int request_num : {0, -1, INT_MIN}) {
        kxtest::Outcome single = first(window("24", "0"), request_num);
        EXPECT_EQ(numbers(single), range(24, 24)) << request_num;
        ASSERT_TRUE(resp(single)->continue_with()) << request_num;
        single.reply();
        kxtest::Outcome last = again(resp(single)->continue_with(), request_num);
        EXPECT_EQ(numbers(last), range(25, 25)) << request_num;
        EXPECT_FALSE(resp(last)->continue_with()) << request_num;
    }
    EXPECT_EQ(error(first(window("5", "3"), 10)),
              std::make_pair(4, std::string("TLQSV0804E The end row cannot be less than the start row")));
    EXPECT_EQ(error(first(window("0", "3"), 10)),
              std::make_pair(4, std::string("TLQSV0729E 'CTG:start-row' element has illegal row value")));
    EXPECT_EQ(error(first(window("x", "3"), 10)).first, 4);
    EXPECT_EQ(error(first(doc(""), 10)),
              std::make_pair(4, std::string("TLQSV0968E This query has no display fields.")));
    // A definition the reader refuses is a bad definition, and the reply says what is wrong.
    EXPECT_EQ(error(first(doc("<CTG:column><CTG:title/></CTG:column>"), 10)),
              std::make_pair(35, std::string("TLQSV0711E unexpected xml tag: CTG:title")));
}

TEST_F(ExecuteTest, CountOnlyReplyByteForByte) {
    AdResultSetPtr rs =
        BuildResultSet(AdSessionPtr(alice_->session()),
                       BuildQueryDef(AdSessionPtr(alice_->session()),
                                     LookupEntityDef(AdSessionPtr(alice_->session()), CString(L"Defect")), 0));
    kxtest::Outcome o = first(doc(column(L"id"), "<CTG:count-only/>"), 10);
    ASSERT_EQ(error(o).first, 0);
    // No error, count 25, not limited, the limits, not stateless, generated SQL, no columns,
    // rows follow, none, the null handle.
    Bytes expected =
        words({0, 1, kRows, 0, static_cast<std::uint32_t>(rs->GetQueryLimit(AD_QUERY_LIMIT_SOFT)),
               static_cast<std::uint32_t>(rs->GetQueryLimit(AD_QUERY_LIMIT_HARD)), 0, 1, 0, 0, 1, 0, 4, 0});
    EXPECT_EQ(o.reply(), expected);
}

TEST_F(ExecuteTest, HandlesThatHoldNoQueryAreRefused) {
    // A handle deleted by the client, a login handle, a folder held for the client.
    kxtest::Outcome one = first(doc(column(L"id")), 10);
    one.reply();
    StateItemPtr held = resp(one)->continue_with();
    remove_pointer_entry(held->oid());
    EXPECT_EQ(error(again(held, 10)), std::make_pair(40, std::string()));
    EXPECT_EQ(error(again(alice_, 10)).first, 40);

    auto folder = std::make_shared<QueryItemStateItem>(Nul::UString(L"new folder"), AD_BUCKET_FOLDER);
    add_pointer_entry(folder);
    Bytes target = cat(words({36, 3}), handle_of(folder));
    kxtest::Outcome o = call<ExecuteQueryArgs>(
        kxrpc_execute_query, cat(cat(cat(header(alice_), words({10, 0, 1})), target), str(doc(column(L"id")))));
    EXPECT_EQ(error(o), std::make_pair(4, std::string("TLQSV0709E Cannot load query definition from bucket: "
                                                      "no query definition")));
    remove_pointer_entry(folder->oid());
}

TEST_F(ExecuteTest, OneHandleFromTwoThreadsIsServedOneCallAtATime) {
    kxtest::Outcome one = first(doc(column(L"id")), 1);
    one.reply();
    StateItemPtr held = resp(one)->continue_with();
    std::mutex mu;
    std::multiset<unsigned> seen = {1};
    std::atomic<int> ended{0};
    auto worker = [&] {
        for (;;) {
            kxtest::Outcome o = again(held, 1);
            if (error(o).first == 40) return;
            std::lock_guard<std::mutex> lock(mu);
            for (unsigned n : numbers(o)) seen.insert(n);
            if (!resp(o)->continue_with()) ++ended;
        }
    };
    std::thread a(worker), b(worker);
    a.join();
    b.join();
    EXPECT_EQ(ended.load(), 1);
    std::vector<unsigned> const all = range(1, kRows);
    EXPECT_EQ(seen, std::multiset<unsigned>(all.begin(), all.end()));
}

TEST_F(ExecuteTest, ParametersFillThePromptedFilters) {
    std::string const filter = "<CTG:comparison-expression><CTG:is-equal/>" + path(L"Headline") +
                               "<CTG:prompt>Which?</CTG:prompt></CTG:comparison-expression>";
    auto with = [&](std::string const &params) {
        return first(
            doc(column(L"id") + column(L"Headline"), "<CTG:parameters>" + params + "</CTG:parameters>", filter), 50);
    };
    kxtest::Outcome o = with("<CTG:param><CTG:constant-value>due in Kolkata</CTG:constant-value></CTG:param>");
    ASSERT_EQ(error(o).first, 0) << error(o).second;
    ASSERT_EQ(resp(o)->rows().size(), 1u);
    EXPECT_EQ(resp(o)->rows()[0].values[1].text, "due in Kolkata");
    EXPECT_EQ(error(with("<CTG:param/><CTG:param/>")),
              std::make_pair(57, std::string("TLQSV0731E Query required 1 parameter(s), 2 supplied")));
    EXPECT_EQ(error(with("<CTG:param><CTG:is-equal/><CTG:is-not-equal/></CTG:param>")),
              std::make_pair(4, std::string("TLQSV0730E Multiple comparison operators supplied for param 0")));
    EXPECT_EQ(error(with("<CTG:param><CTG:is-between/><CTG:constant-value>a</CTG:constant-value></CTG:param>")),
              std::make_pair(
                  57, std::string("TLQSV0722E Supplied number of values, 1, is incorrect for operator is-between")));
}

TEST_F(ExecuteTest, DatesGoOutInGmtAndColumnsAreTyped) {
    std::string const filter = "<CTG:comparison-expression><CTG:is-equal/>" + path(L"Headline") +
                               "<CTG:constant-value>due in Kolkata</CTG:constant-value></CTG:comparison-expression>";
    kxtest::Outcome o = first(doc(column(L"Due") + column(L"Project") + column(L"Estimate"), "", filter), 10);
    ASSERT_EQ(error(o).first, 0) << error(o).second;
    ASSERT_EQ(resp(o)->rows().size(), 1u);
    Resp::Value const &due = resp(o)->rows()[0].values[0];
    EXPECT_EQ(due.kind, 1);
    EXPECT_EQ(due.code, 2);
    // The test runs at +05:30.
    EXPECT_EQ(due.text, "2026-03-01T04:30:00Z");
    EXPECT_EQ(resp(o)->rows()[0].values[1].kind, 2); // no project: no reference
    EXPECT_FALSE(resp(o)->rows()[0].has_record);     // neither id nor dbid shown
    std::vector<int> const tags = resp(o)->info().tags;
    EXPECT_EQ(tags, (std::vector<int>{Nul::XmlTag::CTG_date_time, Nul::XmlTag::CTG_reference, Nul::XmlTag::CTG_int}));
}

TEST_F(ExecuteTest, DeclaredSqlShowsEveryColumnAndTheFirstIdentifyingOneWins) {
    std::string const d =
        "<CTG:execute-query xmlns:CTG=\"" + ns(Nul::XmlTag::NS_CTG) + "\" xmlns:TEAM=\"" + ns(Nul::XmlTag::NS_TEAM) +
        "\"><CTG:definition><CTG:primary-record-type><TEAM:href>"
        "kx.record:Defect@KXDEMO/ISSUE</TEAM:href></CTG:primary-record-type><CTG:sql>SELECT "
        "display_name AS id, dbid AS DBID FROM records ORDER BY dbid LIMIT 3</CTG:sql></CTG:definition>"
        "</CTG:execute-query>";
    // SQL of the client's own needs a raw-SQL writer: alice is not one, admin (a super user) is.
    kxtest::Outcome refused = first(d, 10);
    EXPECT_NE(error(refused).first, 0);
    EXPECT_NE(error(refused).second.find("raw-SQL writer"), std::string::npos) << error(refused).second;
    kxtest::Outcome o = first(d, 10, login(L"admin"));
    ASSERT_EQ(error(o).first, 0) << error(o).second;
    EXPECT_FALSE(resp(o)->info().generated_sql);
    EXPECT_EQ(resp(o)->info().tags, (std::vector<int>{Nul::XmlTag::CTG_short_string, Nul::XmlTag::CTG_dbid}));
    ASSERT_EQ(resp(o)->rows().size(), 3u);
    Resp::Row const &row = resp(o)->rows()[0];
    ASSERT_EQ(row.values.size(), 2u);
    EXPECT_EQ(row.values[1].code, 0); // an integer
    EXPECT_TRUE(row.has_record);
    EXPECT_TRUE(row.address.is_marshalled_by_name());
    EXPECT_EQ(kxtest::u8(row.address.second_name_segment()), row.values[0].text);
}

TEST_F(ExecuteTest, ReferencesNameTheirRecordType) {
    std::string const filter =
        "<CTG:comparison-expression><CTG:is-not-null/>" + path(L"Project") + "</CTG:comparison-expression>";
    kxtest::Outcome o = first(doc(column(L"id") + column(L"Project"), "", filter), 50);
    ASSERT_EQ(error(o).first, 0) << error(o).second;
    ASSERT_FALSE(resp(o)->rows().empty());
    for (Resp::Row const &row : resp(o)->rows()) {
        EXPECT_EQ(row.values[1].kind, 0);
        EXPECT_EQ(row.values[1].type_name, "Project");
        EXPECT_FALSE(row.values[1].text.empty());
    }
}

TEST_F(ExecuteTest, JournalColumnsAreReferencesThatNameNoRecordType) {
    // A journal entry on one record; the product's queries cannot show attachment lists at all.
    AdSessionPtr api(alice_->session());
    AdEntityPtr record;
    CString lookup_error;
    AdEntityMgr::Get(api)->LookupEntityWithStatus(LookupEntityDef(api, L"Defect"), L"ISSUE00000016", record,
                                                  lookup_error, 0);
    ASSERT_TRUE(record);
    EditEntity(record, CString(L"Modify"));
    ASSERT_EQ(record->SetFieldValue(L"Notes_Log", L"looked at it"), L"");
    ASSERT_EQ(record->Commit(), L"");
    std::string const filter = "<CTG:comparison-expression><CTG:is-equal/>" + path(L"id") +
                               "<CTG:constant-value>ISSUE00000016</CTG:constant-value></CTG:comparison-expression>";
    kxtest::Outcome o = first(doc(column(L"Notes_Log") + column(L"Headline"), "", filter), 10);
    ASSERT_EQ(error(o).first, 0) << error(o).second;
    EXPECT_EQ(resp(o)->info().tags, (std::vector<int>{Nul::XmlTag::CTG_reference, Nul::XmlTag::CTG_short_string}));
    ASSERT_EQ(resp(o)->rows().size(), 1u);
    Resp::Value const &journal = resp(o)->rows()[0].values[0];
    EXPECT_EQ(journal.kind, 0);
    EXPECT_TRUE(journal.type_name.empty());
    EXPECT_NE(journal.text.find("looked at it"), std::string::npos) << journal.text;
    EXPECT_EQ(resp(o)->rows()[0].values[1].kind, 1);
}

TEST_F(ExecuteTest, LimitCheckAndProductFailures) {
    kxtest::SetFile set;
    set.exec("UPDATE databases SET soft_query_limit=500, hard_query_limit=100 WHERE name='ISSUE'");
    kxtest::Outcome o = first(doc(column(L"id")), 10);
    set.exec("UPDATE databases SET soft_query_limit=0, hard_query_limit=0 WHERE name='ISSUE'");
    EXPECT_EQ(error(o), std::make_pair(
                            4, std::string("TLQSV0967E Resultset Soft Limit (500) is greater than Hard Limit (100).")));

    KXFaultInjector::Arm("AdResultSet::Execute", kxtest::fault(KXFaultKind::PaMsgException, 1, L"disk on fire"));
    EXPECT_EQ(error(first(doc(column(L"id")), 10)),
              std::make_pair(40, std::string("TLQSV0789E The executing query failed: disk on fire")));
    KXFaultInjector::Arm("AdResultSet::GetColumnLabel", kxtest::fault(KXFaultKind::KXException, 1, L"assertion"));
    EXPECT_EQ(error(first(doc(column(L"id")), 10)),
              std::make_pair(40, std::string("TLQSV0769E Internal Error: assertion")));
    // And the next call is served.
    EXPECT_EQ(numbers(first(doc(column(L"id")), 2)), range(1, 2));
}

// A returning page that fails hands out no row: the next page starts where it would have, by
// number and by record, whether it failed before reading a row or after reading them all.
TEST_F(ExecuteTest, AFailedReturningPageHandsOutNoRow) {
    std::string const d = doc(column(L"id"));
    auto ids = [](kxtest::Outcome const &o) {
        std::vector<std::string> out;
        for (auto const &r : resp(o)->rows()) out.push_back(r.values.at(0).text);
        return out;
    };
    std::vector<std::string> const all = ids(first(d, kRows));
    ASSERT_EQ(all.size(), static_cast<std::size_t>(kRows));
    kxtest::Outcome one = first(d, 3);
    ASSERT_EQ(numbers(one), range(1, 3));
    one.reply();
    StateItemPtr held = resp(one)->continue_with();
    ASSERT_TRUE(held);
    unsigned next = 4;
    for (char const *op : {"AdResultSet::GetColumnLabel", "AdResultSet::ResultIsLimited"}) {
        KXFaultInjector::Arm(op, kxtest::fault(KXFaultKind::KXException, 1, L"broken"));
        kxtest::Outcome failed = again(held, 3);
        EXPECT_EQ(error(failed), std::make_pair(40, std::string("TLQSV0769E Internal Error: broken"))) << op;
        EXPECT_TRUE(resp(failed)->rows().empty()) << op;
        EXPECT_FALSE(resp(failed)->continue_with()) << op;
        kxtest::Outcome after = again(held, 3);
        ASSERT_EQ(error(after).first, 0) << op << ": " << error(after).second;
        EXPECT_EQ(numbers(after), range(next, next + 2)) << op;
        EXPECT_EQ(ids(after), std::vector<std::string>(all.begin() + next - 1, all.begin() + next + 2)) << op;
        EXPECT_EQ(resp(after)->continue_with(), held) << op;
        after.reply();
        next += 3;
    }
}

TEST_F(ExecuteTest, ActivityListWithoutAnyQueryNamesTheMissingRecordType) {
    kxtest::Outcome o = call<KxGetMyActivityListArgs>(
        kxrpc_get_my_activity_list, cat(cat(header(alice_), words({10, 0})), cat(str("proj"), str("stream"))));
    EXPECT_EQ(error(o),
              std::make_pair(
                  40, std::string("TLQSV0769E Internal Error: Could not find \"All_ZRM_Activities\" record type")));
}

} // namespace

namespace {

// The chunk stream that starts `at` in a reply: the bytes it carries and where it ends.
std::pair<std::string, std::size_t> read_chunks(Bytes const &reply, std::size_t at, std::size_t chunk) {
    std::string content;
    for (;;) {
        std::size_t const n = kxtest::word_at(reply, at / 4 + 1);
        content.append(reply.begin() + static_cast<long>(at + 8), reply.begin() + static_cast<long>(at + 8 + n));
        at += 8 + (n + 3) / 4 * 4;
        if (n < chunk) return {content, at};
    }
}

std::size_t find(Bytes const &reply, std::string const &text) {
    Bytes const bytes(text.begin(), text.end());
    auto it = std::search(reply.begin(), reply.end(), bytes.begin(), bytes.end());
    return it == reply.end() ? std::string::npos : static_cast<std::size_t>(it - reply.begin());
}

} // namespace

TEST_F(ExecuteTest, FileAndChartResultsStreamInChunksOfRequestNum) {
    std::string const file_options = "<CTG:return-as-file/><CTG:result-set-options><CTG:delimiter>;</CTG:delimiter>"
                                     "<CTG:max-result-set-rows>20</CTG:max-result-set-rows></CTG:result-set-options>";
    Bytes reply = first(doc(column(L"id") + column(L"Headline"), file_options), 64).reply();
    std::size_t const at = find(reply, "id;Headline\n");
    ASSERT_NE(at, std::string::npos);
    auto const [text, end] = read_chunks(reply, at - 8, 64);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 21) << text; // labels and 20 rows
    EXPECT_EQ(Bytes(reply.begin() + static_cast<long>(end), reply.end()), handle_of(nullptr));
    // The longest delimiter allowed is taken as it is.
    std::string const longest(ExecuteQueryResp::max_delimiter_length, '|');
    Bytes const wide =
        first(doc(column(L"id") + column(L"Headline"), "<CTG:return-as-file/><CTG:result-set-options><CTG:delimiter>" +
                                                           longest + "</CTG:delimiter></CTG:result-set-options>"),
              1 << 20)
            .reply();
    EXPECT_NE(find(wide, "id" + longest + "Headline\n"), std::string::npos);

    std::string const chart_options = "<CTG:chart-options><CTG:image-format>CTG:image-format-png</CTG:image-format>"
                                      "<CTG:width>200</CTG:width><CTG:height>0</CTG:height>"
                                      "<CTG:is-interlaced>false</CTG:is-interlaced></CTG:chart-options>";
    reply = first(doc(column(L"Severity"), chart_options), 1000).reply();
    std::size_t const png = find(reply, "\x89PNG");
    ASSERT_NE(png, std::string::npos);
    std::string const image = read_chunks(reply, png - 8, 1000).first;
    std::string const path = "/tmp/kxrpc-chart-" + std::to_string(::getpid()) + ".png";
    std::ofstream(path, std::ios::binary) << image;
    kxtest::DecodedImage const d = kxtest::read_png(path);
    ::unlink(path.c_str());
    EXPECT_EQ(d.width, 200);
    EXPECT_EQ(d.height, 480); // 0 keeps the default
    EXPECT_FALSE(d.interlaced);
}

TEST_F(ExecuteTest, FileAndChartRefusals) {
    // Rows exist, but none from the start row on: the chart has no data.
    std::string const past_the_end = "<CTG:start-row>1000</CTG:start-row><CTG:end-row>0</CTG:end-row>";
    std::string const nothing = "<CTG:comparison-expression><CTG:is-equal/>" + path(L"Headline") +
                                "<CTG:constant-value>no such headline</CTG:constant-value></CTG:comparison-expression>";
    struct Case {
        std::string options, filter;
        int request_num;
        char const *text;
    } const cases[] = {
        {"<CTG:chart-options><CTG:width>abc</CTG:width></CTG:chart-options>", "", 100,
         "TLQSV0851E 'CTG:width' element has illegal value"},
        {"<CTG:return-as-file/><CTG:result-set-options><CTG:max-result-set-rows>-1</CTG:max-result-set-rows>"
         "</CTG:result-set-options>",
         "", 100, "TLQSV0851E"},
        {"<CTG:return-as-file/>", "", 0, "chunk size must be greater than 0"},
        {"<CTG:chart-options/>" + past_the_end, "", 100, "TLQSV1048I"},
        // No rows at all: no image either, the same refusal.
        {"<CTG:chart-options/>", nothing, 100, "TLQSV1048I"},
        {"<CTG:chart-options><CTG:width>5000</CTG:width></CTG:chart-options>", "", 100, "TLQSV0789E"},
        // Every cell carries the delimiter: one past the bound is refused before the file is made.
        {"<CTG:return-as-file/><CTG:result-set-options><CTG:delimiter>" +
             std::string(ExecuteQueryResp::max_delimiter_length + 1, ';') + "</CTG:delimiter></CTG:result-set-options>",
         "", 100, "TLQSV0851E 'CTG:delimiter' element has illegal value"},
    };
    for (Case const &c : cases) {
        Bytes const reply = first(doc(column(L"Severity"), c.options, c.filter), c.request_num).reply();
        EXPECT_NE(find(reply, c.text), std::string::npos) << c.options;
        EXPECT_EQ(find(reply, "\x89PNG"), std::string::npos) << c.options;
    }
    // An empty result as a file is an empty file: no error.
    Bytes const file = first(doc(column(L"Severity"), "<CTG:return-as-file/>", nothing), 100).reply();
    EXPECT_EQ(find(file, "TLQSV"), std::string::npos);
}
