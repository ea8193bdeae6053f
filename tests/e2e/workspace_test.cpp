// Folder walk, move, rename, record lookup, oplog, database sets, families and full-text search
// against the real program and its demo set, over libtirpc clients.
#include "raw_calls.h"
#include "server_process.h"

#include <gtest/gtest.h>

#include <chrono>

#include <csignal>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

using namespace e2e;

namespace {

std::vector<std::pair<int, unsigned>> walk(Client &client, std::string const &handle, std::string const &folder) {
    Reply r = call(client, 21, session(handle).named(37, folder));
    std::vector<std::pair<int, unsigned>> out;
    EXPECT_EQ(r.u(), 0u);
    while (r.u() == 1) {
        int type = r.i();
        out.emplace_back(type, r.u());
    }
    EXPECT_TRUE(r.done());
    return out;
}

std::vector<int> types_of(std::vector<std::pair<int, unsigned>> const &entries) {
    std::vector<int> out;
    for (auto const &e : entries) out.push_back(e.first);
    return out;
}

class WorkspaceE2E : public LoggedOnTest {
protected:
    Reply search(Client &client, Body body) { return call(client, 25, body); }
};

} // namespace

TEST_F(WorkspaceE2E, WalkIsDepthFirstAndRefusesAQuery) {
    // Folders first met are followed into before their next sibling.
    EXPECT_EQ(types_of(walk(*client_, alice_, "Public Queries")), (std::vector<int>{37, 36, 36, 38, 36, 37, 39, 36}));
    Reply r = call(*client_, 21, session(alice_).named(37, "Public Queries/All Defects"));
    ASSERT_EQ(r.u(), 1u);
    auto [reason, message] = r.error();
    EXPECT_NE(message.find("Expecting Query Folder"), std::string::npos) << message;
}

TEST_F(WorkspaceE2E, MoveIntoItsOwnSubtreeChangesNothingAndAGoodMoveAnswersAHandle) {
    std::string admin = login(*client_, "admin");
    auto before = walk(*client_, admin, "Public Queries");
    struct Case {
        int type;
        std::string from, to;
    } refused[] = {
        {37, "Public Queries/Defects", "Public Queries/Defects/Defects"},
        {36, "Public Queries/Defects", "Public Queries/Elsewhere"}, // a folder claimed to be a query
        {37, "Public Queries", "Public Queries/Defects/Top"},
        {36, "Public Queries/All Defects", "Public Queries/Defects/.."},
        {36, "Public Queries/All Defects", "Public Queries/Defects/a\nb"},
        {36, "Public Queries/All Defects", "Public Queries/Defects/\u202Egnp.exe"},
    };
    for (Case const &c : refused) {
        Reply r = call(*client_, 36, props_session(admin).named(c.type, c.from).s(c.to).i(0).i(0).i(0).i(0).i(0));
        ASSERT_EQ(r.u(), 1u) << c.to;
        EXPECT_NE(r.error().first, 0);
    }
    EXPECT_EQ(walk(*client_, admin, "Public Queries"), before);

    Reply ok = call(*client_, 36,
                    props_session(admin)
                        .named(36, "Public Queries/All Defects")
                        .s("Public Queries/Defects/All")
                        .i(0)
                        .i(0)
                        .i(0)
                        .i(0)
                        .i(0));
    ASSERT_EQ(ok.u(), 0u);
    EXPECT_EQ(ok.i(), 1);
    EXPECT_EQ(ok.handle().size(), 16u);
    EXPECT_EQ(ok.s(), "Public Queries/Defects/All");
    EXPECT_EQ(ok.i(), 36);
    EXPECT_TRUE(ok.done());
    EXPECT_EQ(types_of(walk(*client_, admin, "Public Queries/Defects")), (std::vector<int>{36, 36, 36, 38}));
}

TEST_F(WorkspaceE2E, RenameAnswersTrueOrTheProductsRefusal) {
    auto items = walk(*client_, alice_, "Public Queries/Defects");
    ASSERT_EQ(items.size(), 3u);
    Reply ok = call(*client_, 33, session(alice_).i(static_cast<int>(items[0].second)).s("Opened"));
    EXPECT_EQ(ok.u(), 0u);
    EXPECT_EQ(ok.u(), 1u);
    struct Case {
        std::string name;
        int reason;
    } cases[] = {
        {"a/b", 4},           {"Defect Summary", 4}, {"", 4}, {".", 4}, {"..", 4}, {"two\nlines", 4}, {"bell\a", 4},
        {"txt.\u202Eexe", 4}, {"\u2067rtl\u2069", 4}};
    for (Case const &c : cases) {
        Reply r = call(*client_, 33, session(alice_).i(static_cast<int>(items[0].second)).s(c.name));
        ASSERT_EQ(r.u(), 1u) << c.name;
        auto [reason, message] = r.error();
        EXPECT_EQ(reason, c.reason) << c.name;
        EXPECT_EQ(message.rfind("TLQSV1100E", 0), 0u) << message;
    }
}

TEST_F(WorkspaceE2E, FindRecordOplogSetsAndFamilies) {
    // By name over all record types, then by the dbid it answered; an unknown mode is refused.
    Reply byname = call(*client_, 23, session(alice_).i(0).s("Apollo").i(837).i(0));
    ASSERT_EQ(byname.u(), 0u);
    ASSERT_EQ(byname.u(), 1u);
    EXPECT_EQ(byname.i(), 2);
    int type = byname.i(), dbid = byname.i();
    Reply bydbid = call(*client_, 23, session(alice_).i(1).i(dbid).i(837).i(1).named(31, "Project"));
    EXPECT_EQ(bydbid.bytes, byname.bytes);
    Reply none = call(*client_, 23, session(alice_).i(0).s("Apollo").i(837).i(1).named(31, "Defect"));
    EXPECT_EQ(none.u(), 0u);
    EXPECT_EQ(none.u(), 0u);
    Reply mode = call(*client_, 23, session(alice_).i(0).s("Apollo").i(1).i(0));
    ASSERT_EQ(mode.u(), 1u);
    EXPECT_EQ(mode.error().first, 4);
    (void)type;

    // The demo set's oplog is empty: no start lies in its range.
    Reply oplog = call(*client_, 24, session(alice_).u(1).u(0xffffffffu).i(0));
    ASSERT_EQ(oplog.u(), 1u);
    EXPECT_EQ(oplog.error().first, 33);

    Body sets;
    sets.u(0).i(3);
    Reply all = call(*client_, 18, sets);
    EXPECT_EQ(all.u(), 0u);
    EXPECT_EQ(all.u(), 1u);
    EXPECT_EQ(all.s(), "KXDEMO");
    EXPECT_EQ(all.u(), 0u);
    EXPECT_TRUE(all.done());

    Reply fam = call(*client_, 19, session(alice_));
    EXPECT_EQ(fam.u(), 0u);
    EXPECT_EQ(fam.u(), 1u);
    EXPECT_EQ(fam.s(), "AllIssues");
    fam.u();
    ASSERT_EQ(fam.i(), 2);
    EXPECT_EQ(fam.s(), "Defect");
    fam.u();
    EXPECT_EQ(fam.s(), "Enhancement");
    fam.u();
    EXPECT_EQ(fam.u(), 0u);
    EXPECT_TRUE(fam.done());
}

namespace {

// A first search call: request_num, not returning, page size, cache size, text, start row, no
// record types, no display fields, no parent.
Body first_search(std::string const &handle, int request_num, int page_size, int start_row, std::string const &text) {
    return session(handle)
        .i(request_num)
        .i(0)
        .i(page_size)
        .i(0)
        .s(text)
        .i(start_row)
        .i(0)
        .i(1)
        .i(35)
        .i(1)
        .s("Defect")
        .s("Headline")
        .named(31, "")
        .s("")
        .i(35)
        .i(1)
        .s("")
        .s("");
}

struct SearchReply {
    int total = -1;
    std::vector<std::string> hits;
    std::string handle;
    int error_reason = 0;
    std::string error;
};

SearchReply read_search(Reply r) {
    SearchReply out;
    if (r.u() != 0) {
        std::tie(out.error_reason, out.error) = r.error();
        return out;
    }
    while (r.u() == 1) {
        int kind = r.i();
        if (kind == 0) {
            out.total = r.i();
            r.s();
        } else if (kind == 1) {
            r.s();
            for (int n = r.i(); n > 0; --n) r.s();
        } else if (kind == 2) {
            r.s();
            out.hits.push_back(r.s());
            EXPECT_EQ(r.i(), 2); // a record target by dbids: record type dbid, record dbid
            r.u();
            r.u();
            EXPECT_GT(r.i(), 0);     // score
            EXPECT_EQ(r.i(), r.i()); // indexed and current version
            for (int n = r.i(); n > 0; --n) r.s();
        } else if (kind == 3) {
            out.handle = r.handle();
            break;
        } else {
            out.error = r.error().second;
        }
    }
    EXPECT_TRUE(r.done());
    return out;
}

Body more(std::string const &session_handle, std::string const &search_handle, int request_num) {
    return session(session_handle).i(request_num).i(1).u(16).raw(search_handle);
}

} // namespace

TEST_F(WorkspaceE2E, SearchPagingMatrixAndTheHandlesEnd) {
    SearchReply all = read_search(search(*client_, first_search(alice_, 1000, 100, 1, "the OR crash")));
    ASSERT_GT(all.total, 4);
    ASSERT_EQ(static_cast<int>(all.hits.size()), all.total);
    EXPECT_EQ(all.handle, std::string(4, '\0')); // finished: the null handle

    // start_row and page size pick the page and the place in it; request_num cuts the reply.
    struct Case {
        int start_row, page_size, request_num;
    } cases[] = {{1, 10, 3}, {2, 2, 5}, {4, 3, 1}, {5, 2, 2}};
    for (Case const &c : cases) {
        SearchReply first = read_search(
            search(*client_, first_search(alice_, c.request_num, c.page_size, c.start_row, "the OR crash")));
        int page_start = (c.start_row - 1) / c.page_size * c.page_size, in_page = (c.start_row - 1) % c.page_size;
        int left = std::min(c.page_size, all.total - page_start) - in_page;
        int now = std::min(left, c.request_num);
        ASSERT_EQ(static_cast<int>(first.hits.size()), now) << c.start_row << "/" << c.page_size;
        for (int k = 0; k < now; ++k) EXPECT_EQ(first.hits[k], all.hits[page_start + in_page + k]);
        // A reply cut by request_num keeps its handle unless it reached the last hit of all.
        if (now < c.request_num || in_page + now >= all.total) {
            EXPECT_EQ(first.handle, std::string(4, '\0'));
            continue;
        }
        ASSERT_EQ(first.handle.size(), 16u);
        SearchReply rest = read_search(search(*client_, more(alice_, first.handle, 100)));
        EXPECT_EQ(rest.total, -1); // no second header
        EXPECT_EQ(static_cast<int>(rest.hits.size()), left - now);
        EXPECT_EQ(rest.handle, std::string(4, '\0'));
        // The search ended with that reply: its handle names nothing now.
        SearchReply gone = read_search(search(*client_, more(alice_, first.handle, 1)));
        EXPECT_EQ(gone.error_reason, 40);
    }
    // A page size of 0 keeps the product's default page of 100 hits: every hit on one page.
    SearchReply defaulted = read_search(search(*client_, first_search(alice_, 1000, 0, 1, "the OR crash")));
    EXPECT_EQ(defaulted.error_reason, 0);
    EXPECT_EQ(defaulted.hits, all.hits);
    EXPECT_EQ(defaulted.handle, std::string(4, '\0'));
    for (auto [start_row, page_size] : {std::pair{0, 10}, {-3, 10}, {1, -1}, {1, -100}})
        EXPECT_EQ(read_search(search(*client_, first_search(alice_, 5, page_size, start_row, "crash"))).error_reason,
                  4);
    EXPECT_EQ(read_search(search(*client_, first_search(alice_, 5, 10, 1, "\"unterminated"))).error_reason, 4);
    // Texts past their bounds (4 KiB, 64 terms) are refused before the index parses them, so a
    // text that would cost the index quadratic time answers at once.
    // 33 words and the 32 ORs between them are 65 terms; one word and one OR fewer are 63.
    std::string terms;
    for (int i = 0; i < 33; ++i) terms += i == 0 ? "crash" : " OR crash";
    std::string huge;
    while (huge.size() < 256 * 1024) huge += "a* OR ";
    for (std::string const &text : {terms, huge, std::string(4097, 'a')}) {
        auto const t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(read_search(search(*client_, first_search(alice_, 5, 10, 1, text))).error_reason, 4);
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
    }
    EXPECT_EQ(read_search(search(*client_, first_search(alice_, 5, 10, 1, terms.substr(9)))).error_reason, 0);
}

// A reply that stops at request_num keeps the search, even at the end of its page: the search ends
// with the reply that looks for a hit past the page.
TEST_F(WorkspaceE2E, ASearchCutByRequestNumKeepsItsHandleToThePagesEnd) {
    std::string const text = "alice OR bob OR carol";
    SearchReply all = read_search(search(*client_, first_search(alice_, 100, 100, 1, text)));
    ASSERT_EQ(all.total, 28);
    ASSERT_EQ(all.hits.size(), 28u);
    std::string const none(4, '\0');
    struct Case {
        int start_row;
        std::vector<int> request_nums; // the first call's, then the returning calls'
        std::vector<int> hits;         // per reply
        std::vector<bool> kept;        // per reply: its handle continues the search
    } const cases[] = {
        {1, {10, 100}, {10, 0}, {true, false}}, {1, {3, 7, 100}, {3, 7, 0}, {true, true, false}},
        {21, {8, 100}, {8, 0}, {true, false}},  {1, {9, 100}, {9, 1}, {true, false}},
        {1, {0, 100}, {0, 10}, {true, false}},  {11, {4, 4, 4}, {4, 4, 2}, {true, true, false}},
    };
    for (Case const &c : cases) {
        std::string handle;
        int offset = c.start_row - 1;
        for (std::size_t k = 0; k < c.request_nums.size(); ++k) {
            SearchReply r =
                read_search(search(*client_, k == 0 ? first_search(alice_, c.request_nums[0], 10, c.start_row, text)
                                                    : more(alice_, handle, c.request_nums[k])));
            std::string const where = std::to_string(c.start_row) + " reply " + std::to_string(k);
            ASSERT_EQ(r.error_reason, 0) << where;
            EXPECT_EQ(r.total, k == 0 ? 28 : -1) << where;
            ASSERT_EQ(static_cast<int>(r.hits.size()), c.hits[k]) << where;
            for (int h = 0; h < c.hits[k]; ++h) EXPECT_EQ(r.hits[h], all.hits[offset + h]) << where;
            offset += c.hits[k];
            if (!c.kept[k]) {
                EXPECT_EQ(r.handle, none) << where;
                break;
            }
            ASSERT_EQ(r.handle.size(), 16u) << where;
            if (k > 0) {
                EXPECT_EQ(r.handle, handle) << where;
            }
            handle = r.handle;
        }
    }
}

TEST_F(WorkspaceE2E, ParentSearchesHandOutNoHandleAndCheckTheParent) {
    Reply rec = call(*client_, 23, session(alice_).i(0).s("ISSUE00000001").i(837).i(0));
    ASSERT_EQ(rec.u(), 0u);
    ASSERT_EQ(rec.u(), 1u);
    rec.i();
    rec.i();
    int dbid = rec.i();
    auto parent_search = [&](std::string const &parent_dbid) {
        return session(alice_)
            .i(1)
            .i(0)
            .i(10)
            .i(0)
            .s("line")
            .i(1)
            .i(0)
            .i(0)
            .named(31, "Defect")
            .s(parent_dbid)
            .i(35)
            .i(1)
            .s("Defect")
            .s("Project");
    };
    SearchReply one = read_search(search(*client_, parent_search(std::to_string(dbid))));
    EXPECT_EQ(one.total, 3);
    EXPECT_EQ(one.hits.size(), 1u);
    EXPECT_EQ(one.handle, std::string(4, '\0')); // hits remain, but the state is gone
    EXPECT_EQ(read_search(search(*client_, parent_search("12abc"))).error_reason, 4);
    EXPECT_EQ(read_search(search(*client_, parent_search("99"))).error_reason, 53);
}

TEST_F(WorkspaceE2E, TwoConnectionsShareOneSearchHandle) {
    SearchReply first = read_search(search(*client_, first_search(alice_, 1, 100, 1, "the OR crash")));
    ASSERT_EQ(first.handle.size(), 16u);
    int left = first.total - 1;
    std::vector<SearchReply> replies(2);
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t)
        threads.emplace_back([&, t] {
            Client other(server_->port());
            for (int k = 0; k < 50 && other.ok(); ++k) {
                SearchReply r = read_search(search(other, more(alice_, first.handle, 1)));
                if (r.error_reason) break;
                replies[t].hits.insert(replies[t].hits.end(), r.hits.begin(), r.hits.end());
                if (r.handle != first.handle) break;
            }
        });
    for (auto &t : threads) t.join();
    // Every remaining hit went to exactly one of the two connections.
    EXPECT_EQ(static_cast<int>(replies[0].hits.size() + replies[1].hits.size()), left);
}

namespace {

// A server whose sessions may hold only a few KiB in memory.
class SmallMemoryE2E : public WorkspaceE2E {
protected:
    std::vector<std::string> environment() const override { return {"KX_SESSION_MEMORY_BYTES=4096"}; }
};

} // namespace

TEST_F(SmallMemoryE2E, ASearchPagePastTheSessionsMemoryBoundEndsTheSearch) {
    // All hits of one reply: nothing is kept, nothing charged.
    SearchReply const whole = read_search(search(*client_, first_search(alice_, 1000, 100, 1, "the OR crash")));
    EXPECT_EQ(whole.error_reason, 0) << whole.error;
    EXPECT_GT(whole.hits.size(), 1u);
    EXPECT_NE(whole.handle.size(), 16u); // the null handle: the search is over
    // One hit a reply keeps the page of hits for the next call: more than 4 KiB, so refused.
    SearchReply const kept = read_search(search(*client_, first_search(alice_, 1, 100, 1, "the OR crash")));
    EXPECT_EQ(kept.error_reason, 40);
    EXPECT_EQ(kept.error, "TLQSV1109E Too many bytes held in memory by this session's items "
                          "(KX_SESSION_MEMORY_BYTES, 4096); release some and try again.");
    EXPECT_TRUE(kept.handle.empty());
}
