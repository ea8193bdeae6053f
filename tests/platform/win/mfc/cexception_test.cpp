#include <gtest/gtest.h>

#include "kxwin/cexception.h"

TEST(CException, ThrownByPointerAndDeleted) {
    long before = CException::LiveCount();
    try {
        throw new CException(CString(L"disk is full"));
    } catch (CException *e) {
        EXPECT_EQ(CException::LiveCount(), before + 1);
        EXPECT_EQ(e->GetErrorMessageString(), L"disk is full");
        e->Delete();
    }
    EXPECT_EQ(CException::LiveCount(), before);
}

TEST(CException, GetErrorMessageTruncatesIntoBuffer) {
    CException *e = new CException(CString(L"abcdef"));
    wchar_t buf[4] = {L'#', L'#', L'#', L'#'};
    UINT help = 99;
    EXPECT_EQ(e->GetErrorMessage(buf, 4, &help), TRUE);
    EXPECT_STREQ(buf, L"abc");
    EXPECT_EQ(help, 0u);
    EXPECT_EQ(e->GetErrorMessage(buf, 0), FALSE);
    e->Delete();
    CException *blank = new CException();
    EXPECT_EQ(blank->GetErrorMessage(buf, 4), FALSE);
    EXPECT_STREQ(buf, L"");
    blank->Delete();
}
