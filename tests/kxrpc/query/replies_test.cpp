// Replies that carry plain values: their bytes, read back with libtirpc's decoders.
#include "change/admin.h"
#include "change/requests.h"
#include "query/replies.h"
#include "target/workspace.h"
#include "wire/conversions.h"

#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "xdr_buffer.h"

using namespace KxRpc;
using kxtest::Bytes;

namespace {

Bytes encode(XdrObject &response, bool expect_ok = true) {
    bool ok = false;
    Bytes b = kxtest::encode([&](XDR *x) { return response.xdr(x); }, &ok);
    EXPECT_EQ(ok, expect_ok);
    return b;
}

// Reads `n` strings back with libtirpc.
std::vector<std::string> read_strings(Bytes const &b, std::size_t n, std::size_t offset = 0) {
    std::vector<std::string> out;
    Bytes rest(b.begin() + static_cast<long>(offset), b.end());
    EXPECT_TRUE(kxtest::decode(rest, [&](XDR *x) {
        for (std::size_t i = 0; i < n; ++i) {
            char *s = nullptr;
            if (!xdr_string(x, &s, ~0u)) return FALSE;
            out.emplace_back(s);
            xdr_free(reinterpret_cast<xdrproc_t>(xdr_wrapstring), reinterpret_cast<char *>(&s));
        }
        return TRUE;
    }));
    return out;
}

Nul::UString u(char const *s) { return Nul::UString(Nul::Utf8String(s)); }

} // namespace

TEST(Responses, SingleStrings) {
    FireScriptAliasResp alias(u("done"));
    EXPECT_EQ(read_strings(encode(alias), 1), std::vector<std::string>{"done"});
    GetUserDbDescriptionResp none(u(""));
    EXPECT_EQ(encode(none), kxtest::words({0}));
    MasterPropertyResp master(3, u("site-a"));
    Bytes m = encode(master);
    EXPECT_EQ(m.size(), 12u);
    EXPECT_EQ(read_strings(m, 1), std::vector<std::string>{"site-a"});
}

TEST(Responses, StringLists) {
    GetOplogEntriesResp log({u("one"), u("zwei \xc3\xa9")});
    Bytes b = encode(log);
    EXPECT_EQ(kxtest::word_at(b, 0), 2u);
    EXPECT_EQ(read_strings(b, 2, 4), (std::vector<std::string>{"one", "zwei \xc3\xa9"}));
    UpgradeDatabasesResp empty{std::vector<Nul::UString>()};
    EXPECT_EQ(encode(empty), kxtest::words({0}));
    // Lines handed over as UTF-8 go out as the same bytes.
    GetOplogEntriesResp utf8(std::vector<std::string>{"one", "zwei \xc3\xa9"});
    EXPECT_EQ(encode(utf8), b);
}

TEST(Responses, AccessibleDatabasesInPairs) {
    GetAccessibleDatabasesResp dbs({u("ISSUE"), u("TEST")}, {u("Issues"), u("Scratch")});
    Bytes b = encode(dbs);
    EXPECT_EQ(kxtest::word_at(b, 0), 2u);
    EXPECT_EQ(read_strings(b, 4, 4), (std::vector<std::string>{"ISSUE", "Issues", "TEST", "Scratch"}));
    GetAccessibleDatabasesResp uneven({u("ISSUE")}, {});
    EXPECT_TRUE(encode(uneven, false).empty());
}

TEST(Responses, RenameIsOneBoolean) {
    RenameWorkspaceItemResp yes(7), no(0);
    EXPECT_EQ(encode(yes), kxtest::words({1}));
    EXPECT_EQ(encode(no), kxtest::words({0}));
    EXPECT_FALSE(kxtest::decode(kxtest::words({1}), [&](XDR *x) { return yes.xdr(x); }));
}

TEST(SharedHelpers, WorkspaceLockIsOneLock) {
    EXPECT_EQ(&workspace_lock(), &workspace_lock());
    int counter = 0;
    auto work = [&] {
        for (int i = 0; i < 10000; ++i) {
            Nul::CriticalSection guard(workspace_lock());
            ++counter;
        }
    };
    std::thread a(work), b(work);
    a.join();
    b.join();
    EXPECT_EQ(counter, 20000);
}
