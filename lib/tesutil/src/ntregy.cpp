#include "tesutil/ntregy.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct RegParam {
    char const *name; // null: a setting this library does not carry
    HKEY root;
    uint32_t type;
};

constexpr int reg_param_rows = 69;

// The product's settings that this library reads and writes by number.
RegParam const *reg_param(int row) {
    static std::array<RegParam, reg_param_rows> const table = [] {
        std::array<RegParam, reg_param_rows> t{};
        for (auto &r : t) r = {nullptr, HKEY_LOCAL_MACHINE, REG_SZ};
        t[6] = {"ProductInfoKeys", HKEY_LOCAL_MACHINE, REG_MULTI_SZ};
        t[19] = {"PersistentVOBs", HKEY_CURRENT_USER, REG_SZ};
        t[20] = {"RecentlyUsedViews", HKEY_CURRENT_USER, REG_SZ};
        t[21] = {"RecentlyUsedViewsMaxLen", HKEY_CURRENT_USER, REG_DWORD};
        t[62] = {"DisableUnicodeLongPath", HKEY_LOCAL_MACHINE, REG_DWORD};
        return t;
    }();
    if (row < 0 || row >= reg_param_rows || !table[row].name) return nullptr;
    return &table[row];
}

struct DriverParam {
    char const *name;
    uint32_t type;
    char const *text; // default of string rows
    uint32_t number;  // default of number rows
};

constexpr DriverParam driver_params[] = {
    {"acenabled", REG_DWORD, nullptr, 1},
    {"auditbufsiz", REG_DWORD, nullptr, 16384},
    {"cowbufsiz", REG_DWORD, nullptr, 4096},
    {"ctoenabled", REG_DWORD, nullptr, 1},
    {"cvpfreemax", REG_DWORD, nullptr, 0},
    {"dncdirmax", REG_DWORD, nullptr, 0},
    {"dncenabled", REG_DWORD, nullptr, 1},
    {"dncnoentenabled", REG_DWORD, nullptr, 1},
    {"dncnoentmax", REG_DWORD, nullptr, 0},
    {"dncregmax", REG_DWORD, nullptr, 0},
    {"duplsearchmax", REG_DWORD, nullptr, 40},
    {"idleview_timeout", REG_DWORD, nullptr, 300},
    {"largeinit", REG_DWORD, nullptr, 1},
    {"major", REG_DWORD, nullptr, 200},
    {"max_rpcdelay", REG_DWORD, nullptr, 30},
    {"mnmax", REG_DWORD, nullptr, 0},
    {"rebind_dir_enable", REG_DWORD, nullptr, 1},
    {"rebind_view_enable", REG_DWORD, nullptr, 1},
    {"rlenabled", REG_DWORD, nullptr, 1},
    {"rvcenabled", REG_DWORD, nullptr, 1},
    {"vobfreemax", REG_DWORD, nullptr, 0},
    {"xnsuffix", REG_SZ, "@@", 0},
    {"logdir", REG_SZ, "\\DosDevices\\C:\\tarnfslogs", 0},
    {"ciflag", REG_DWORD, nullptr, 1},
    {"tlbdwkp", REG_DWORD, nullptr, 371},
    {"drive", REG_SZ, "M", 0},
    {"logonaction", REG_DWORD, nullptr, 0},
    {"rpccache", REG_DWORD, nullptr, 0},
    {"view_netname", REG_SZ, "view", 0},
    {"ulogdir", REG_SZ, "C:\\tarnfslogs", 0},
    {"viewtagdiropt", REG_DWORD, nullptr, 1},
    {"vtcredscantime", REG_DWORD, nullptr, 60},
    {"rddirblocks", REG_DWORD, nullptr, 0},
    {"view_rebind_timeout", REG_DWORD, nullptr, 7200},
    {"vobfreemin", REG_DWORD, nullptr, 0},
    {"age_cvp_time_sec", REG_DWORD, nullptr, 172800},
    {"cvpfreemin", REG_DWORD, nullptr, 0},
    {"vobhashtab_sz", REG_DWORD, nullptr, 0},
    {"cvphashtab_sz", REG_DWORD, nullptr, 0},
    {"dnchashtab_sz", REG_DWORD, nullptr, 0},
    {"threadhashtab_sz", REG_DWORD, nullptr, 0},
    {"prochashtab_sz", REG_DWORD, nullptr, 0},
    {"otherhashtab_sz", REG_DWORD, nullptr, 0},
    {"vobfreehashtab_sz", REG_DWORD, nullptr, 0},
    {"logbuffer_sz", REG_DWORD, nullptr, 100},
    {"logbuffer_write_sz", REG_DWORD, nullptr, 40},
    {"Tot_Allocation_kunits", REG_DWORD, nullptr, 160000},
    {"Avail_Allocation_kunits", REG_DWORD, nullptr, 100000},
    {"ctxt_atime_refresh", REG_DWORD, nullptr, 3600},
    {"MiniFilterMask", REG_DWORD, nullptr, 0},
    {"TarnfsViewAttachMup", REG_DWORD, nullptr, 0},
    {"rdcenabled", REG_DWORD, nullptr, 1},
    {"HistoryModeSuffix", REG_SZ, "@@", 0},
    {"LeakFinder", REG_DWORD, nullptr, 0},
    {"drive_au", REG_SZ, "R", 0},
    {"rview_netname", REG_SZ, "rview", 0},
    {"max_lpcdelay", REG_DWORD, nullptr, 10},
};
constexpr int driver_param_rows = sizeof driver_params / sizeof driver_params[0];
static_assert(driver_param_rows == 57);

DriverParam const *driver_param(int row) { return row >= 0 && row < driver_param_rows ? &driver_params[row] : nullptr; }

constexpr int read_only_driver_row = 21;
constexpr uint32_t list_buffer_size = 8192;
constexpr int row_product_info = 6, row_persistent = 19, row_recent = 20, row_recent_max = 21;

char const driver_key[] = "\\SYSTEM\\CurrentControlSet\\Services\\tarnfs\\Parameters";
char const driver_install_key[] = "\\SYSTEM\\CurrentControlSet\\Services\\tarnfs\\InstallParameters";

// The words the product key is made of.
char const maker_word[64] = "Tevra";
char const product_word[64] = "Veltrane";
char const version_word[64] = "CurrentVersion";

struct CommonKeys {
    char full[256];
    char mfc[256];
    CommonKeys() {
        std::string f = std::string("\\Software\\") + maker_word;
        std::string m = maker_word;
        for (char const *w : {product_word, version_word}) {
            if (!*w) continue;
            f += std::string("\\") + w;
            m += std::string("\\") + w;
        }
        std::snprintf(full, sizeof full, "%s", f.c_str());
        std::snprintf(mfc, sizeof mfc, "%s", m.c_str());
    }
};

CommonKeys const &common_keys() {
    static CommonKeys const keys;
    return keys;
}

char const *skip_backslashes(char const *s) {
    while (*s == '\\') ++s;
    return s;
}

// The root to use for a machine: the local one, or a connection the caller closes.
class Root {
public:
    Root(char const *machine, HKEY root) : root_(root), remote_(machine != nullptr) {
        if (remote_) rc_ = vexhub_ntregy_connect_remote(machine, root, &root_);
    }
    Root(Root const &) = delete;
    Root &operator=(Root const &) = delete;
    ~Root() {
        if (remote_ && rc_ == 0) vexhub_ntregy_close_key(root_);
    }
    int32_t error() const { return rc_; }
    operator HKEY() const { return root_; }

private:
    HKEY root_;
    bool remote_;
    int32_t rc_ = 0;
};

void close_if(HKEY key) {
    if (key) vexhub_ntregy_close_key(key);
}

int32_t read_and_close(HKEY root, char const *subkey, char const *name, void *buf, uint32_t size) {
    HKEY k = nullptr;
    int32_t rc = vexhub_ntregy_get_value(root, subkey, name, buf, size, &k);
    close_if(k);
    return rc;
}

int32_t write_and_close(HKEY root, char const *path, char const *name, void const *data, uint32_t size, uint32_t type) {
    HKEY k = nullptr;
    int32_t rc = vexhub_ntregy_create_value(root, path, name, data, size, type, &k);
    close_if(k);
    return rc;
}

// Bytes of a multi-string: every string with its NUL, and the closing NUL.
uint32_t multi_sz_size(char const *p) {
    char const *s = p;
    while (*s) s += std::strlen(s) + 1;
    return static_cast<uint32_t>(s - p + 1);
}

// The size to write for data of a type, or -1 for a type that is not handled.
int64_t data_size(uint32_t type, void const *data) {
    switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
        return static_cast<int64_t>(std::strlen(static_cast<char const *>(data)) + 1);
    case REG_DWORD:
    case REG_DWORD_BIG_ENDIAN:
        return 4;
    case REG_MULTI_SZ:
        return multi_sz_size(static_cast<char const *>(data));
    default:
        return -1;
    }
}

std::string app_key(char const *app) { return std::string(common_keys().full) + "\\" + app; }

// --- comma-separated lists ---------------------------------------------------------------------

// Reads a list row. A missing value is an empty list; any other failure is passed on, so a list
// that exists but cannot be read is never overwritten.
int32_t read_list(int row, std::vector<std::string> &entries) {
    entries.clear();
    std::vector<char> buf(list_buffer_size + 1, '\0');
    int32_t rc = vexhub_ntregy_get_param(row, list_buffer_size, buf.data(), nullptr);
    if (rc == ERROR_FILE_NOT_FOUND) return 0;
    if (rc) return rc;
    std::string text(buf.data());
    if (text.empty()) return 0;
    std::size_t start = 0;
    for (;;) {
        std::size_t comma = text.find(',', start);
        entries.push_back(text.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return 0;
}

std::string join(std::vector<std::string> const &entries) {
    std::string r;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (i) r += ',';
        r += entries[i];
    }
    return r;
}

int32_t write_list(int row, std::vector<std::string> const &entries) {
    std::string text = join(entries);
    return vexhub_ntregy_set_param(row, text.c_str(), nullptr);
}

int32_t remove_from_list(int row, char const *name) {
    std::vector<std::string> entries;
    if (int32_t rc = read_list(row, entries)) return rc;
    for (auto it = entries.begin(); it != entries.end(); ++it) {
        if (*it == name) {
            entries.erase(it);
            break;
        }
    }
    return write_list(row, entries);
}

int32_t driver_read(char const *key, int row, void *buf, uint32_t size, char const *machine) {
    DriverParam const *p = driver_param(row);
    if (!p) return ERROR_INVALID_PARAMETER;
    Root root(machine, HKEY_LOCAL_MACHINE);
    if (root.error()) return root.error();
    return read_and_close(root, key, p->name, buf, size);
}

int32_t common_key_modtime(FILETIME *time, char const *machine) {
    if (!time) return ERROR_INVALID_PARAMETER;
    Root root(machine, HKEY_LOCAL_MACHINE);
    if (root.error()) return root.error();
    HKEY k = nullptr;
    int32_t rc = vexhub_ntregy_get_handle(root, common_keys().full, KEY_READ, &k);
    if (rc) return rc;
    char key_class[10];
    uint32_t class_size = sizeof key_class;
    rc = RegQueryInfoKeyA(k, key_class, &class_size, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                          nullptr, time);
    vexhub_ntregy_close_key(k);
    return rc == ERROR_MORE_DATA ? 0 : rc;
}

} // namespace

extern "C" {

int32_t vexhub_ntregy_close_key(HKEY key) { return RegCloseKey(key); }

int32_t vexhub_ntregy_connect_remote(char const *machine, HKEY root, HKEY *result) {
    return RegConnectRegistryA(machine, root, result);
}

int32_t vexhub_ntregy_get_handle(HKEY root, char const *subkey, REGSAM access, HKEY *result) {
    if (!subkey || !result) return ERROR_INVALID_PARAMETER;
    return RegOpenKeyExA(root, skip_backslashes(subkey), 0, access, result);
}

int32_t vexhub_ntregy_get_value(HKEY root, char const *subkey, char const *value_name, void *data, uint32_t size,
                                HKEY *result) {
    if (result) *result = nullptr;
    if (!subkey) return ERROR_INVALID_PARAMETER;
    HKEY k = nullptr;
    int32_t rc = RegOpenKeyExA(root, skip_backslashes(subkey), 0, KEY_READ, &k);
    if (rc) return rc;
    if (data) {
        auto *bytes = static_cast<uint8_t *>(data);
        uint32_t type = 0, got = size;
        rc = RegQueryValueExA(k, value_name, nullptr, &type, bytes, &got);
        if (rc == 0) {
            bool is_string = type == REG_SZ || type == REG_EXPAND_SZ;
            // A multi-string gets one more NUL; a string stored without its NUL gets one. Either
            // must fit the caller's buffer.
            bool needs_nul = type == REG_MULTI_SZ || (is_string && (got == 0 || bytes[got - 1] != 0));
            if (needs_nul) {
                if (got >= size)
                    rc = ERROR_MORE_DATA;
                else
                    bytes[got] = 0;
            }
        }
        if (rc) {
            RegCloseKey(k);
            return rc;
        }
    }
    if (result)
        *result = k;
    else
        RegCloseKey(k);
    return 0;
}

int32_t vexhub_ntregy_create_value(HKEY root, char const *key_path, char const *value_name, void const *data,
                                   uint32_t size, uint32_t type, HKEY *result) {
    if (result) *result = nullptr;
    if (!key_path) return ERROR_INVALID_PARAMETER;
    std::vector<std::string> parts;
    std::string part;
    for (char const *p = key_path;; ++p) {
        if (*p == '\\' || *p == '\0') {
            if (!part.empty()) parts.push_back(part);
            part.clear();
            if (!*p) break;
        } else {
            part += *p;
        }
    }
    // Walk down what exists; the handles may create below themselves for the rest.
    HKEY cur = root;
    std::size_t i = 0;
    for (; i < parts.size(); ++i) {
        HKEY next = nullptr;
        int32_t rc = RegOpenKeyExA(cur, parts[i].c_str(), 0, KEY_READ | KEY_CREATE_SUB_KEY, &next);
        if (rc == ERROR_FILE_NOT_FOUND) break;
        if (cur != root) RegCloseKey(cur);
        if (rc) return rc;
        cur = next;
    }
    HKEY key = nullptr;
    if (i == parts.size()) {
        int32_t rc = RegOpenKeyExA(cur, nullptr, 0, KEY_WRITE, &key);
        if (cur != root) RegCloseKey(cur);
        if (rc) return rc;
    } else {
        for (; i < parts.size(); ++i) {
            HKEY next = nullptr;
            char empty_class[1] = "";
            int32_t rc = RegCreateKeyExA(cur, parts[i].c_str(), 0, empty_class, REG_OPTION_NON_VOLATILE, KEY_WRITE,
                                         nullptr, &next, nullptr);
            if (cur != root) RegCloseKey(cur);
            if (rc) return rc;
            cur = next;
        }
        key = cur;
    }
    int32_t rc = RegSetValueExA(key, value_name, 0, type, static_cast<uint8_t const *>(data), size);
    if (rc) {
        if (key != root) RegCloseKey(key);
        return rc;
    }
    if (result)
        *result = key;
    else if (key != root)
        RegCloseKey(key);
    return 0;
}

int32_t vexhub_ntregy_del_value(HKEY root, char const *subkey, char const *value_name) {
    if (!subkey) return ERROR_INVALID_PARAMETER;
    HKEY k = nullptr;
    int32_t rc = RegOpenKeyExA(root, skip_backslashes(subkey), 0, KEY_WRITE, &k);
    if (rc) return rc;
    rc = RegDeleteValueA(k, value_name);
    RegCloseKey(k);
    return rc;
}

int32_t vexhub_ntregy_del_key(HKEY root, char const *key_path) {
    if (!key_path) return ERROR_INVALID_PARAMETER;
    std::string path = skip_backslashes(key_path);
    std::size_t last = path.rfind('\\');
    if (last == std::string::npos) return RegDeleteKeyA(root, path.c_str());
    HKEY parent = nullptr;
    int32_t rc = RegOpenKeyExA(root, path.substr(0, last).c_str(), 0, KEY_WRITE, &parent);
    if (rc) return rc;
    rc = RegDeleteKeyA(parent, path.c_str() + last + 1);
    RegCloseKey(parent);
    return rc;
}

int32_t vexhub_ntregy_enum_subkeys(HKEY key, uint32_t index, char *name, uint32_t *name_size) {
    return RegEnumKeyExA(key, index, name, name_size, nullptr, nullptr, nullptr, nullptr);
}

int32_t vexhub_ntregy_enum_value(HKEY key, uint32_t index, char *name, uint32_t *name_size, uint32_t *type, void *data,
                                 uint32_t *data_size) {
    if (!data) return RegEnumValueA(key, index, name, name_size, nullptr, type, nullptr, data_size);
    if (!data_size) return ERROR_INVALID_PARAMETER;
    uint32_t room = *data_size;
    if (room == 0) {
        // No room even for the NUL: report the size the data needs.
        int32_t rc = RegEnumValueA(key, index, name, name_size, nullptr, type, nullptr, data_size);
        return rc ? rc : ERROR_MORE_DATA;
    }
    // Keep one byte back for the NUL that ends the data.
    uint32_t got = room - 1;
    int32_t rc = RegEnumValueA(key, index, name, name_size, nullptr, type, static_cast<uint8_t *>(data), &got);
    *data_size = got;
    if (rc) return rc;
    static_cast<char *>(data)[got] = '\0';
    return 0;
}

char const *vexhub_ntregy_get_common_key(void) { return common_keys().full; }
char const *vexhub_ntregy_get_common_key_mfc_style(void) { return common_keys().mfc; }

int32_t vexhub_ntregy_get_common_key_modtime(FILETIME *time, char const *machine) {
    return common_key_modtime(time, machine);
}
int32_t vexhub_ntregy_modtime_product_info_keys(FILETIME *time, char const *machine) {
    return common_key_modtime(time, machine);
}
int32_t vexhub_ntregy_modtime_vtrgy_keys(FILETIME *time, char const *machine) {
    return common_key_modtime(time, machine);
}

int32_t vexhub_ntregy_get_param(int row, uint32_t size, void *buffer, char const *machine) {
    RegParam const *p = reg_param(row);
    if (!p) return ERROR_INVALID_PARAMETER;
    Root root(machine, p->root);
    if (root.error()) return root.error();
    return read_and_close(root, common_keys().full, p->name, buffer, size);
}

int32_t vexhub_ntregy_set_param(int row, void const *data, char const *machine) {
    RegParam const *p = reg_param(row);
    if (!p || !data) return ERROR_INVALID_PARAMETER;
    Root root(machine, p->root);
    if (root.error()) return root.error();
    int64_t size = data_size(p->type, data);
    if (size < 0) return ERROR_INVALID_PARAMETER;
    return write_and_close(root, common_keys().full, p->name, data, static_cast<uint32_t>(size), p->type);
}

int32_t vexhub_ntregy_del_param(int row, char const *machine) {
    RegParam const *p = reg_param(row);
    if (!p) return ERROR_INVALID_PARAMETER;
    Root root(machine, p->root);
    if (root.error()) return root.error();
    return vexhub_ntregy_del_value(root, common_keys().full, p->name);
}

int32_t vexhub_ntregy_get_datatype(int row) {
    RegParam const *p = reg_param(row);
    return p ? static_cast<int32_t>(p->type) : ERROR_INVALID_PARAMETER;
}

int32_t vexhub_ntregy_get_app_param(char const *app, char const *value_name, uint32_t size, void *buffer,
                                    char const *machine) {
    if (!app) return ERROR_INVALID_PARAMETER;
    Root root(machine, HKEY_CURRENT_USER);
    if (root.error()) return root.error();
    return read_and_close(root, app_key(app).c_str(), value_name, buffer, size);
}

int32_t vexhub_ntregy_set_app_param(char const *app, char const *value_name, uint32_t type, void const *data,
                                    char const *machine) {
    if (!app || !data) return ERROR_INVALID_PARAMETER;
    int64_t size = data_size(type, data);
    if (size < 0) return ERROR_INVALID_PARAMETER;
    Root root(machine, HKEY_CURRENT_USER);
    if (root.error()) return root.error();
    return write_and_close(root, app_key(app).c_str(), value_name, data, static_cast<uint32_t>(size), type);
}

int32_t vexhub_ntregy_set_app_geometry(char const *app, long a, long b, long c, long d, char const *machine) {
    char text[100];
    std::snprintf(text, sizeof text, "%ld %ld %ld %ld", a, b, c, d);
    return vexhub_ntregy_set_app_param(app, "Geometry", REG_SZ, text, machine);
}

int32_t vexhub_ntregy_get_app_geometry(char const *app, long *a, long *b, long *c, long *d, char const *machine) {
    if (!a || !b || !c || !d) return ERROR_INVALID_PARAMETER;
    // One byte beyond what is read stays NUL, whatever the stored value holds.
    char text[51] = {};
    int32_t rc = vexhub_ntregy_get_app_param(app, "Geometry", 50, text, machine);
    if (rc) return rc;
    if (std::sscanf(text, "%ld %ld %ld %ld", a, b, c, d) != 4) return ERROR_INVALID_DATA;
    return 0;
}

int32_t vexhub_ntregy_update_product_info_keys(char const *text, char const *machine) {
    if (!text) return ERROR_INVALID_PARAMETER;
    std::string multi;
    for (char const *p = text; *p; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c == '\n')
            multi += '\0';
        else if (c >= 0x20 && c < 0x7F)
            multi += static_cast<char>(c);
    }
    bool ends_in_newline = *text && text[std::strlen(text) - 1] == '\n';
    multi += '\0';
    if (!ends_in_newline) multi += '\0';
    return vexhub_ntregy_set_param(row_product_info, multi.data(), machine);
}

int32_t vexhub_ntregy_add_persistent_vob(char const *name) {
    if (!name) return ERROR_INVALID_PARAMETER;
    std::vector<std::string> entries;
    if (int32_t rc = read_list(row_persistent, entries)) return rc;
    for (auto const &e : entries)
        if (e == name) return 0;
    if (join(entries).size() + std::strlen(name) >= list_buffer_size - 1) return ERROR_MORE_DATA;
    entries.emplace_back(name);
    return write_list(row_persistent, entries);
}

int32_t vexhub_ntregy_remove_persistent_vob(char const *name) {
    if (!name) return write_list(row_persistent, {});
    return remove_from_list(row_persistent, name);
}

int32_t vexhub_ntregy_add_to_recent_views(char const *view) {
    if (!view) return ERROR_INVALID_PARAMETER;
    uint32_t max = 0;
    if (vexhub_ntregy_get_param(row_recent_max, sizeof max, &max, nullptr) != 0) {
        max = 5;
        vexhub_ntregy_set_param(row_recent_max, &max, nullptr);
    }
    std::vector<std::string> old;
    if (int32_t rc = read_list(row_recent, old)) return rc;
    std::vector<std::string> entries;
    std::size_t length = 0;
    if (max > 0) {
        entries.emplace_back(view);
        length = entries.back().size();
    }
    for (auto const &e : old) {
        if (entries.size() >= max) break;
        if (e == view) continue;
        std::size_t grown = length + (entries.empty() ? 0 : 1) + e.size();
        if (grown >= list_buffer_size - 1) continue;
        entries.push_back(e);
        length = grown;
    }
    return write_list(row_recent, entries);
}

int32_t vexhub_ntregy_del_from_recent_views(char const *view) {
    if (!view) return ERROR_INVALID_PARAMETER;
    return remove_from_list(row_recent, view);
}

int32_t vexhub_ntregy_del_rgy_svrtype(char const *machine) {
    Root root(machine, HKEY_LOCAL_MACHINE);
    if (root.error()) return root.error();
    int32_t rc = vexhub_ntregy_del_value(root, common_keys().full, "ServerType");
    return rc == ERROR_FILE_NOT_FOUND ? 0 : rc;
}

int32_t vexhub_ntregy_get_rgy_passwd(char *buffer, uint32_t size, char const *machine) {
    Root root(machine, HKEY_LOCAL_MACHINE);
    if (root.error()) return root.error();
    std::string key = std::string(common_keys().full) + "\\Security";
    return read_and_close(root, key.c_str(), "RegPasswd", buffer, size);
}

int32_t vexhub_ntregy_set_rgy_passwd(char const *text, char const *machine) {
    if (!text) return ERROR_INVALID_PARAMETER;
    Root root(machine, HKEY_LOCAL_MACHINE);
    if (root.error()) return root.error();
    std::string key = std::string(common_keys().full) + "\\Security";
    return write_and_close(root, key.c_str(), "RegPasswd", text, static_cast<uint32_t>(std::strlen(text) + 1), REG_SZ);
}

int32_t vexhub_ntregy_del_veltrane_tree(char const *machine) {
    Root root(machine, HKEY_LOCAL_MACHINE);
    if (root.error()) return root.error();
    std::string path = std::string(common_keys().full) + "\\Security";
    for (;;) {
        std::size_t last = path.rfind('\\');
        if (last == std::string::npos || path == "\\Software") return 0;
        int32_t rc = vexhub_ntregy_del_key(root, path.c_str());
        if (rc == ERROR_ACCESS_DENIED) return 0; // a key still in use by others stays
        if (rc != 0 && rc != ERROR_FILE_NOT_FOUND) return rc;
        path.erase(last);
    }
}

int32_t vexhub_ntregy_get_tarnfs_datatype(int row) {
    DriverParam const *p = driver_param(row);
    return p ? static_cast<int32_t>(p->type) : ERROR_INVALID_PARAMETER;
}

int32_t vexhub_ntregy_get_tarnfs_param(int row, void *buffer, uint32_t size, char const *machine) {
    return driver_read(driver_key, row, buffer, size, machine);
}

int32_t vexhub_ntregy_get_installed_tarnfs_param(int row, void *buffer, uint32_t size, char const *machine) {
    return driver_read(driver_install_key, row, buffer, size, machine);
}

int32_t vexhub_ntregy_set_tarnfs_param(int row, void const *value, char const *machine) {
    DriverParam const *p = driver_param(row);
    if (!p) return ERROR_INVALID_PARAMETER;
    if (row == read_only_driver_row) return ERROR_BAD_ARGUMENTS;
    Root root(machine, HKEY_LOCAL_MACHINE);
    if (root.error()) return root.error();
    if (p->type == REG_SZ || p->type == REG_EXPAND_SZ) {
        if (!value) return ERROR_INVALID_PARAMETER;
        auto const *text = static_cast<char const *>(value);
        return write_and_close(root, driver_key, p->name, text, static_cast<uint32_t>(std::strlen(text) + 1), p->type);
    }
    if (p->type == REG_DWORD || p->type == REG_DWORD_BIG_ENDIAN) {
        auto number = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(value));
        return write_and_close(root, driver_key, p->name, &number, 4, p->type);
    }
    return write_and_close(root, driver_key, p->name, nullptr, 0, p->type);
}

int32_t vexhub_ntregy_del_tarnfs_param(int row) {
    DriverParam const *p = driver_param(row);
    if (!p) return ERROR_INVALID_PARAMETER;
    return vexhub_ntregy_del_value(HKEY_LOCAL_MACHINE, driver_key, p->name);
}

int32_t vexhub_ntregy_get_default_param(int row, void *buffer, uint32_t size) {
    DriverParam const *p = driver_param(row);
    if (!p || !buffer) return ERROR_INVALID_PARAMETER;
    if (p->type == REG_SZ || p->type == REG_EXPAND_SZ) {
        std::size_t n = std::strlen(p->text) + 1;
        if (n > size) return 1;
        std::memcpy(buffer, p->text, n);
        return 0;
    }
    if (p->type == REG_DWORD || p->type == REG_DWORD_BIG_ENDIAN) {
        if (size < 4) return 1;
        std::memcpy(buffer, &p->number, 4);
    }
    return 0;
}

int32_t vexhub_ntregy_default_tarnfs_param(int row, char const *machine) {
    DriverParam const *p = driver_param(row);
    if (!p) return ERROR_INVALID_PARAMETER;
    if (row == read_only_driver_row) return 0;
    void const *value = p->type == REG_SZ || p->type == REG_EXPAND_SZ
                            ? static_cast<void const *>(p->text)
                            : reinterpret_cast<void const *>(static_cast<uintptr_t>(p->number));
    return vexhub_ntregy_set_tarnfs_param(row, value, machine);
}

int32_t vexhub_ntregy_should_install_default_tarnfs_param(int row) {
    if (!driver_param(row)) return ERROR_INVALID_PARAMETER;
    switch (row) {
    case 0:
    case 3:
    case 4:
    case 5:
    case 6:
    case 7:
    case 8:
    case 9:
    case 15:
    case 17:
    case 18:
    case 19:
    case 20:
    case 21:
    case 27:
    case 32:
    case 34:
    case 35:
    case 36:
    case 37:
    case 38:
    case 39:
    case 40:
    case 41:
    case 48:
    case 51:
        return 0;
    default:
        return 1;
    }
}

} // extern "C"
