#include "wire/locale.h"

#include <string>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "diag_capture.h"

using namespace KxRpc;

namespace {
std::string in_new_thread(std::function<std::string()> f) {
    std::string result;
    std::thread t([&] { result = f(); });
    t.join();
    return result;
}
} // namespace

TEST(ClientLocale, DefaultsToEnUsWithATraceLine) {
    ASSERT_TRUE(init_client_locale_key());
    kxtest::DiagCapture diag;
    AdDiagnostic::SetFlag(66, 1);
    EXPECT_EQ(in_new_thread([] { return std::string(stprpc_abstract_get_client_locale()); }), "en_US");
    EXPECT_THAT(diag.lines(), ::testing::ElementsAre("KXRPC|KxRpc::stprpc_abstract_get_client_locale(): Failed to "
                                                     "obtain client locale: defaulting to en_US"));
}

TEST(ClientLocale, ThreadsKeepTheirOwn) {
    ASSERT_TRUE(init_client_locale_key());
    std::string a, b;
    std::thread ta([&] {
        EXPECT_TRUE(stprpc_abstract_set_client_locale(L"de_DE"));
        for (int i = 0; i < 200; ++i) std::this_thread::yield();
        a = stprpc_abstract_get_client_locale();
    });
    std::thread tb([&] {
        EXPECT_TRUE(stprpc_abstract_set_client_locale(L"ja_JP"));
        for (int i = 0; i < 200; ++i) std::this_thread::yield();
        b = stprpc_abstract_get_client_locale();
    });
    ta.join();
    tb.join();
    EXPECT_EQ(a, "de_DE");
    EXPECT_EQ(b, "ja_JP");
}

TEST(ClientLocale, LaterSetReplacesAndTheBufferIsReused) {
    ASSERT_TRUE(init_client_locale_key());
    std::string got = in_new_thread([] {
        stprpc_abstract_set_client_locale(L"fr_FR_long_variant");
        stprpc_abstract_set_client_locale(L"it");
        return std::string(stprpc_abstract_get_client_locale());
    });
    EXPECT_EQ(got, "it");
}

TEST(ClientLocale, LongTextIsCutAtACharacterBoundary) {
    ASSERT_TRUE(init_client_locale_key());
    // 126 ASCII bytes then a 3-byte character: only 126 bytes fit before the character.
    std::wstring text(126, L'a');
    text += L"\u20ac\u20ac";
    std::string got = in_new_thread([&] {
        stprpc_abstract_set_client_locale(Nul::UString(text));
        return std::string(stprpc_abstract_get_client_locale());
    });
    EXPECT_EQ(got, std::string(126, 'a'));
    std::wstring exact(127, L'b');
    got = in_new_thread([&] {
        stprpc_abstract_set_client_locale(Nul::UString(exact + L"c"));
        return std::string(stprpc_abstract_get_client_locale());
    });
    EXPECT_EQ(got, std::string(127, 'b'));
}
