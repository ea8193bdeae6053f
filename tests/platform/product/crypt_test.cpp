// Sealed tokens under the installation's key, kept beside the data.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cwctype>
#include <fstream>

#include "kxproduct/crypt.h"
#include "kxproduct/exceptions.h"
#include "test_support.h"

namespace {
bool single_token(const CString &s) {
    if (s.IsEmpty()) return false;
    for (int i = 0; i < s.GetLength(); ++i)
        if (std::iswspace(static_cast<wint_t>(s[i])) || s[i] < 0x21 || s[i] > 0x7e) return false;
    return true;
}
class Crypt : public ProductTest {};

} // namespace

TEST_F(Crypt, RoundTripIsReversibleAndNeverPlain) {
    CString plain(L"a single sign-on secret of thirty+ chars \u00e9\U0001F511");
    CString once = AdEncryptStringMaybeUTF8(plain, 7);
    EXPECT_TRUE(single_token(once));
    EXPECT_EQ(once.Find(L"secret"), -1);
    EXPECT_EQ(AdDecryptStringMaybeUTF8(once), plain);
}

TEST_F(Crypt, TwiceEncryptedTwiceDecryptedGivesTheOriginal) {
    CString plain(L"0123456789012345678901234567890");
    CString twice = AdEncryptStringMaybeUTF8(AdEncryptStringMaybeUTF8(plain, 7), 7);
    EXPECT_TRUE(single_token(twice));
    CString once = AdDecryptStringMaybeUTF8(twice);
    EXPECT_NE(once, plain);
    EXPECT_EQ(AdDecryptStringMaybeUTF8(once), plain);
}

TEST_F(Crypt, FreshNonceEachTime) {
    CString plain(L"same");
    EXPECT_NE(AdEncryptStringMaybeUTF8(plain), AdEncryptStringMaybeUTF8(plain));
    EXPECT_EQ(AdDecryptStringMaybeUTF8(AdEncryptStringMaybeUTF8(CString())), CString());
}

TEST_F(Crypt, DamagedOrForeignTextIsRefused) {
    long before = KXException::LiveCount();
    CString good = AdEncryptStringMaybeUTF8(CString(L"secret"));
    CString damaged = good;
    int last = damaged.GetLength() - 1;
    damaged.SetAt(last, damaged[last] == L'0' ? L'1' : L'0');
    for (const CString &bad : {damaged, CString(L"plain text"), CString(L"KX7$zz"), good.Left(10)}) {
        try {
            AdDecryptStringMaybeUTF8(bad);
            ADD_FAILURE() << "accepted " << bad.ToUtf8();
        } catch (KXException *e) {
            EXPECT_EQ(e->GetMsgId(), KX_MSG_BAD_ENCRYPTED_TEXT);
            e->Delete();
        }
    }
    EXPECT_EQ(KXException::LiveCount(), before);
}

TEST_F(Crypt, TheKeyIsMadeOnceBesideTheDataAndKeptPrivate) {
    CString token = AdEncryptStringMaybeUTF8(CString(L"secret"));
    const std::string key = data_ + "/token.key";
    struct stat st {};
    ASSERT_EQ(::stat(key.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(st.st_size, 32);
    std::ifstream in(key, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    AdEncryptStringMaybeUTF8(CString(L"again"));
    std::ifstream again(key, std::ios::binary);
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(again)), std::istreambuf_iterator<char>()), bytes);
    EXPECT_EQ(AdDecryptStringMaybeUTF8(token), L"secret");
}

TEST_F(Crypt, AnotherInstallationsTokenOrADamagedKeyIsRefused) {
    CString token = AdEncryptStringMaybeUTF8(CString(L"secret"));
    const std::string other = dir_ + "/other";
    ::setenv("KX_PRODUCT_DATA", other.c_str(), 1);
    EXPECT_EQ(expect_kx([&] { AdDecryptStringMaybeUTF8(token); }).first, KX_MSG_BAD_ENCRYPTED_TEXT);
    // A key file that is not 32 bytes is never used.
    const std::string damaged = dir_ + "/damaged";
    ASSERT_EQ(::mkdir(damaged.c_str(), 0700), 0);
    write_file(damaged + "/token.key", "short");
    ::setenv("KX_PRODUCT_DATA", damaged.c_str(), 1);
    EXPECT_EQ(expect_kx([&] { AdEncryptStringMaybeUTF8(CString(L"x")); }).first, KX_MSG_BAD_ENCRYPTED_TEXT);
    ::setenv("KX_PRODUCT_DATA", data_.c_str(), 1);
    EXPECT_EQ(AdDecryptStringMaybeUTF8(token), L"secret");
}
