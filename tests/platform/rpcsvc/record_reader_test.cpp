// Reassembly of call records from arbitrary cuts of the byte stream.
#include "../../../platform/rpcsvc/src/record_reader.h"

#include <gtest/gtest.h>

#include <string>

using ksrpc::RecordReader;
using Status = RecordReader::Status;

namespace {

std::string header(std::uint32_t len, bool last)
{
    std::uint32_t w = len | (last ? 0x80000000u : 0u);
    return {char(w >> 24), char(w >> 16), char(w >> 8), char(w)};
}

}  // namespace

TEST(RecordReader, OneByteAtATimeAcrossFragmentsAndRecords)
{
    std::string stream = header(3, false) + "abc" + header(0, false) + header(2, true) + "de" +
                         header(1, true) + "f";
    RecordReader r(100);
    std::vector<std::string> got;
    for (char ch : stream) {
        std::size_t used = 0;
        Status st = r.feed(&ch, 1, used);
        EXPECT_EQ(used, 1u);
        if (st == Status::Ready) {
            got.emplace_back(r.data(), r.size());
            r.next();
        } else {
            EXPECT_EQ(st, Status::NeedMore);
        }
    }
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0], "abcde");
    EXPECT_EQ(got[1], "f");
}

TEST(RecordReader, StopsAtTheEndOfARecord)
{
    std::string stream = header(2, true) + "xy" + header(1, true) + "z";
    RecordReader r(100);
    std::size_t used = 0;
    ASSERT_EQ(r.feed(stream.data(), stream.size(), used), Status::Ready);
    EXPECT_EQ(used, 6u);  // the second record is left for later
    EXPECT_EQ(std::string(r.data(), r.size()), "xy");
    // Until next(), nothing more is taken.
    std::size_t again = 99;
    EXPECT_EQ(r.feed(stream.data() + used, stream.size() - used, again), Status::Ready);
    EXPECT_EQ(again, 0u);
    r.next();
    ASSERT_EQ(r.feed(stream.data() + used, stream.size() - used, again), Status::Ready);
    EXPECT_EQ(std::string(r.data(), r.size()), "z");
}

TEST(RecordReader, BoundIsInclusiveAndCheckedBeforeBuffering)
{
    {
        RecordReader r(8);
        std::string s = header(5, false) + "12345" + header(3, true) + "678";
        std::size_t used = 0;
        EXPECT_EQ(r.feed(s.data(), s.size(), used), Status::Ready);
        EXPECT_EQ(r.size(), 8u);
    }
    {
        RecordReader r(8);
        std::string s = header(5, false) + "12345" + header(4, true);
        std::size_t used = 0;
        EXPECT_EQ(r.feed(s.data(), s.size(), used), Status::TooLarge);
        EXPECT_EQ(r.pending(), 5u);  // nothing of the refused fragment was taken
        EXPECT_EQ(r.feed(s.data(), 1, used), Status::TooLarge);  // stays refused
    }
    {
        RecordReader r(8);
        std::string s = header(0x7fffffffu, true);
        std::size_t used = 0;
        EXPECT_EQ(r.feed(s.data(), s.size(), used), Status::TooLarge);
        EXPECT_EQ(r.pending(), 0u);
    }
}

TEST(RecordReader, EmptyRecordAndLargeBufferReleased)
{
    RecordReader r(4 << 20);
    std::string s = header(0, true);
    std::size_t used = 0;
    ASSERT_EQ(r.feed(s.data(), s.size(), used), Status::Ready);
    EXPECT_EQ(r.size(), 0u);
    r.next();
    std::string big = header(2 << 20, true) + std::string(2 << 20, 'q');
    ASSERT_EQ(r.feed(big.data(), big.size(), used), Status::Ready);
    EXPECT_EQ(r.size(), std::size_t(2 << 20));
    r.next();
    EXPECT_EQ(r.pending(), 0u);
    std::string small = header(1, true) + "k";
    ASSERT_EQ(r.feed(small.data(), small.size(), used), Status::Ready);
    EXPECT_EQ(std::string(r.data(), r.size()), "k");
}
