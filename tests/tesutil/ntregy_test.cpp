#include "tesutil/ntregy.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "registry_fixture.h"

namespace {

class NtRegistry : public TempRegistry {
protected:
    static std::string common() { return vexhub_ntregy_get_common_key(); }
    static std::string read_sz(int row) {
        char buf[8192] = {};
        int32_t rc = vexhub_ntregy_get_param(row, sizeof buf, buf, nullptr);
        return rc == 0 ? std::string(buf) : "<" + std::to_string(rc) + ">";
    }
    static std::vector<uint8_t> raw(HKEY root, std::string const &key, char const *name, uint32_t *type = nullptr) {
        HKEY k = nullptr;
        std::vector<uint8_t> out;
        if (RegOpenKeyExA(root, key.c_str() + (key[0] == '\\'), 0, KEY_READ, &k) != 0) return out;
        uint32_t size = 0;
        if (RegQueryValueExA(k, name, nullptr, type, nullptr, &size) == 0) {
            out.resize(size);
            RegQueryValueExA(k, name, nullptr, type, out.data(), &size);
        }
        RegCloseKey(k);
        return out;
    }
};

} // namespace

TEST_F(NtRegistry, CommonKeyForms) {
    EXPECT_STREQ(vexhub_ntregy_get_common_key(), "\\Software\\Tevra\\Veltrane\\CurrentVersion");
    EXPECT_STREQ(vexhub_ntregy_get_common_key_mfc_style(), "Tevra\\Veltrane\\CurrentVersion");
    EXPECT_EQ(vexhub_ntregy_get_common_key(), vexhub_ntregy_get_common_key()); // assembled once
}

TEST_F(NtRegistry, LeadingBackslashesAndCreateValue) {
    HKEY k = nullptr;
    uint32_t one = 1;
    // Only the first part exists: the rest is created.
    RegCloseKey([] {
        HKEY s = nullptr;
        RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &s, nullptr);
        return s;
    }());
    ASSERT_EQ(vexhub_ntregy_create_value(HKEY_LOCAL_MACHINE, "\\Software\\\\A\\B", "v", &one, 4, REG_DWORD, &k), 0);
    ASSERT_NE(k, nullptr);
    EXPECT_EQ(vexhub_ntregy_close_key(k), 0);
    // The whole path exists: only the value is set.
    uint32_t two = 2;
    ASSERT_EQ(vexhub_ntregy_create_value(HKEY_LOCAL_MACHINE, "Software\\A\\B", "v", &two, 4, REG_DWORD, nullptr), 0);
    for (char const *spelling : {"Software\\A\\B", "\\Software\\A\\B", "\\\\\\software\\a\\b"}) {
        uint32_t got = 0;
        HKEY h = nullptr;
        ASSERT_EQ(vexhub_ntregy_get_value(HKEY_LOCAL_MACHINE, spelling, "V", &got, 4, &h), 0) << spelling;
        EXPECT_EQ(got, 2u);
        ASSERT_NE(h, nullptr);
        vexhub_ntregy_close_key(h);
        ASSERT_EQ(vexhub_ntregy_get_handle(HKEY_LOCAL_MACHINE, spelling, KEY_READ, &h), 0);
        vexhub_ntregy_close_key(h);
    }
    EXPECT_EQ(vexhub_ntregy_get_handle(HKEY_LOCAL_MACHINE, nullptr, KEY_READ, &k), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(vexhub_ntregy_get_value(HKEY_LOCAL_MACHINE, nullptr, "v", nullptr, 0, &k), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(k, nullptr);
    EXPECT_EQ(vexhub_ntregy_del_value(HKEY_LOCAL_MACHINE, nullptr, "v"), ERROR_INVALID_PARAMETER);
    // A read error closes the key and hands out nothing.
    uint32_t got = 0;
    EXPECT_EQ(vexhub_ntregy_get_value(HKEY_LOCAL_MACHINE, "Software\\A\\B", "missing", &got, 4, &k),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(k, nullptr);
    EXPECT_EQ(vexhub_ntregy_del_value(HKEY_LOCAL_MACHINE, "\\Software\\A\\B", "v"), 0);
    EXPECT_EQ(vexhub_ntregy_del_key(HKEY_LOCAL_MACHINE, "\\Software\\A"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(vexhub_ntregy_del_key(HKEY_LOCAL_MACHINE, "\\Software\\A\\B"), 0);
    EXPECT_EQ(vexhub_ntregy_del_key(HKEY_LOCAL_MACHINE, "\\Software\\A"), 0);
    EXPECT_EQ(vexhub_ntregy_del_key(HKEY_LOCAL_MACHINE, "Software"), 0); // directly under the root
    EXPECT_EQ(vexhub_ntregy_get_handle(HKEY_LOCAL_MACHINE, "Software", KEY_READ, &k), ERROR_FILE_NOT_FOUND);
}

TEST_F(NtRegistry, StringsAreTerminatedWithinTheBuffer) {
    // A multi-string gets its extra NUL only when there is room for it.
    char const multi[] = "ab\0cd\0"; // 6 bytes without the closing NUL
    ASSERT_EQ(vexhub_ntregy_create_value(HKEY_LOCAL_MACHINE, "K", "m", multi, 6, REG_MULTI_SZ, nullptr), 0);
    char buf[8];
    std::memset(buf, '#', sizeof buf);
    EXPECT_EQ(vexhub_ntregy_get_value(HKEY_LOCAL_MACHINE, "K", "m", buf, 6, nullptr), ERROR_MORE_DATA);
    EXPECT_EQ(buf[6], '#');
    EXPECT_EQ(vexhub_ntregy_get_value(HKEY_LOCAL_MACHINE, "K", "m", buf, 7, nullptr), 0);
    EXPECT_EQ(std::memcmp(buf, "ab\0cd\0\0", 7), 0);
    EXPECT_EQ(buf[7], '#');
    // A string stored without its NUL is terminated, or refused when that would not fit.
    ASSERT_EQ(vexhub_ntregy_create_value(HKEY_LOCAL_MACHINE, "K", "s", "abcd", 4, REG_SZ, nullptr), 0);
    std::memset(buf, '#', sizeof buf);
    EXPECT_EQ(vexhub_ntregy_get_value(HKEY_LOCAL_MACHINE, "K", "s", buf, 4, nullptr), ERROR_MORE_DATA);
    EXPECT_EQ(buf[4], '#');
    EXPECT_EQ(vexhub_ntregy_get_value(HKEY_LOCAL_MACHINE, "K", "s", buf, 5, nullptr), 0);
    EXPECT_STREQ(buf, "abcd");

    // Enumerated data is terminated at its length and never past the buffer.
    HKEY k = nullptr;
    ASSERT_EQ(vexhub_ntregy_get_handle(HKEY_LOCAL_MACHINE, "K", KEY_READ, &k), 0);
    char name[8];
    uint32_t ns = sizeof name, type = 0, ds = 6;
    std::memset(buf, '#', sizeof buf);
    EXPECT_EQ(vexhub_ntregy_enum_value(k, 0, name, &ns, &type, buf, &ds), ERROR_MORE_DATA);
    EXPECT_EQ(buf[6], '#');
    ns = sizeof name;
    ds = 7;
    EXPECT_EQ(vexhub_ntregy_enum_value(k, 0, name, &ns, &type, buf, &ds), 0);
    EXPECT_STREQ(name, "m");
    EXPECT_EQ(ds, 6u);
    EXPECT_EQ(buf[6], '\0');
    EXPECT_EQ(type, REG_MULTI_SZ);
    ns = sizeof name;
    ds = 0;
    EXPECT_EQ(vexhub_ntregy_enum_value(k, 1, name, &ns, &type, buf, &ds), ERROR_MORE_DATA);
    EXPECT_EQ(ds, 4u);
    ns = sizeof name;
    ds = 5;
    EXPECT_EQ(vexhub_ntregy_enum_value(k, 1, name, &ns, &type, buf, &ds), 0);
    EXPECT_STREQ(buf, "abcd");
    ns = sizeof name;
    ds = sizeof buf;
    EXPECT_EQ(vexhub_ntregy_enum_value(k, 2, name, &ns, &type, buf, &ds), ERROR_NO_MORE_ITEMS);
    vexhub_ntregy_close_key(k);
    ASSERT_EQ(vexhub_ntregy_get_handle(HKEY_LOCAL_MACHINE, "", KEY_READ, &k), 0);
    ns = sizeof name;
    ASSERT_EQ(vexhub_ntregy_enum_subkeys(k, 0, name, &ns), 0);
    EXPECT_STREQ(name, "K");
    vexhub_ntregy_close_key(k);
}

TEST_F(NtRegistry, ParamsByRow) {
    EXPECT_EQ(vexhub_ntregy_get_datatype(6), int32_t(REG_MULTI_SZ));
    EXPECT_EQ(vexhub_ntregy_get_datatype(19), int32_t(REG_SZ));
    EXPECT_EQ(vexhub_ntregy_get_datatype(21), int32_t(REG_DWORD));
    EXPECT_EQ(vexhub_ntregy_get_datatype(62), int32_t(REG_DWORD));
    uint32_t v = 1;
    ASSERT_EQ(vexhub_ntregy_set_param(62, &v, nullptr), 0);
    uint32_t type = 0;
    auto bytes = raw(HKEY_LOCAL_MACHINE, common(), "DisableUnicodeLongPath", &type);
    EXPECT_EQ(bytes, (std::vector<uint8_t>{1, 0, 0, 0}));
    EXPECT_EQ(type, REG_DWORD);
    v = 0;
    ASSERT_EQ(vexhub_ntregy_get_param(62, 4, &v, nullptr), 0);
    EXPECT_EQ(v, 1u);
    ASSERT_EQ(vexhub_ntregy_set_param(19, "x,y", nullptr), 0);
    EXPECT_EQ(raw(HKEY_CURRENT_USER, common(), "PersistentVOBs"), (std::vector<uint8_t>{'x', ',', 'y', 0}));
    EXPECT_TRUE(raw(HKEY_LOCAL_MACHINE, common(), "PersistentVOBs").empty()); // row 19 lives under HKCU
    ASSERT_EQ(vexhub_ntregy_del_param(19, nullptr), 0);
    EXPECT_EQ(vexhub_ntregy_del_param(19, nullptr), ERROR_FILE_NOT_FOUND);

    // Rows outside the table, or not carried, are refused instead of read past the table.
    char buf[8];
    for (int row : {-1, 5, 69, 100000}) {
        EXPECT_EQ(vexhub_ntregy_get_param(row, sizeof buf, buf, nullptr), ERROR_INVALID_PARAMETER) << row;
        EXPECT_EQ(vexhub_ntregy_set_param(row, "x", nullptr), ERROR_INVALID_PARAMETER) << row;
        EXPECT_EQ(vexhub_ntregy_del_param(row, nullptr), ERROR_INVALID_PARAMETER) << row;
        EXPECT_EQ(vexhub_ntregy_get_datatype(row), ERROR_INVALID_PARAMETER) << row;
    }
    // Another machine's registry is never reachable.
    EXPECT_EQ(vexhub_ntregy_get_param(62, 4, &v, "farhost"), ERROR_BAD_NETPATH);
    EXPECT_EQ(vexhub_ntregy_set_param(62, &v, "farhost"), ERROR_BAD_NETPATH);
    EXPECT_EQ(vexhub_ntregy_del_veltrane_tree("farhost"), ERROR_BAD_NETPATH);
}

TEST_F(NtRegistry, AppParamsAndGeometry) {
    ASSERT_EQ(vexhub_ntregy_set_app_param("Viewer", "Title", REG_SZ, "hello", nullptr), 0);
    char buf[16] = {};
    ASSERT_EQ(vexhub_ntregy_get_app_param("Viewer", "title", sizeof buf, buf, nullptr), 0);
    EXPECT_STREQ(buf, "hello");
    EXPECT_EQ(raw(HKEY_CURRENT_USER, common() + "\\Viewer", "Title").size(), 6u);
    uint32_t big = 0x11223344;
    ASSERT_EQ(vexhub_ntregy_set_app_param("Viewer", "N", REG_DWORD_BIG_ENDIAN, &big, nullptr), 0);
    EXPECT_EQ(raw(HKEY_CURRENT_USER, common() + "\\Viewer", "N").size(), 4u);
    ASSERT_EQ(vexhub_ntregy_set_app_param("Viewer", "M", REG_MULTI_SZ, "a\0bc\0\0", nullptr), 0);
    EXPECT_EQ(raw(HKEY_CURRENT_USER, common() + "\\Viewer", "M"), (std::vector<uint8_t>{'a', 0, 'b', 'c', 0, 0}));
    EXPECT_EQ(vexhub_ntregy_set_app_param("Viewer", "B", REG_BINARY, "x", nullptr), ERROR_INVALID_PARAMETER);

    ASSERT_EQ(vexhub_ntregy_set_app_geometry("Viewer", 1, -2, 300, 4000, nullptr), 0);
    EXPECT_EQ(raw(HKEY_CURRENT_USER, common() + "\\Viewer", "Geometry"),
              (std::vector<uint8_t>{'1', ' ', '-', '2', ' ', '3', '0', '0', ' ', '4', '0', '0', '0', 0}));
    long a = 0, b = 0, c = 0, d = 0;
    ASSERT_EQ(vexhub_ntregy_get_app_geometry("Viewer", &a, &b, &c, &d, nullptr), 0);
    EXPECT_EQ(a, 1);
    EXPECT_EQ(b, -2);
    EXPECT_EQ(c, 300);
    EXPECT_EQ(d, 4000);
    ASSERT_EQ(vexhub_ntregy_set_app_param("Viewer", "Geometry", REG_SZ, "1 2 3", nullptr), 0);
    EXPECT_EQ(vexhub_ntregy_get_app_geometry("Viewer", &a, &b, &c, &d, nullptr), ERROR_INVALID_DATA);
    // A value too long for the 50-byte read is refused, not read past.
    std::string longer(60, '7');
    ASSERT_EQ(vexhub_ntregy_set_app_param("Viewer", "Geometry", REG_SZ, longer.c_str(), nullptr), 0);
    EXPECT_EQ(vexhub_ntregy_get_app_geometry("Viewer", &a, &b, &c, &d, nullptr), ERROR_MORE_DATA);
    // Four numbers in a number value: read as bytes, still parsed within the buffer.
    uint32_t n = 0x20312031; // "1 1 " in memory, no NUL
    ASSERT_EQ(vexhub_ntregy_set_app_param("Viewer", "Geometry", REG_DWORD, &n, nullptr), 0);
    EXPECT_EQ(vexhub_ntregy_get_app_geometry("Viewer", &a, &b, &c, &d, nullptr), ERROR_INVALID_DATA);
}

TEST_F(NtRegistry, ProductInfoKeysBecomeAMultiString) {
    ASSERT_EQ(vexhub_ntregy_update_product_info_keys("one\ttab\nt\x01wo\n", nullptr), 0);
    uint32_t type = 0;
    EXPECT_EQ(raw(HKEY_LOCAL_MACHINE, common(), "ProductInfoKeys", &type),
              (std::vector<uint8_t>{'o', 'n', 'e', 't', 'a', 'b', 0, 't', 'w', 'o', 0, 0}));
    EXPECT_EQ(type, REG_MULTI_SZ);
    ASSERT_EQ(vexhub_ntregy_update_product_info_keys("a\nb", nullptr), 0);
    EXPECT_EQ(raw(HKEY_LOCAL_MACHINE, common(), "ProductInfoKeys"), (std::vector<uint8_t>{'a', 0, 'b', 0, 0}));
    ASSERT_EQ(vexhub_ntregy_update_product_info_keys("", nullptr), 0);
    EXPECT_EQ(raw(HKEY_LOCAL_MACHINE, common(), "ProductInfoKeys"), (std::vector<uint8_t>{0}));
    char buf[16];
    ASSERT_EQ(vexhub_ntregy_update_product_info_keys("x\n", nullptr), 0);
    ASSERT_EQ(vexhub_ntregy_get_param(6, sizeof buf, buf, nullptr), 0);
    EXPECT_EQ(std::memcmp(buf, "x\0\0", 3), 0);
    FILETIME ft{};
    ASSERT_EQ(vexhub_ntregy_get_common_key_modtime(&ft, nullptr), 0);
    uint64_t t = (uint64_t(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    uint64_t now = 116444736000000000ull + uint64_t(time(nullptr)) * 10000000ull;
    EXPECT_LT(t, now + 20000000ull);
    EXPECT_GT(t + 600000000ull, now);
    FILETIME ft2{};
    EXPECT_EQ(vexhub_ntregy_modtime_product_info_keys(&ft2, nullptr), 0);
    EXPECT_EQ(ft2.dwLowDateTime, ft.dwLowDateTime);
    EXPECT_EQ(vexhub_ntregy_modtime_vtrgy_keys(&ft2, nullptr), 0);
}

TEST_F(NtRegistry, ModtimeOfMissingKey) {
    FILETIME ft{};
    EXPECT_EQ(vexhub_ntregy_get_common_key_modtime(&ft, nullptr), ERROR_FILE_NOT_FOUND);
}

TEST_F(NtRegistry, PersistentNames) {
    ASSERT_EQ(vexhub_ntregy_add_persistent_vob("a"), 0); // missing list counts as empty
    ASSERT_EQ(vexhub_ntregy_add_persistent_vob("b"), 0);
    ASSERT_EQ(vexhub_ntregy_add_persistent_vob("c"), 0);
    ASSERT_EQ(vexhub_ntregy_add_persistent_vob("b"), 0);
    ASSERT_EQ(vexhub_ntregy_add_persistent_vob("B"), 0); // compared with case
    EXPECT_EQ(read_sz(19), "a,b,c,B");
    ASSERT_EQ(vexhub_ntregy_remove_persistent_vob("B"), 0);
    EXPECT_EQ(read_sz(19), "a,b,c");
    ASSERT_EQ(vexhub_ntregy_remove_persistent_vob("c"), 0);
    EXPECT_EQ(read_sz(19), "a,b");
    ASSERT_EQ(vexhub_ntregy_add_persistent_vob("c"), 0);
    ASSERT_EQ(vexhub_ntregy_remove_persistent_vob("a"), 0);
    EXPECT_EQ(read_sz(19), "b,c");
    ASSERT_EQ(vexhub_ntregy_remove_persistent_vob("zz"), 0);
    EXPECT_EQ(read_sz(19), "b,c");
    ASSERT_EQ(vexhub_ntregy_set_param(19, "only", nullptr), 0);
    ASSERT_EQ(vexhub_ntregy_remove_persistent_vob("only"), 0);
    EXPECT_EQ(read_sz(19), "");
    ASSERT_EQ(vexhub_ntregy_set_param(19, "x,y", nullptr), 0);
    ASSERT_EQ(vexhub_ntregy_remove_persistent_vob(nullptr), 0);
    EXPECT_EQ(read_sz(19), "");

    // A name that would not fit leaves the list as it was.
    std::string big(8000, 'n');
    ASSERT_EQ(vexhub_ntregy_set_param(19, big.c_str(), nullptr), 0);
    EXPECT_NE(vexhub_ntregy_add_persistent_vob(std::string(200, 'm').c_str()), 0);
    EXPECT_EQ(read_sz(19), big);
}

TEST_F(NtRegistry, UnreadableListIsNotOverwritten) {
    // A list longer than the read buffer cannot be read; it must survive every change.
    std::string huge(9000, 'h');
    ASSERT_EQ(vexhub_ntregy_set_param(19, huge.c_str(), nullptr), 0);
    ASSERT_EQ(vexhub_ntregy_set_param(20, huge.c_str(), nullptr), 0);
    EXPECT_EQ(vexhub_ntregy_add_persistent_vob("x"), ERROR_MORE_DATA);
    EXPECT_EQ(vexhub_ntregy_remove_persistent_vob("x"), ERROR_MORE_DATA);
    EXPECT_EQ(vexhub_ntregy_add_to_recent_views("v"), ERROR_MORE_DATA);
    EXPECT_EQ(vexhub_ntregy_del_from_recent_views("v"), ERROR_MORE_DATA);
    EXPECT_EQ(raw(HKEY_CURRENT_USER, common(), "PersistentVOBs").size(), huge.size() + 1);
    EXPECT_EQ(raw(HKEY_CURRENT_USER, common(), "RecentlyUsedViews").size(), huge.size() + 1);
}

TEST_F(NtRegistry, RecentViews) {
    // With row 21 missing it is set to 5.
    ASSERT_EQ(vexhub_ntregy_add_to_recent_views("v1"), 0);
    uint32_t max = 0;
    ASSERT_EQ(vexhub_ntregy_get_param(21, 4, &max, nullptr), 0);
    EXPECT_EQ(max, 5u);
    for (char const *v : {"v2", "v3", "v4", "v5", "v6"}) ASSERT_EQ(vexhub_ntregy_add_to_recent_views(v), 0);
    EXPECT_EQ(read_sz(20), "v6,v5,v4,v3,v2");
    ASSERT_EQ(vexhub_ntregy_add_to_recent_views("v3"), 0); // moves to the front, listed once
    EXPECT_EQ(read_sz(20), "v3,v6,v5,v4,v2");
    max = 3;
    ASSERT_EQ(vexhub_ntregy_set_param(21, &max, nullptr), 0);
    ASSERT_EQ(vexhub_ntregy_add_to_recent_views("v7"), 0);
    EXPECT_EQ(read_sz(20), "v7,v3,v6");
    ASSERT_EQ(vexhub_ntregy_del_from_recent_views("v3"), 0);
    EXPECT_EQ(read_sz(20), "v7,v6");
    max = 0;
    ASSERT_EQ(vexhub_ntregy_set_param(21, &max, nullptr), 0);
    ASSERT_EQ(vexhub_ntregy_add_to_recent_views("v8"), 0);
    EXPECT_EQ(read_sz(20), "");
    // An entry that would make the list too long is skipped and the next one tried.
    max = 5;
    ASSERT_EQ(vexhub_ntregy_set_param(21, &max, nullptr), 0);
    std::string long_entry(8185, 'L');
    ASSERT_EQ(vexhub_ntregy_set_param(20, ("a," + long_entry + ",b").c_str(), nullptr), 0);
    ASSERT_EQ(vexhub_ntregy_add_to_recent_views("new"), 0);
    EXPECT_EQ(read_sz(20), "new,a,b");
}

TEST_F(NtRegistry, PasswordServerTypeAndProductTree) {
    EXPECT_EQ(vexhub_ntregy_del_rgy_svrtype(nullptr), 0); // missing counts as success
    ASSERT_EQ(vexhub_ntregy_set_rgy_passwd("s3cret", nullptr), 0);
    char buf[32] = {};
    ASSERT_EQ(vexhub_ntregy_get_rgy_passwd(buf, sizeof buf, nullptr), 0);
    EXPECT_STREQ(buf, "s3cret");
    EXPECT_EQ(raw(HKEY_LOCAL_MACHINE, common() + "\\Security", "RegPasswd").size(), 7u);
    ASSERT_EQ(vexhub_ntregy_create_value(HKEY_LOCAL_MACHINE, common().c_str(), "ServerType", "x", 2, REG_SZ, nullptr),
              0);
    ASSERT_EQ(vexhub_ntregy_del_rgy_svrtype(nullptr), 0);
    EXPECT_TRUE(raw(HKEY_LOCAL_MACHINE, common(), "ServerType").empty());

    // Another product of the same maker keeps the maker's key.
    ASSERT_EQ(vexhub_ntregy_create_value(HKEY_LOCAL_MACHINE, "Software\\Tevra\\Other", "v", "1", 2, REG_SZ, nullptr),
              0);
    ASSERT_EQ(vexhub_ntregy_del_veltrane_tree(nullptr), 0);
    HKEY k = nullptr;
    EXPECT_EQ(vexhub_ntregy_get_handle(HKEY_LOCAL_MACHINE, "Software\\Tevra\\Veltrane", KEY_READ, &k),
              ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(vexhub_ntregy_get_handle(HKEY_LOCAL_MACHINE, "Software\\Tevra", KEY_READ, &k), 0);
    vexhub_ntregy_close_key(k);
    // Without it, everything up to Software goes.
    ASSERT_EQ(vexhub_ntregy_del_key(HKEY_LOCAL_MACHINE, "Software\\Tevra\\Other"), 0);
    ASSERT_EQ(vexhub_ntregy_set_rgy_passwd("again", nullptr), 0);
    ASSERT_EQ(vexhub_ntregy_del_veltrane_tree(nullptr), 0);
    EXPECT_EQ(vexhub_ntregy_get_handle(HKEY_LOCAL_MACHINE, "Software\\Tevra", KEY_READ, &k), ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(vexhub_ntregy_get_handle(HKEY_LOCAL_MACHINE, "Software", KEY_READ, &k), 0);
    vexhub_ntregy_close_key(k);
    // Nothing left to delete is no failure.
    EXPECT_EQ(vexhub_ntregy_del_veltrane_tree(nullptr), 0);
}

TEST_F(NtRegistry, DriverParameters) {
    EXPECT_EQ(vexhub_ntregy_get_tarnfs_datatype(0), int32_t(REG_DWORD));
    for (int row : {21, 22, 25, 28, 29, 52, 54, 55}) EXPECT_EQ(vexhub_ntregy_get_tarnfs_datatype(row), int32_t(REG_SZ));
    EXPECT_EQ(vexhub_ntregy_get_tarnfs_datatype(57), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(vexhub_ntregy_get_tarnfs_datatype(-1), ERROR_INVALID_PARAMETER);

    EXPECT_EQ(vexhub_ntregy_set_tarnfs_param(21, "@@", nullptr), ERROR_BAD_ARGUMENTS);
    EXPECT_EQ(vexhub_ntregy_set_tarnfs_param(57, "x", nullptr), ERROR_INVALID_PARAMETER);
    ASSERT_EQ(vexhub_ntregy_set_tarnfs_param(1, reinterpret_cast<void const *>(uintptr_t(8192)), nullptr), 0);
    uint32_t n = 0;
    ASSERT_EQ(vexhub_ntregy_get_tarnfs_param(1, &n, 4, nullptr), 0);
    EXPECT_EQ(n, 8192u);
    EXPECT_EQ(raw(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\tarnfs\\Parameters", "auditbufsiz"),
              (std::vector<uint8_t>{0x00, 0x20, 0, 0}));
    EXPECT_EQ(vexhub_ntregy_get_installed_tarnfs_param(1, &n, 4, nullptr), ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(vexhub_ntregy_create_value(HKEY_LOCAL_MACHINE,
                                         "SYSTEM\\CurrentControlSet\\Services\\tarnfs\\InstallParameters", "drive", "Q",
                                         2, REG_SZ, nullptr),
              0);
    char buf[16] = {};
    ASSERT_EQ(vexhub_ntregy_get_installed_tarnfs_param(25, buf, sizeof buf, nullptr), 0);
    EXPECT_STREQ(buf, "Q");
    ASSERT_EQ(vexhub_ntregy_del_tarnfs_param(1), 0);
    EXPECT_EQ(vexhub_ntregy_get_tarnfs_param(1, &n, 4, nullptr), ERROR_FILE_NOT_FOUND);

    // Defaults.
    char ten[10];
    EXPECT_EQ(vexhub_ntregy_get_default_param(22, ten, sizeof ten), 1); // "\DosDevices\C:\tarnfslogs"
    char big[64];
    ASSERT_EQ(vexhub_ntregy_get_default_param(22, big, sizeof big), 0);
    EXPECT_STREQ(big, "\\DosDevices\\C:\\tarnfslogs");
    ASSERT_EQ(vexhub_ntregy_get_default_param(35, &n, 4), 0);
    EXPECT_EQ(n, 172800u);
    EXPECT_EQ(vexhub_ntregy_get_default_param(35, big, 3), 1);
    ASSERT_EQ(vexhub_ntregy_get_default_param(56, &n, 4), 0);
    EXPECT_EQ(n, 10u);
    EXPECT_EQ(vexhub_ntregy_get_default_param(57, big, sizeof big), ERROR_INVALID_PARAMETER);

    ASSERT_EQ(vexhub_ntregy_default_tarnfs_param(25, nullptr), 0);
    ASSERT_EQ(vexhub_ntregy_get_tarnfs_param(25, buf, sizeof buf, nullptr), 0);
    EXPECT_STREQ(buf, "M");
    ASSERT_EQ(vexhub_ntregy_default_tarnfs_param(24, nullptr), 0);
    ASSERT_EQ(vexhub_ntregy_get_tarnfs_param(24, &n, 4, nullptr), 0);
    EXPECT_EQ(n, 371u);
    EXPECT_EQ(vexhub_ntregy_default_tarnfs_param(21, nullptr), 0);
    EXPECT_EQ(vexhub_ntregy_get_tarnfs_param(21, buf, sizeof buf, nullptr), ERROR_FILE_NOT_FOUND);

    int zeros = 0;
    for (int row = 0; row < 57; ++row) zeros += vexhub_ntregy_should_install_default_tarnfs_param(row) == 0;
    EXPECT_EQ(zeros, 26);
    EXPECT_EQ(vexhub_ntregy_should_install_default_tarnfs_param(1), 1);
    EXPECT_EQ(vexhub_ntregy_should_install_default_tarnfs_param(48), 0);
    EXPECT_EQ(vexhub_ntregy_should_install_default_tarnfs_param(57), ERROR_INVALID_PARAMETER);
}
