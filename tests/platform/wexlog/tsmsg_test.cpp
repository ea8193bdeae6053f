#include "wexlog/logmanager.h"
#include "wexlog/tsmsg.h"

#include <gtest/gtest.h>

#include <vector>

using Log::cxPrintfArgVal;
using Log::TsMsg;

namespace {
char const *const cat[] = {"demo 2", "TLQSV0001E first %s", "TLQSV0002I second"};

std::string fmt(char const *f, std::vector<cxPrintfArgVal> const &v) {
    auto r = TsMsg::format(f, v.data(), v.size());
    return r ? *r : std::string("<null>");
}
} // namespace

TEST(TsMsgCatalogue, EntriesWithinTheDeclaredCount) {
    EXPECT_STREQ(TsMsg::format(cat, 1, nullptr), "TLQSV0001E first %s");
    EXPECT_STREQ(TsMsg::format(cat, 2, "fr_FR"), "TLQSV0002I second");
    EXPECT_EQ(TsMsg::format(cat, 0, nullptr), nullptr);
    EXPECT_EQ(TsMsg::format(cat, 3, nullptr), nullptr); // past the count: never read
    EXPECT_EQ(TsMsg::format(cat, -1, nullptr), nullptr);
    EXPECT_EQ(TsMsg::format(nullptr, 1, nullptr), nullptr);
    char const *const bad[] = {"nocount", "x"};
    EXPECT_EQ(TsMsg::format(bad, 1, nullptr), nullptr);
}

TEST(TsMsgFormat, EachKindUnderItsOwnDirective) {
    EXPECT_EQ(fmt("%d|%u|%x|%c|%s|%5.2f|%%",
                  {cxPrintfArgVal::of_int32(-1), cxPrintfArgVal::of_int32(-1), cxPrintfArgVal::of_int32(255),
                   cxPrintfArgVal::of_char('Z'), cxPrintfArgVal::of_text("txt"), cxPrintfArgVal::of_double(3.14159)}),
              "-1|4294967295|ff|Z|txt| 3.14|%");
    EXPECT_EQ(fmt("%lld %I64d %ld", {cxPrintfArgVal::of_int64(-9000000000LL), cxPrintfArgVal::of_int64(1LL << 40),
                                     cxPrintfArgVal::of_int32(7)}),
              "-9000000000 1099511627776 7");
}

TEST(TsMsgFormat, MismatchedKindsRenderByTheirOwnKind) {
    // A number under %s prints as a number; a string under %d prints as the string.
    EXPECT_EQ(fmt("[%s] [%d] [%s] [%x]", {cxPrintfArgVal::of_int32(42), cxPrintfArgVal::of_text("abc"),
                                          cxPrintfArgVal::of_double(1.5), cxPrintfArgVal::of_text("q")}),
              "[42] [abc] [1.5] [q]");
    EXPECT_EQ(fmt("%s", {cxPrintfArgVal::of_char('c')}), "c");
    EXPECT_EQ(fmt("%n%s", {cxPrintfArgVal::of_int32(1), cxPrintfArgVal::of_text("after")}), "after");
}

TEST(TsMsgFormat, MissingArgumentsAreEmptyText) {
    EXPECT_EQ(fmt("a=%s b=%d c=%s.", {cxPrintfArgVal::of_text("1")}), "a=1 b= c=.");
    EXPECT_EQ(fmt("none %s", {}), "none ");
    EXPECT_EQ(fmt("%s", {cxPrintfArgVal()}), "");
    EXPECT_FALSE(TsMsg::format(nullptr, nullptr, 0).has_value());
}

TEST(TsMsgFormat, WidthPrecisionAndStar) {
    EXPECT_EQ(fmt("%-*s|", {cxPrintfArgVal::of_int32(6), cxPrintfArgVal::of_text("ab")}), "ab    |");
    EXPECT_EQ(fmt("%5s|%-5d|", {cxPrintfArgVal::of_text("ab"), cxPrintfArgVal::of_int32(3)}), "   ab|3    |");
    EXPECT_EQ(fmt("%.2s", {cxPrintfArgVal::of_text("abcdef")}), "ab");
    // Precision never splits a UTF-8 character.
    EXPECT_EQ(fmt("%.2s", {cxPrintfArgVal::of_text("a\xc3\xa9")}), "a");
    EXPECT_EQ(fmt("%08.3f", {cxPrintfArgVal::of_double(-1.5)}), "-001.500");
    EXPECT_EQ(fmt("%q", {}), "%q"); // not a directive: kept as text
    EXPECT_EQ(fmt("end%", {}), "end%");
}

TEST(LogManager, GroupsWriteLeveledLinesToTheSink) {
    std::vector<std::string> lines;
    Log::TsLogManager::set_sink_for_testing([&](std::string const &l) { lines.push_back(l); });
    Log::LogManager *m = Log::TsLogManager::initialize("prog", ".", "", 1, "");
    ASSERT_NE(m, nullptr);
    Log::LoggerGroup *g = m->group("Nul");
    EXPECT_EQ(g, m->group("Nul"));
    g->error("bad", 0);
    g->warning("careful", 12);
    g->info("dropped above level 1", 0);
    Log::TsLogManager::set_sink_for_testing(nullptr);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "ERROR [Nul] bad");
    EXPECT_EQ(lines[1], "WARNING [Nul] careful (12)");
}
