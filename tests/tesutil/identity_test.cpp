#include "tesutil/identity.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tesutil/stpexception.h"

using Nul::Credentials;
using Nul::Identity;
using Nul::UString;

namespace {

using Bytes = std::vector<std::uint8_t>;

Identity make(std::initializer_list<std::uint8_t> bits, std::uint8_t type) {
    Bytes b(bits);
    return Identity(static_cast<std::int16_t>(b.size()), static_cast<Identity::type_t>(type), b.data());
}

UString us(std::string const &s) { return UString(Nul::Utf8String(s)); }

// Raises with a message of the utility catalogue whose text is checked too.
template <class F>
void expect_message(F f, int index, std::string const &text) {
    try {
        f();
        ADD_FAILURE() << "no exception for message " << index;
    } catch (Nul::STPException const &e) {
        EXPECT_EQ(e.message().index(), index);
        EXPECT_EQ(e.stp_reason_code(), 39);
        if (!text.empty()) {
            EXPECT_EQ(std::string(e.msg().utf8_str()), text);
        }
    }
}

class CredentialsFile : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/kxcreds_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        path_ = dir_ + "/creds";
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    Bytes read_file() const {
        std::ifstream f(path_, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(f), {});
    }
    void write_file(Bytes const &b) const {
        std::ofstream f(path_, std::ios::binary);
        f.write(reinterpret_cast<char const *>(b.data()), static_cast<std::streamsize>(b.size()));
    }
    std::string dir_, path_;
};

} // namespace

TEST(Identities, TextForm) {
    Identity id = make({0x0A, 0xFF}, 1);
    EXPECT_EQ(id.str(), UString(L"2:010aff"));
    EXPECT_EQ(id.length(), 2);
    EXPECT_EQ(id.type(), 1);
    EXPECT_EQ(id.bits()[1], 0xFF);
    EXPECT_EQ(id.identity()[0], 1);
    Identity back = Identity::from_str(UString(L"2:010aff"));
    EXPECT_EQ(back, id);
    EXPECT_FALSE(back.is_nobody());

    Identity nobody;
    EXPECT_EQ(nobody.str(), UString(L"0:00"));
    EXPECT_TRUE(nobody.is_nobody());
    EXPECT_EQ(nobody.bits(), nullptr);
    EXPECT_EQ(Identity::from_str(UString(L"0:00")), nobody);
    EXPECT_TRUE(Identity::from_str(UString(L"0:00")).is_nobody());
    Identity typed0 = Identity::from_str(UString(L"0:07"));
    EXPECT_EQ(typed0.str(), UString(L"0:07"));
    EXPECT_FALSE(typed0.is_nobody());
}

TEST(Identities, Equality) {
    Identity a(0, Identity::type_t(0), nullptr), b(0, Identity::type_t(5), nullptr);
    EXPECT_NE(a, b);
    EXPECT_EQ(a, Identity());
    EXPECT_TRUE(a.is_nobody());
    EXPECT_FALSE(b.is_nobody());
    EXPECT_NE(make({1, 2}, 1), make({1, 3}, 1));
    EXPECT_NE(make({1, 2}, 1), make({1, 2}, 2));
    EXPECT_NE(make({1, 2}, 1), make({1, 2, 3}, 1));
    // A type-0 block of length 0 equals the empty identity.
    auto *block = new Nul::identity_t[1]{0};
    EXPECT_EQ(Identity(0, block), Identity());
}

TEST(Identities, CopiesAreDeep) {
    Identity a = make({1, 2, 3, 4}, 9);
    Identity b(a);
    EXPECT_EQ(a, b);
    EXPECT_NE(a.identity(), b.identity());
    Identity c = make({7}, 1);
    c = a; // grows
    EXPECT_EQ(c, a);
    Identity small = make({5}, 2);
    Identity big = make({1, 2, 3, 4, 5, 6}, 3);
    Nul::identity_t const *kept = big.identity();
    big = small; // the old, larger block is reused
    EXPECT_EQ(big.identity(), kept);
    EXPECT_EQ(big, small);
    big = Identity();
    EXPECT_TRUE(big.is_nobody());
    EXPECT_EQ(big.identity(), nullptr);
    Identity &self = a;
    a = self;
    EXPECT_EQ(a, b);
    EXPECT_THROW(Identity(-1, Identity::type_t(1), "x"), Nul::IllegalArgException);
    EXPECT_THROW(Identity(3, Identity::type_t(1), nullptr), Nul::IllegalArgException);
}

TEST(Identities, BadTextForms) {
    auto text = [](char const *t, char const *kind) {
        return std::string("TLQSV06") + kind + " for arg: 'str' with value: '" + t + "'";
    };
    expect_message([] { Identity::from_str(UString(L"3:0102")); }, Nul::WEXUTIL_IDENTITY_BAD_SIZE,
                   text("3:0102", "60E Invalid Identity - bad string size"));
    expect_message([] { Identity::from_str(UString(L"2:01ABCD")); }, Nul::WEXUTIL_IDENTITY_HEX,
                   text("2:01ABCD", "61E Invalid Identity - hex conversion error"));
    expect_message([] { Identity::from_str(UString(L"2:01xy00")); }, Nul::WEXUTIL_IDENTITY_HEX, "");
    expect_message([] { Identity::from_str(UString(L"0100")); }, Nul::WEXUTIL_IDENTITY_LENGTH_FORMAT,
                   text("0100", "58E Invalid Identity length format"));
    expect_message([] { Identity::from_str(UString(L"-1:")); }, Nul::WEXUTIL_IDENTITY_LENGTH_STRING,
                   text("-1:", "59E Invalid Identity length string"));
    expect_message([] { Identity::from_str(UString(L"x:00")); }, Nul::WEXUTIL_IDENTITY_LENGTH_STRING, "");
    expect_message([] { Identity::from_str(UString(L":00")); }, Nul::WEXUTIL_IDENTITY_LENGTH_STRING, "");
    // A length no identity can hold is refused before its size is looked at.
    std::string huge = "40000:" + std::string(2 * 40001, '0');
    expect_message([&] { Identity::from_str(us(huge)); }, Nul::WEXUTIL_IDENTITY_LENGTH_STRING, "");
    expect_message([] { Identity::from_str(UString(L"99999999999999999999:00")); }, Nul::WEXUTIL_IDENTITY_LENGTH_STRING,
                   "");
    // The largest length is fine.
    std::string max = "32767:" + std::string(2 * 32768, 'a');
    Identity m = Identity::from_str(us(max));
    EXPECT_EQ(m.length(), 32767);
    EXPECT_EQ(m.type(), 0xAA);
}

TEST_F(CredentialsFile, WrittenByteForByte) {
    Credentials c;
    c.user() = make({1, 2, 3, 4}, 1);
    c.primary_group() = make({5, 6, 7, 8}, 2);
    c.group_list().push_back(make({9, 10, 11, 12}, 2));
    c.group_list().push_back(make({13, 14, 15, 16}, 2));
    c.name1() = UString(L"ignored on write");
    c.write_to_file(path_.c_str());
    Bytes expected = {2, 0,                  // group count
                      4, 0, 1, 1, 2,  3,  4, // user
                      4, 0, 2, 5, 6,  7,  8, // primary group
                      4, 0, 2, 9, 10, 11, 12, 4, 0, 2, 13, 14, 15, 16};
    EXPECT_EQ(read_file(), expected);
    EXPECT_EQ(expected.size(), 30u);

    Credentials r;
    r.group_list().push_back(make({99}, 9)); // replaced, not appended to
    r.read_from_file(path_.c_str(), false);
    EXPECT_EQ(r.user(), c.user());
    EXPECT_EQ(r.primary_group(), c.primary_group());
    EXPECT_EQ(r.group_list(), c.group_list());
    EXPECT_TRUE(r.in_group_list(make({5, 6, 7, 8}, 2)));
    EXPECT_TRUE(r.in_group_list(make({13, 14, 15, 16}, 2)));
    EXPECT_FALSE(r.in_group_list(c.user()));

    // The names are not there to read.
    expect_message([&] { r.read_from_file(path_.c_str(), true); }, Nul::WEXUTIL_FILE_READ, "");
    EXPECT_EQ(r.user(), c.user()); // what was read stays
}

TEST_F(CredentialsFile, EmptyIdentitiesAndNames) {
    Credentials c; // nobody everywhere, no groups
    c.write_to_file(path_.c_str());
    EXPECT_EQ(read_file(), (Bytes{0, 0, 0, 0, 0, 0, 0, 0}));

    // A file that carries names: name 1, name 3, name 2 in that order.
    Bytes with_names = {1, 0, 200, 0, 7};
    with_names.insert(with_names.end(), 200, 0xAB);
    with_names.insert(with_names.end(), {0, 0, 0, 1, 0, 3, 0x42});
    for (std::string const &n : {std::string("al"), std::string("c\xc3\xa9"), std::string("bob")}) {
        with_names.push_back(static_cast<std::uint8_t>(n.size()));
        with_names.push_back(0);
        with_names.insert(with_names.end(), n.begin(), n.end());
    }
    write_file(with_names);
    Credentials r;
    r.read_from_file(path_.c_str(), true);
    EXPECT_EQ(r.user().length(), 200); // C8 00 is 200
    EXPECT_EQ(r.user().type(), 7);
    EXPECT_EQ(r.user().bits()[199], 0xAB);
    EXPECT_TRUE(r.primary_group().is_nobody());
    ASSERT_EQ(r.group_list().size(), 1u);
    EXPECT_EQ(r.group_list()[0], make({0x42}, 3));
    EXPECT_EQ(r.name1(), us("al"));
    EXPECT_EQ(r.name3(), us("c\xc3\xa9"));
    EXPECT_EQ(r.name2(), us("bob"));

    // Written back without names, it is the file up to them.
    r.write_to_file(path_.c_str());
    Bytes body(with_names.begin(), with_names.begin() + 2 + 203 + 3 + 4);
    EXPECT_EQ(read_file(), body);
}

TEST_F(CredentialsFile, Failures) {
    Credentials c;
    std::string missing = dir_ + "/none/creds";
    expect_message([&] { c.read_from_file(missing.c_str(), false); }, Nul::WEXUTIL_FILE_OPEN,
                   "TLQSV0665E Unable to open file '" + missing + "': No such file or directory.");
    expect_message([&] { c.write_to_file(missing.c_str()); }, Nul::WEXUTIL_FILE_OPEN, "");

    // A length above 32767 is refused, not turned negative.
    write_file({0, 0, 0x00, 0x80, 1});
    expect_message([&] { c.read_from_file(path_.c_str(), false); }, Nul::WEXUTIL_FILE_READ,
                   "TLQSV0666E Unable to read file '" + path_ + "': Invalid argument.");
    // Cut short inside an identity.
    write_file({0, 0, 4, 0, 1, 2});
    expect_message([&] { c.read_from_file(path_.c_str(), false); }, Nul::WEXUTIL_FILE_READ, "");
    // More groups announced than present: what was read stays.
    write_file({3, 0, 1, 0, 1, 0xEE, 0, 0, 0, 1, 0, 2, 0x11});
    Credentials partial;
    expect_message([&] { partial.read_from_file(path_.c_str(), false); }, Nul::WEXUTIL_FILE_READ, "");
    EXPECT_EQ(partial.user(), make({0xEE}, 1));
    ASSERT_EQ(partial.group_list().size(), 1u);
    EXPECT_EQ(partial.group_list()[0], make({0x11}, 2));

    // A directory cannot be written as a file.
    expect_message([&] { c.write_to_file(dir_.c_str()); }, Nul::WEXUTIL_FILE_OPEN, "");
}

TEST(UtlFileIo, ClosesOnce) {
    char tmpl[] = "/tmp/kxfio_XXXXXX";
    int fd = mkstemp(tmpl);
    ASSERT_GE(fd, 0);
    close(fd);
    {
        Nul::UtlFileIoPtr p(std::fopen(tmpl, "r"));
        ASSERT_NE(p.get(), nullptr);
        EXPECT_EQ(p.release(), 0);
        EXPECT_EQ(p.get(), nullptr);
        EXPECT_EQ(p.release(), 0); // nothing left to close
    }
    unlink(tmpl);
}
