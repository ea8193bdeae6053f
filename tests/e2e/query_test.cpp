// execute_query against the real program: a query given in XML, paged to its end over a libtirpc
// client, and its rows compared with what sqlite3 reads from the set file itself.
#include <sqlite3.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <csignal>
#include <memory>
#include <string>
#include <vector>

#include "raw_calls.h"
#include "server_process.h"

using namespace e2e;

namespace {

std::string const ctg = "http://korvax.example/TEAM/CTG";

std::string path(std::string const &field) {
    return "<CTG:field-path><CTG:field><CTG:definition>kx.field:Defect/" + field +
           "@KXDEMO/ISSUE</CTG:definition></CTG:field></CTG:field-path>";
}

struct Page {
    bool failed = false;
    int reason = 0;
    std::vector<int> numbers;
    std::vector<std::vector<std::string>> rows;
    std::vector<std::string> labels;
    bool has_count = false;
    int count = 0;
    std::string handle;
};

// One reply of execute_query, read field by field.
Page read_page(Reply r) {
    Page p;
    if (r.u() != 0) {
        p.failed = true;
        p.reason = r.error().first;
        return p;
    }
    p.has_count = r.u() != 0;
    if (p.has_count) p.count = r.i();
    r.u();        // limited
    r.i(), r.i(); // limits
    r.u(), r.u(); // stateless, generated SQL
    int n = r.i();
    for (int k = 0; k < n; ++k) r.u();
    EXPECT_EQ(r.i(), n);
    for (int k = 0; k < n; ++k) p.labels.push_back(r.s());
    EXPECT_EQ(r.u(), 1u); // rows follow
    while (r.u() == 1) {
        p.numbers.push_back(r.i());
        std::vector<std::string> values;
        while (r.u() == 1) {
            unsigned kind = r.u();
            if (kind == 2) {
                values.push_back("<null>");
            } else if (kind == 0) {
                r.u();
                r.s();
                values.push_back(r.s());
            } else {
                r.u();
                values.push_back(r.s());
            }
        }
        if (r.u() == 1) { // the record, by name: its record type and id
            EXPECT_EQ(r.i(), 1);
            EXPECT_EQ(r.s(), "Defect");
            EXPECT_EQ(r.s(), values.front());
        }
        p.rows.push_back(values);
    }
    std::string h = r.handle();
    p.handle = h == std::string(4, '\0') ? std::string() : h;
    EXPECT_TRUE(r.done());
    return p;
}

class QueryE2E : public LoggedOnTest {
protected:
    // id, Headline and Owner of every Defect of the user database, read by sqlite3 from the set file.
    std::vector<std::vector<std::string>> from_file() {
        sqlite3 *db = nullptr;
        EXPECT_EQ(sqlite3_open_v2((dir_.file("data") + "/KXDEMO.kxdb").c_str(), &db, SQLITE_OPEN_READONLY, nullptr),
                  SQLITE_OK);
        char const *sql =
            "SELECT r.display_name,"
            " (SELECT v.value FROM field_values v JOIN field_defs f ON f.dbid=v.field_dbid"
            "  WHERE v.record_dbid=r.dbid AND f.name='Headline'),"
            " (SELECT v.value FROM field_values v JOIN field_defs f ON f.dbid=v.field_dbid"
            "  WHERE v.record_dbid=r.dbid AND f.name='Owner')"
            " FROM records r JOIN entity_defs e ON e.dbid=r.entity_def_dbid JOIN databases d ON d.dbid=r.database_dbid"
            " WHERE e.name='Defect' AND d.name='ISSUE'";
        sqlite3_stmt *s = nullptr;
        EXPECT_EQ(sqlite3_prepare_v2(db, sql, -1, &s, nullptr), SQLITE_OK);
        std::vector<std::vector<std::string>> rows;
        while (sqlite3_step(s) == SQLITE_ROW) {
            std::vector<std::string> row;
            for (int c = 0; c < 3; ++c) {
                auto text = sqlite3_column_text(s, c);
                row.push_back(text && *text ? reinterpret_cast<char const *>(text) : "<null>");
            }
            rows.push_back(row);
        }
        sqlite3_finalize(s);
        sqlite3_close(db);
        return rows;
    }
};

TEST_F(QueryE2E, AQueryInXmlPagedToItsEndHasTheRowsOfTheSetFile) {
    std::string const doc =
        "<CTG:execute-query xmlns:CTG=\"" + ctg +
        "\" xmlns:TEAM=\"http://korvax.example/TEAM\"><CTG:definition>"
        "<CTG:primary-record-type><TEAM:href>kx.record:Defect@KXDEMO/ISSUE</TEAM:href></CTG:primary-record-type>"
        "<CTG:display-fields><CTG:column>" +
        path("id") + "</CTG:column><CTG:column>" + path("Headline") + "</CTG:column><CTG:column>" + path("Owner") +
        "</CTG:column></CTG:display-fields></CTG:definition>"
        "<CTG:enable-row-count/></CTG:execute-query>";
    Body first = session(alice_);
    first.i(10).u(0).u(0).s(doc);
    Page page = read_page(call(*client_, 7, first));
    ASSERT_FALSE(page.failed) << page.reason;
    ASSERT_TRUE(page.has_count);
    EXPECT_EQ(page.labels.size(), 3u);
    int const count = page.count;
    std::vector<std::vector<std::string>> rows = page.rows;
    std::vector<int> numbers = page.numbers;
    int pages = 1;
    while (!page.handle.empty()) {
        EXPECT_EQ(page.rows.size(), 10u);
        Body more = session(alice_);
        more.i(10).u(1).u(16).raw(page.handle);
        page = read_page(call(*client_, 7, more));
        ASSERT_FALSE(page.failed) << page.reason;
        EXPECT_FALSE(page.has_count);
        rows.insert(rows.end(), page.rows.begin(), page.rows.end());
        numbers.insert(numbers.end(), page.numbers.begin(), page.numbers.end());
        ASSERT_LT(++pages, 100);
    }
    std::vector<std::vector<std::string>> expected = from_file();
    ASSERT_EQ(static_cast<int>(expected.size()), static_cast<int>(rows.size()));
    EXPECT_EQ(count, static_cast<int>(expected.size()));
    EXPECT_EQ(pages, (static_cast<int>(expected.size()) + 9) / 10);
    for (std::size_t k = 0; k < numbers.size(); ++k) EXPECT_EQ(numbers[k], static_cast<int>(k) + 1);
    std::sort(rows.begin(), rows.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(rows, expected);

    // The ended handle names nothing any more.
    Body late = session(alice_);
    late.i(10).u(1).u(16).raw(std::string(16, 'x'));
    Page gone = read_page(call(*client_, 7, late));
    EXPECT_TRUE(gone.failed);
    EXPECT_EQ(gone.reason, 40);
}

// A page size of 0 or less is one row a reply, on the first call and on a returning one, and the
// row after it is where the next page starts.
TEST_F(QueryE2E, ANegativePageSizeIsOneRowAReply) {
    std::string const doc = "<CTG:execute-query xmlns:CTG=\"" + ctg +
                            "\" xmlns:TEAM=\"http://korvax.example/TEAM\"><CTG:definition>"
                            "<CTG:primary-record-type><TEAM:href>kx.record:Defect@KXDEMO/ISSUE</TEAM:href>"
                            "</CTG:primary-record-type><CTG:display-fields><CTG:column>" +
                            path("id") + "</CTG:column></CTG:display-fields></CTG:definition></CTG:execute-query>";
    auto first = [&](int request_num) {
        Body body = session(alice_);
        body.i(request_num).u(0).u(0).s(doc);
        return read_page(call(*client_, 7, body));
    };
    auto more = [&](int request_num, std::string const &handle) {
        Body body = session(alice_);
        body.i(request_num).u(1).u(16).raw(handle);
        return read_page(call(*client_, 7, body));
    };
    for (int const request_num : {-1, -3, INT_MIN}) {
        Page one = first(request_num);
        ASSERT_FALSE(one.failed) << request_num << ": reason " << one.reason;
        EXPECT_EQ(one.numbers, std::vector<int>{1}) << request_num;
        ASSERT_EQ(one.handle.size(), 16u) << request_num;
        Page two = more(request_num, one.handle);
        ASSERT_FALSE(two.failed) << request_num << ": reason " << two.reason;
        EXPECT_EQ(two.numbers, std::vector<int>{2}) << request_num;
        EXPECT_EQ(two.handle, one.handle) << request_num;
        Page next = more(2, one.handle);
        EXPECT_EQ(next.numbers, (std::vector<int>{3, 4})) << request_num;
        EXPECT_EQ(next.handle, one.handle) << request_num;

        // A returning call after a page of several rows.
        Page ten = first(10);
        ASSERT_EQ(ten.handle.size(), 16u);
        EXPECT_EQ(more(request_num, ten.handle).numbers, std::vector<int>{11}) << request_num;
        Page after = more(3, ten.handle);
        EXPECT_EQ(after.numbers, (std::vector<int>{12, 13, 14})) << request_num;
        EXPECT_EQ(after.rows.size(), 3u);
    }
}

// The demo set has no activity record type, so the built-in list cannot be built; an administrator's
// stored query in the public folder then serves it, paged as execute_query pages.
TEST_F(QueryE2E, TheActivityListNeedsItsRecordTypeOrAStoredQuery) {
    auto activities = [&](int rows, std::string const &handle) {
        Body body = session(alice_);
        body.i(rows);
        if (handle.empty())
            body.u(0).s("Apollo").s("main");
        else
            body.u(1).u(16).raw(handle);
        return call(*client_, 22, body);
    };
    Reply builtin = activities(10, "");
    ASSERT_EQ(builtin.u(), 1u);
    EXPECT_EQ(builtin.error(),
              std::make_pair(
                  40, std::string("TLQSV0769E Internal Error: Could not find \"All_ZRM_Activities\" record type")));
    EXPECT_TRUE(builtin.done());

    std::string const admin = login(*client_, "admin");
    auto move = [&](int type, std::string const &from, std::string const &to) {
        Reply r = call(*client_, 36, props_session(admin).named(type, from).s(to).i(0).i(0).i(0).i(0).i(0));
        ASSERT_EQ(r.u(), 0u) << from;
    };
    move(36, "Public Queries/All Defects", "Public Queries/Defects/ZRMCustomQuery1");
    move(37, "Public Queries/Defects", "Public Queries/ZRMSystemQueries");

    Page page = read_page(activities(2, ""));
    ASSERT_FALSE(page.failed) << page.reason;
    EXPECT_EQ(page.labels, (std::vector<std::string>{"id", "Headline", "State", "Owner"}));
    std::vector<std::vector<std::string>> rows;
    std::vector<int> numbers;
    for (int pages = 1;; ++pages) {
        for (auto const &row : page.rows) rows.push_back({row[0], row[1], row[3]});
        numbers.insert(numbers.end(), page.numbers.begin(), page.numbers.end());
        if (page.handle.empty()) break;
        EXPECT_EQ(page.rows.size(), 2u);
        ASSERT_LT(pages, 100);
        std::string const handle = page.handle;
        page = read_page(activities(2, handle));
        ASSERT_FALSE(page.failed) << page.reason;
        if (page.handle.empty()) { // read to its end: the handle names nothing any more
            Page gone = read_page(activities(2, handle));
            EXPECT_TRUE(gone.failed);
            EXPECT_EQ(gone.reason, 40);
        }
    }
    std::vector<std::vector<std::string>> expected = from_file();
    ASSERT_EQ(rows.size(), expected.size());
    for (std::size_t k = 0; k < numbers.size(); ++k) EXPECT_EQ(numbers[k], static_cast<int>(k) + 1);
    std::sort(rows.begin(), rows.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(rows, expected);
}

// A filter past the reader's depth is the query's fault, and the reply's own message says so.
TEST_F(QueryE2E, AFilterNestedTooDeepIsABadQueryThatSaysWhy) {
    std::string filter;
    for (int k = 0; k < 120; ++k) filter += "<CTG:filtering-expression><CTG:and/>";
    filter += "<CTG:comparison-expression><CTG:is-null/>" + path("Headline") + "</CTG:comparison-expression>";
    for (int k = 0; k < 120; ++k) filter += "</CTG:filtering-expression>";
    std::string const doc = "<CTG:execute-query xmlns:CTG=\"" + ctg +
                            "\"><CTG:definition><CTG:primary-record-type><TEAM:href "
                            "xmlns:TEAM=\"http://korvax.example/TEAM\">kx.record:Defect@KXDEMO/ISSUE</TEAM:href>"
                            "</CTG:primary-record-type><CTG:display-fields><CTG:column>" +
                            path("id") + "</CTG:column></CTG:display-fields><CTG:filtering>" + filter +
                            "</CTG:filtering></CTG:definition></CTG:execute-query>";
    Body body = session(alice_);
    body.i(10).u(0).u(0).s(doc);
    Reply r = call(*client_, 7, body);
    ASSERT_EQ(r.u(), 1u);
    EXPECT_EQ(r.i(), 35);
    EXPECT_EQ(r.s(), "TLQSV1106E The query filter is nested deeper than 64 levels.");
    EXPECT_EQ(RPC_SUCCESS, client_->ping());
}

// A column's selector that does not parse is the query's fault (35), as an unknown field is: the
// field path's refusal (4) is its cause, and the parse error that one's.
TEST_F(QueryE2E, AColumnSelectorThatDoesNotParseIsABadQueryCausedByTheParseError) {
    struct Case {
        char const *selector, *parse_error;
    } const cases[] = {
        {"kx.field:Defect/Headline", "missing repository seperator: \"@\""},
        {"record:Defect/Headline@KXDEMO/ISSUE", "unknown provider domain: record"},
        {"nonsense", "missing namespace seperator: \":\""},
    };
    for (Case const &c : cases) {
        std::string const doc = "<CTG:execute-query xmlns:CTG=\"" + ctg +
                                "\"><CTG:definition><CTG:primary-record-type><TEAM:href "
                                "xmlns:TEAM=\"http://korvax.example/TEAM\">kx.record:Defect@KXDEMO/ISSUE</TEAM:href>"
                                "</CTG:primary-record-type><CTG:display-fields><CTG:column><CTG:field-path><CTG:field>"
                                "<CTG:definition>" +
                                std::string(c.selector) +
                                "</CTG:definition></CTG:field></CTG:field-path></CTG:column></CTG:display-fields>"
                                "</CTG:definition></CTG:execute-query>";
        Body body = session(alice_);
        body.i(10).u(0).u(0).s(doc);
        std::string const message = "TLQSV0780E field definition not found: " + std::string(c.selector);
        Body expected;
        std::string const parse =
            "TLQSV0671E The selector '" + std::string(c.selector) + "' is not valid: " + c.parse_error;
        expected.u(1).error(35, message, {Body().error(4, message, {Body().error(39, parse)})});
        EXPECT_EQ(call(*client_, 7, body).bytes, expected.bytes) << c.selector;
    }
    EXPECT_EQ(RPC_SUCCESS, client_->ping());
}

TEST_F(QueryE2E, HostileQueryDocumentsGetSmallErrorsAndTheServerServesOn) {
    std::string const open = "<CTG:execute-query xmlns:CTG=\"" + ctg + "\">";
    std::string const close = "</CTG:execute-query>";
    // An entity of 64 KiB referenced 200 times, as a 13 MB expansion would be echoed.
    std::string refs;
    for (int k = 0; k < 200; ++k) refs += "&e;";
    std::string const bomb = "<!DOCTYPE CTG:execute-query [<!ENTITY e \"" + std::string(1 << 16, 'x') + "\">]>" + open +
                             "<CTG:definition>" + refs + "</CTG:definition>" + close;
    std::string deep = open;
    for (int k = 0; k < 2000; ++k) deep += "<CTG:definition>";
    std::string wide = "<CTG:execute-query xmlns:CTG=\"" + ctg + "\"";
    for (int k = 0; k < 5000; ++k) wide += " a" + std::to_string(k) + "=\"1\"";
    wide += "/>";
    std::string const large = open + std::string(2 << 20, ' ') + close;
    std::string const primary = "<CTG:primary-record-type><TEAM:href xmlns:TEAM=\"http://korvax.example/TEAM\">"
                                "kx.record:Defect@KXDEMO/ISSUE</TEAM:href></CTG:primary-record-type>";
    // Well formed, but the filter names a 512 KiB tag that the error repeats.
    std::string const unknown = open + "<CTG:definition>" + primary +
                                "<CTG:filtering><CTG:" + std::string(512 << 10, 'n') +
                                "/></CTG:filtering></CTG:definition>" + close;
    struct Case {
        char const *name;
        std::string const &doc;
        char const *says;
    } const cases[] = {
        {"entity bomb", bomb, "a DOCTYPE declaration is not accepted"},
        {"deep", deep, "elements are nested deeper than 256 levels"},
        {"wide", wide, "an element has more than 256 attributes"},
        {"large", large, "the document is longer than 1048576 bytes"},
        {"unknown name", unknown, "nnnnnnnn"},
    };
    for (Case const &c : cases) {
        Body body = session(alice_);
        body.i(10).u(0).u(0).s(c.doc);
        Reply r = call(*client_, 7, body);
        ASSERT_FALSE(r.bytes.empty()) << c.name;
        EXPECT_LT(r.bytes.size(), 8192u) << c.name;
        EXPECT_EQ(r.u(), 1u) << c.name;
        EXPECT_NE(r.i(), 0) << c.name;
        // The message, or its cause's, says why.
        EXPECT_NE(r.bytes.find(c.says), std::string::npos) << c.name << ": " << r.bytes.substr(0, 300);
        EXPECT_EQ(RPC_SUCCESS, client_->ping()) << c.name;
    }
    // And a well-formed query still runs.
    std::string const good = open + "<CTG:definition>" + primary + "<CTG:display-fields><CTG:column>" + path("id") +
                             "</CTG:column></CTG:display-fields></CTG:definition>" + close;
    Body body = session(alice_);
    body.i(10).u(0).u(0).s(good);
    Page page = read_page(call(*client_, 7, body));
    EXPECT_FALSE(page.failed) << page.reason;
    EXPECT_FALSE(page.rows.empty());
}

} // namespace
