#include "wire/xdr.h"

#include <limits>
#include <string>
#include <type_traits>
#include <vector>

#include <gtest/gtest.h>

#include "wire/xdrobject.h"
#include "xdr_buffer.h"

using namespace KxRpc;
using kxtest::Bytes;
using kxtest::decode;
using kxtest::encode;
using kxtest::words;

namespace {

Bytes tirpc_string(std::string const &s) {
    return encode(
        [&](XDR *x) {
            char *p = const_cast<char *>(s.c_str());
            return xdr_string(x, &p, ~0u);
        },
        nullptr, s.size() + 64);
}

Bytes ours(Nul::UString s) {
    bool ok = false;
    Bytes b = encode([&](XDR *x) { return xdr_ustring(x, s); }, &ok);
    EXPECT_TRUE(ok);
    return b;
}

} // namespace

TEST(XdrFlag, EncodesOneAndZero) {
    bool t = true, f = false;
    EXPECT_EQ(encode([&](XDR *x) { return xdr_flag(x, t); }), words({1}));
    EXPECT_EQ(encode([&](XDR *x) { return xdr_flag(x, f); }), words({0}));
}

TEST(XdrFlag, DecodesOnlyOneAsTrue) {
    for (std::uint32_t v : {0u, 1u, 2u, 0xFFFFFFFFu}) {
        bool b = v != 1;
        ASSERT_TRUE(decode(words({v}), [&](XDR *x) { return xdr_flag(x, b); }));
        EXPECT_EQ(b, v == 1) << v;
    }
}

TEST(XdrFlag, LibtirpcReadsWhatWeWrite) {
    bool t = true;
    Bytes b = encode([&](XDR *x) { return xdr_flag(x, t); });
    bool_t got = FALSE;
    ASSERT_TRUE(decode(b, [&](XDR *x) { return xdr_bool(x, &got); }));
    EXPECT_EQ(got, TRUE);
}

TEST(XdrFlag, ShortInputFails) {
    bool b = false;
    EXPECT_FALSE(decode(Bytes{0, 0}, [&](XDR *x) { return xdr_flag(x, b); }));
}

TEST(XdrInt64, HighWordThenLowWord) {
    std::int64_t v = (std::int64_t(1) << 32) + 2;
    EXPECT_EQ(encode([&](XDR *x) { return xdr_int64(x, v); }), words({1, 2}));
    std::int64_t m = -1;
    EXPECT_EQ(encode([&](XDR *x) { return xdr_int64(x, m); }), words({0xFFFFFFFF, 0xFFFFFFFF}));
}

TEST(XdrInt64, AgreesWithLibtirpcHyper) {
    for (std::int64_t v : {std::int64_t(0), std::int64_t(-2), std::numeric_limits<std::int64_t>::min(),
                           std::numeric_limits<std::int64_t>::max(), std::int64_t(0x123456789abcdefLL)}) {
        Bytes mine = encode([&](XDR *x) { return xdr_int64(x, v); });
        quad_t q = v;
        Bytes theirs = encode([&](XDR *x) { return xdr_hyper(x, &q); });
        EXPECT_EQ(mine, theirs);
        std::int64_t back = 0;
        ASSERT_TRUE(decode(theirs, [&](XDR *x) { return xdr_int64(x, back); }));
        EXPECT_EQ(back, v);
    }
}

TEST(XdrUstring, ByteExactAgainstLibtirpc) {
    for (std::string s : {"", "a", "abcd", "abcde", "\xc3\xa9t\xc3\xa9", "\xf0\x9f\x98\x80 smile"}) {
        Nul::UString u(Nul::Utf8String{s});
        EXPECT_EQ(ours(u), tirpc_string(s)) << s;
    }
}

TEST(XdrUtf8, WritesWhatXdrUstringWritesAndNeverDecodes) {
    for (std::string s : {"", "a", "abcde", "\xc3\xa9t\xc3\xa9", "\xf0\x9f\x98\x80 smile"}) {
        Nul::UString u(Nul::Utf8String{s});
        EXPECT_EQ(encode([&](XDR *x) { return xdr_utf8(x, s); }), ours(u)) << s;
    }
    std::string target;
    EXPECT_FALSE(decode(words({1, 0x61000000}), [&](XDR *x) { return xdr_utf8(x, target); }));
}

TEST(XdrUstring, LengthAndPadding) {
    Bytes five = ours(Nul::UString(L"abcde"));
    ASSERT_EQ(five.size(), 12u);
    EXPECT_EQ(kxtest::word_at(five, 0), 5u);
    EXPECT_EQ(five[9], 0);
    EXPECT_EQ(five[10], 0);
    EXPECT_EQ(five[11], 0);
    EXPECT_EQ(ours(Nul::UString()), words({0}));
}

TEST(XdrUstring, NonBmpIsFourUtf8Bytes) {
    Nul::UString smile(L"\U0001F600");
    Bytes b = ours(smile);
    Bytes expected = words({4});
    kxtest::put_bytes(expected, "\xf0\x9f\x98\x80");
    EXPECT_EQ(b, expected);
    Nul::UString back;
    ASSERT_TRUE(decode(b, [&](XDR *x) { return xdr_ustring(x, back); }));
    EXPECT_EQ(back, smile);
    EXPECT_EQ(back.length(), 2u); // a surrogate pair in UTF-16
}

TEST(XdrUstring, DecodesLibtirpcStrings) {
    for (std::string s : {"", "x", "wxyz", "vwxyz", "gr\xc3\xbc\xc3\x9f"}) {
        Nul::UString got(L"unchanged");
        std::size_t consumed = 0;
        Bytes b = tirpc_string(s);
        ASSERT_TRUE(decode(
            b, [&](XDR *x) { return xdr_ustring(x, got); }, &consumed));
        EXPECT_EQ(got.utf8_str(), s);
        EXPECT_EQ(consumed, b.size());
    }
}

TEST(XdrUstring, StackAndHeapLengthsGiveTheSameText) {
    for (std::size_t n : {std::size_t(1023), std::size_t(1024), std::size_t(1025), std::size_t(200000)}) {
        std::string s;
        for (std::size_t i = 0; i < n; ++i) s.push_back(static_cast<char>('a' + i % 26));
        Nul::UString got;
        ASSERT_TRUE(decode(
            tirpc_string(s), [&](XDR *x) { return xdr_ustring(x, got, max_wire_text); }, nullptr));
        EXPECT_EQ(got.utf8_str(), s) << n;
    }
}

TEST(XdrUstring, HostileLengthsFailWithoutTouchingTheTarget) {
    for (std::uint32_t n : {0xFFFFFFFFu, 0x7FFFFFFFu, (64u << 20) + 1, 1u << 20, 2000u, 9u}) {
        Bytes b = words({n});
        kxtest::put_bytes(b, "abcdefgh");
        Nul::UString target(L"keep");
        EXPECT_FALSE(decode(b, [&](XDR *x) { return xdr_ustring(x, target); })) << n;
        EXPECT_EQ(target, Nul::UString(L"keep"));
    }
}

// A counted string holding a NUL is another string than its prefix: refused wherever the NUL is.
TEST(XdrUstring, EmbeddedNulIsRefused) {
    for (std::string s : {std::string("alice\0garbage", 13), std::string("\0", 1), std::string("KXDEMO\0/ISSUE", 13),
                          std::string(2000, 'a') + std::string(1, '\0')}) {
        Bytes b = words({static_cast<std::uint32_t>(s.size())});
        kxtest::put_bytes(b, s);
        Nul::UString target(L"keep");
        EXPECT_FALSE(decode(b, [&](XDR *x) { return xdr_ustring(x, target, max_wire_text); })) << s.size();
        EXPECT_EQ(target, Nul::UString(L"keep"));
    }
}

// Each kind's bound holds exactly; a longer string is refused from its length word alone.
TEST(XdrUstring, KindBoundsRefuseBeforeReadingTheBytes) {
    for (u_int bound : {max_wire_name, max_wire_text}) {
        Nul::UString got;
        ASSERT_TRUE(decode(tirpc_string(std::string(bound, 'n')), [&](XDR *x) { return xdr_ustring(x, got, bound); }));
        EXPECT_EQ(got.utf8_str().size(), bound);
        Bytes over = tirpc_string(std::string(bound + 1, 'n'));
        XDR x;
        xdrmem_create(&x, reinterpret_cast<char *>(over.data()), static_cast<u_int>(over.size()), XDR_DECODE);
        EXPECT_FALSE(xdr_ustring(&x, got, bound)) << bound;
        EXPECT_EQ(4u, xdr_getpos(&x)) << "only the length word is read";
        xdr_destroy(&x);
    }
    Nul::UString got;
    EXPECT_FALSE(decode(tirpc_string(std::string(max_wire_name + 1, 'n')), [&](XDR *x) { return xdr_ustring(x, got); }))
        << "names are the default kind";
}

TEST(XdrUstring, FreeSucceedsWithoutTouching) {
    Nul::UString s(L"x");
    XDR x;
    x.x_op = XDR_FREE;
    EXPECT_TRUE(xdr_ustring(&x, s));
    EXPECT_EQ(s, Nul::UString(L"x"));
}

TEST(XdrListCount, RefusesNegativeAndHugeCounts) {
    int count = 0;
    EXPECT_FALSE(decode(words({0xFFFFFFFFu}), [&](XDR *x) { return xdr_list_count(x, count); }));
    EXPECT_FALSE(decode(words({0x7FFFFFFFu}), [&](XDR *x) { return xdr_list_count(x, count); }));
    EXPECT_TRUE(decode(words({3}), [&](XDR *x) { return xdr_list_count(x, count); }));
    EXPECT_EQ(count, 3);
    EXPECT_LE(list_reserve(0x7FFFFFFF), 256u);
}

TEST(XdrVoidTest, ReadsAndWritesNothing) {
    XdrVoid v;
    bool ok = false;
    EXPECT_TRUE(encode([&](XDR *x) { return v.xdr(x); }, &ok).empty());
    EXPECT_TRUE(ok);
    std::size_t used = 1;
    EXPECT_TRUE(decode(
        words({0}), [&](XDR *x) { return v.xdr(x); }, &used));
    EXPECT_EQ(used, 0u);
}

namespace {

// The writes a stream receives: a memory stream whose word and byte writes are counted.
struct CountedStream {
    using Ops = std::remove_const_t<std::remove_pointer_t<decltype(XDR::x_ops)>>;
    static inline int writes = 0;
    static inline Ops const *mem_ops = nullptr;
    static bool_t put_long(XDR *x, long const *lp) {
        ++writes;
        return mem_ops->x_putlong(x, lp);
    }
    static bool_t put_bytes(XDR *x, char const *p, u_int n) {
        ++writes;
        return mem_ops->x_putbytes(x, p, n);
    }
    Bytes buf;
    XDR x{};
    Ops ops{};
    explicit CountedStream(std::size_t capacity) : buf(capacity) {
        xdrmem_create(&x, reinterpret_cast<char *>(buf.data()), static_cast<u_int>(buf.size()), XDR_ENCODE);
        mem_ops = x.x_ops;
        ops = *x.x_ops;
        ops.x_putlong = put_long;
        ops.x_putbytes = put_bytes;
        x.x_ops = &ops;
        writes = 0;
    }
    ~CountedStream() { xdr_destroy(&x); }
    Bytes written() { return Bytes(buf.begin(), buf.begin() + xdr_getpos(&x)); }
};

} // namespace

// Items go out a block at a time with the bytes of encoding each straight to the stream: across
// block ends, at exactly a block, and for an item larger than a block, which goes straight.
TEST(XdrBlockWriter, WritesTheSameBytesInFewWrites) {
    struct Case {
        char const *what;
        std::vector<std::size_t> sizes;
        int most_writes;
    } const cases[] = {
        {"none", {}, 0},
        {"small items over several blocks", std::vector<std::size_t>(6000, 37), 6},
        {"exactly one block", {65536 - 4}, 1},
        {"one word past a block", {65536 - 4, 0}, 2},
        {"a large item between small ones", {5, 100000, 7, 3}, 5},
    };
    for (Case const &c : cases) {
        std::vector<std::string> items;
        for (std::size_t k = 0; k < c.sizes.size(); ++k)
            items.emplace_back(c.sizes[k], static_cast<char>('a' + k % 26));
        Bytes direct = encode(
            [&](XDR *x) {
                for (auto const &s : items)
                    if (!xdr_utf8(x, s)) return FALSE;
                return TRUE;
            },
            nullptr, 1 << 20);
        CountedStream out(1 << 20);
        {
            XdrBlockWriter w(&out.x);
            for (auto const &s : items) ASSERT_TRUE(w.add([&s](XDR *x) { return xdr_utf8(x, s); })) << c.what;
            ASSERT_TRUE(w.finish()) << c.what;
        }
        EXPECT_EQ(out.written(), direct) << c.what;
        EXPECT_LE(CountedStream::writes, c.most_writes) << c.what;
    }
}

// A stream that takes no more fails the items, not only the last write.
TEST(XdrBlockWriter, AFullStreamFails) {
    std::string const item(40000, 'x');
    CountedStream out(50000);
    XdrBlockWriter w(&out.x);
    EXPECT_TRUE(w.add([&](XDR *x) { return xdr_utf8(x, item); }));
    EXPECT_TRUE(w.add([&](XDR *x) { return xdr_utf8(x, item); }));  // the first item's block goes out
    EXPECT_FALSE(w.add([&](XDR *x) { return xdr_utf8(x, item); })); // the second's cannot
    CountedStream small(8);
    XdrBlockWriter v(&small.x);
    EXPECT_TRUE(v.add([&](XDR *x) { return xdr_utf8(x, item); }));
    EXPECT_FALSE(v.finish());
}
