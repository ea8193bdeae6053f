#include <gtest/gtest.h>

#include <cwctype>

#include "kxproduct/crypt.h"
#include "kxproduct/exceptions.h"

namespace {
bool single_token(const CString& s) {
  if (s.IsEmpty()) return false;
  for (int i = 0; i < s.GetLength(); ++i)
    if (std::iswspace(static_cast<wint_t>(s[i])) || s[i] < 0x21 || s[i] > 0x7e) return false;
  return true;
}
}  // namespace

TEST(Crypt, RoundTripIsReversibleAndNeverPlain) {
  CString plain(L"a single sign-on secret of thirty+ chars \u00e9\U0001F511");
  CString once = AdEncryptStringMaybeUTF8(plain, 7);
  EXPECT_TRUE(single_token(once));
  EXPECT_EQ(once.Find(L"secret"), -1);
  EXPECT_EQ(AdDecryptStringMaybeUTF8(once), plain);
}

TEST(Crypt, TwiceEncryptedTwiceDecryptedGivesTheOriginal) {
  CString plain(L"0123456789012345678901234567890");
  CString twice = AdEncryptStringMaybeUTF8(AdEncryptStringMaybeUTF8(plain, 7), 7);
  EXPECT_TRUE(single_token(twice));
  CString once = AdDecryptStringMaybeUTF8(twice);
  EXPECT_NE(once, plain);
  EXPECT_EQ(AdDecryptStringMaybeUTF8(once), plain);
}

TEST(Crypt, FreshNonceEachTime) {
  CString plain(L"same");
  EXPECT_NE(AdEncryptStringMaybeUTF8(plain), AdEncryptStringMaybeUTF8(plain));
  EXPECT_EQ(AdDecryptStringMaybeUTF8(AdEncryptStringMaybeUTF8(CString())), CString());
}

TEST(Crypt, DamagedOrForeignTextIsRefused) {
  long before = KXException::LiveCount();
  CString good = AdEncryptStringMaybeUTF8(CString(L"secret"));
  CString damaged = good;
  int last = damaged.GetLength() - 1;
  damaged.SetAt(last, damaged[last] == L'0' ? L'1' : L'0');
  for (const CString& bad : {damaged, CString(L"plain text"), CString(L"KX7$zz"), good.Left(10)}) {
    try {
      AdDecryptStringMaybeUTF8(bad);
      ADD_FAILURE() << "accepted " << bad.ToUtf8();
    } catch (KXException* e) {
      EXPECT_EQ(e->GetMsgId(), KX_MSG_BAD_ENCRYPTED_TEXT);
      e->Delete();
    }
  }
  EXPECT_EQ(KXException::LiveCount(), before);
}
