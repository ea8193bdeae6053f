#include "kxwin/registry.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

class RegistryStore : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/kxreg_test_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        kxwin_registry_set_root(dir_.c_str());
    }
    void TearDown() override {
        kxwin_registry_set_root(nullptr);
        fs::remove_all(dir_);
    }
    HKEY create(HKEY root, char const *path, REGSAM sam = KEY_ALL_ACCESS) {
        HKEY k = nullptr;
        EXPECT_EQ(RegCreateKeyExA(root, path, 0, nullptr, 0, sam, nullptr, &k, nullptr), 0);
        return k;
    }
    static int32_t set_sz(HKEY k, char const *name, char const *text) {
        return RegSetValueExA(k, name, 0, REG_SZ, reinterpret_cast<uint8_t const *>(text),
                              static_cast<uint32_t>(std::strlen(text) + 1));
    }
    static std::string get_sz(HKEY k, char const *name, int32_t *rc = nullptr) {
        char buf[256] = {};
        uint32_t size = sizeof buf, type = 0;
        int32_t r = RegQueryValueExA(k, name, nullptr, &type, reinterpret_cast<uint8_t *>(buf), &size);
        if (rc) *rc = r;
        return r == 0 ? std::string(buf) : std::string();
    }
    std::string dir_;
};

} // namespace

TEST_F(RegistryStore, CreateOpenAndCaseInsensitiveNames) {
    uint32_t disp = 0;
    HKEY k = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Maker\\Product", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &k, &disp),
              0);
    EXPECT_EQ(disp, REG_CREATED_NEW_KEY);
    ASSERT_EQ(set_sz(k, "Name", "value"), 0);
    EXPECT_EQ(RegCloseKey(k), 0);

    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\maker\\PRODUCT", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &k, &disp),
              0);
    EXPECT_EQ(disp, REG_OPENED_EXISTING_KEY);
    EXPECT_EQ(get_sz(k, "NAME"), "value");
    RegCloseKey(k);

    // The hives are separate.
    HKEY u = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Maker", 0, KEY_READ, &u), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(u, nullptr);

    // Enumeration gives the stored spelling.
    HKEY m = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "software\\maker", 0, KEY_READ, &m), 0);
    char name[32];
    uint32_t n = sizeof name;
    ASSERT_EQ(RegEnumKeyExA(m, 0, name, &n, nullptr, nullptr, nullptr, nullptr), 0);
    EXPECT_STREQ(name, "Product");
    EXPECT_EQ(n, 7u);
    n = sizeof name;
    EXPECT_EQ(RegEnumKeyExA(m, 1, name, &n, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
    RegCloseKey(m);
}

TEST_F(RegistryStore, ErrorCodes) {
    HKEY k = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Nope", 0, KEY_READ, &k), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "A", 0, KEY_READ, nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "\\A", 0, KEY_READ, &k), ERROR_BAD_PATHNAME);
    EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, nullptr, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, std::string(256, 'x').c_str(), 0, KEY_READ, &k),
              ERROR_INVALID_PARAMETER);

    HKEY a = create(HKEY_LOCAL_MACHINE, "A\\B");
    RegCloseKey(a);
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "A"), ERROR_ACCESS_DENIED); // it has a subkey
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "A\\C"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, ""), ERROR_INVALID_PARAMETER);

    // A handle to a deleted key answers 1018; closing it still works, once.
    HKEY b = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "A\\B", 0, KEY_ALL_ACCESS, &b), 0);
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "A\\B"), 0);
    EXPECT_EQ(set_sz(b, "x", "y"), ERROR_KEY_DELETED);
    // Recreating the path does not revive the old handle.
    RegCloseKey(create(HKEY_LOCAL_MACHINE, "A\\B"));
    EXPECT_EQ(set_sz(b, "x", "y"), ERROR_KEY_DELETED);
    EXPECT_EQ(RegCloseKey(b), 0);
    EXPECT_EQ(RegCloseKey(b), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegQueryValueExA(reinterpret_cast<HKEY>(0x1234), "x", nullptr, nullptr, nullptr, nullptr),
              ERROR_INVALID_HANDLE);

    // Access rights are enforced.
    HKEY ro = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "A", 0, KEY_READ, &ro), 0);
    EXPECT_EQ(set_sz(ro, "x", "y"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteValueA(ro, "x"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegCreateKeyExA(ro, "New", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr), ERROR_ACCESS_DENIED);
    RegCloseKey(ro);
    HKEY wo = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "A", 0, KEY_WRITE, &wo), 0);
    EXPECT_EQ(set_sz(wo, "x", "y"), 0);
    int32_t rc = 0;
    get_sz(wo, "x", &rc);
    EXPECT_EQ(rc, ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteValueA(wo, "missing"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteValueA(wo, "X"), 0);
    RegCloseKey(wo);

    // Remote registries are never reachable; the local one is the root itself.
    HKEY r = nullptr;
    EXPECT_EQ(RegConnectRegistryA("\\\\elsewhere", HKEY_LOCAL_MACHINE, &r), ERROR_BAD_NETPATH);
    EXPECT_EQ(r, nullptr);
    EXPECT_EQ(RegConnectRegistryA(nullptr, HKEY_LOCAL_MACHINE, &r), 0);
    EXPECT_EQ(r, HKEY_LOCAL_MACHINE);
}

TEST_F(RegistryStore, QueryBufferSizes) {
    HKEY k = create(HKEY_CURRENT_USER, "K");
    ASSERT_EQ(set_sz(k, "s", "hello"), 0);
    uint32_t size = 0, type = 0;
    EXPECT_EQ(RegQueryValueExA(k, "s", nullptr, &type, nullptr, &size), 0);
    EXPECT_EQ(size, 6u);
    EXPECT_EQ(type, REG_SZ);
    char buf[8];
    std::memset(buf, '#', sizeof buf);
    size = 5;
    EXPECT_EQ(RegQueryValueExA(k, "s", nullptr, &type, reinterpret_cast<uint8_t *>(buf), &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 6u);
    EXPECT_EQ(buf[0], '#'); // nothing written on 234
    EXPECT_EQ(RegQueryValueExA(k, "s", nullptr, &type, reinterpret_cast<uint8_t *>(buf), nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegQueryValueExA(k, "missing", nullptr, &type, nullptr, &size), ERROR_FILE_NOT_FOUND);
    // The default value has the empty name.
    uint32_t dw = 0x01020304;
    ASSERT_EQ(RegSetValueExA(k, nullptr, 0, REG_DWORD, reinterpret_cast<uint8_t *>(&dw), 4), 0);
    uint32_t out = 0;
    size = 4;
    EXPECT_EQ(RegQueryValueExA(k, "", nullptr, &type, reinterpret_cast<uint8_t *>(&out), &size), 0);
    EXPECT_EQ(out, dw);
    EXPECT_EQ(type, REG_DWORD);
    RegCloseKey(k);
}

TEST_F(RegistryStore, EnumValuesInCreationOrderWithinBuffers) {
    HKEY k = create(HKEY_LOCAL_MACHINE, "E");
    ASSERT_EQ(set_sz(k, "zeta", "1"), 0);
    ASSERT_EQ(set_sz(k, "alpha", "22"), 0);
    ASSERT_EQ(set_sz(k, "Zeta", "333"), 0); // same value, replaced in place
    char name[16];
    uint8_t data[16];
    uint32_t ns = sizeof name, ds = sizeof data, type = 0;
    ASSERT_EQ(RegEnumValueA(k, 0, name, &ns, nullptr, &type, data, &ds), 0);
    EXPECT_STREQ(name, "zeta");
    EXPECT_EQ(ds, 4u);
    EXPECT_STREQ(reinterpret_cast<char *>(data), "333");
    ns = sizeof name;
    ds = sizeof data;
    ASSERT_EQ(RegEnumValueA(k, 1, name, &ns, nullptr, &type, data, &ds), 0);
    EXPECT_STREQ(name, "alpha");
    ns = 5; // "alpha" needs 6 with its NUL
    ds = sizeof data;
    EXPECT_EQ(RegEnumValueA(k, 1, name, &ns, nullptr, &type, data, &ds), ERROR_MORE_DATA);
    ns = sizeof name;
    ds = 2;
    EXPECT_EQ(RegEnumValueA(k, 1, name, &ns, nullptr, &type, data, &ds), ERROR_MORE_DATA);
    EXPECT_EQ(ds, 3u);
    ns = sizeof name;
    ds = sizeof data;
    EXPECT_EQ(RegEnumValueA(k, 2, name, &ns, nullptr, &type, data, &ds), ERROR_NO_MORE_ITEMS);

    uint32_t subkeys = 9, values = 0, max_name = 0;
    FILETIME ft{};
    char cls[2];
    uint32_t cls_size = sizeof cls;
    EXPECT_EQ(RegQueryInfoKeyA(k, cls, &cls_size, nullptr, &subkeys, nullptr, nullptr, &values, &max_name, nullptr,
                               nullptr, &ft),
              0);
    EXPECT_EQ(subkeys, 0u);
    EXPECT_EQ(values, 2u);
    EXPECT_EQ(max_name, 5u);
    uint64_t t = (uint64_t(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    uint64_t now = 116444736000000000ull + uint64_t(time(nullptr)) * 10000000ull;
    EXPECT_LE(t, now + 20000000ull);
    EXPECT_GE(t + 600000000ull, now);
    RegCloseKey(k);
}

TEST_F(RegistryStore, PersistsOddNamesAndSharesWithOtherProcesses) {
    HKEY k = create(HKEY_LOCAL_MACHINE, "Odd key%20\\sub");
    uint8_t bin[] = {0, 1, 0xFF, '\n', ' '};
    ASSERT_EQ(RegSetValueExA(k, "name with space%\n", 0, REG_BINARY, bin, sizeof bin), 0);
    RegCloseKey(k);

    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        // Another process sees the value and adds its own.
        HKEY c = nullptr;
        int ok = RegOpenKeyExA(HKEY_LOCAL_MACHINE, "odd KEY%20\\SUB", 0, KEY_ALL_ACCESS, &c) == 0;
        uint8_t got[8];
        uint32_t size = sizeof got;
        ok = ok && RegQueryValueExA(c, "NAME WITH SPACE%\n", nullptr, nullptr, got, &size) == 0 && size == 5 &&
             std::memcmp(got, bin, 5) == 0;
        ok = ok && set_sz(c, "child", "was here") == 0;
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Odd key%20\\sub", 0, KEY_READ, &k), 0);
    EXPECT_EQ(get_sz(k, "child"), "was here");
    RegCloseKey(k);
    EXPECT_TRUE(fs::exists(dir_ + "/HKEY_LOCAL_MACHINE.reg"));
    EXPECT_FALSE(fs::exists(dir_ + "/HKEY_CURRENT_USER.reg"));
}

TEST_F(RegistryStore, DamagedFileIsRefusedNotOverwritten) {
    {
        std::ofstream f(dir_ + "/HKEY_CURRENT_USER.reg");
        f << "not a registry\n";
    }
    HKEY k = nullptr;
    EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "X", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr),
              ERROR_REGISTRY_IO_FAILED);
    std::ifstream f(dir_ + "/HKEY_CURRENT_USER.reg");
    std::string line;
    std::getline(f, line);
    EXPECT_EQ(line, "not a registry");
}

TEST_F(RegistryStore, ConcurrentWritersLoseNothing) {
    std::vector<std::thread> ts;
    for (int t = 0; t < 4; ++t)
        ts.emplace_back([this, t] {
            HKEY k = create(HKEY_CURRENT_USER, "Shared");
            for (int i = 0; i < 25; ++i) {
                std::string name = "v" + std::to_string(t) + "_" + std::to_string(i);
                EXPECT_EQ(set_sz(k, name.c_str(), name.c_str()), 0);
            }
            RegCloseKey(k);
        });
    for (auto &t : ts) t.join();
    HKEY k = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Shared", 0, KEY_READ, &k), 0);
    uint32_t values = 0;
    ASSERT_EQ(RegQueryInfoKeyA(k, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr, nullptr,
                               nullptr, nullptr),
              0);
    EXPECT_EQ(values, 100u);
    EXPECT_EQ(get_sz(k, "V3_24"), "v3_24");
    RegCloseKey(k);
}

TEST_F(RegistryStore, ReadingMakesNothingOnDisk) {
    std::string root = dir_ + "/not/yet";
    kxwin_registry_set_root(root.c_str());
    HKEY k = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software", 0, KEY_READ, &k), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(fs::exists(root));
    k = create(HKEY_LOCAL_MACHINE, "Software");
    RegCloseKey(k);
    EXPECT_TRUE(fs::exists(root + "/HKEY_LOCAL_MACHINE.reg"));
    EXPECT_EQ(fs::status(root).permissions() & fs::perms::all, fs::perms::owner_all);
}
