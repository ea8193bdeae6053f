#include "kxwin/registry.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace {

constexpr std::uint64_t unix_epoch_filetime = 116444736000000000ull;
constexpr std::size_t max_key_name = 255;
constexpr std::size_t max_value_name = 16383;

std::uint64_t now_filetime() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return unix_epoch_filetime + static_cast<std::uint64_t>(ts.tv_sec) * 10000000ull +
           static_cast<std::uint64_t>(ts.tv_nsec) / 100;
}

std::string fold(std::string const &s) {
    std::string r(s);
    for (char &c : r)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return r;
}

struct Value {
    std::string name;
    std::uint32_t type = REG_NONE;
    std::vector<std::uint8_t> data;
};

struct Key {
    std::string name;
    std::uint64_t id = 0;
    std::uint64_t last_write = 0;
    std::string key_class;
    std::vector<Value> values;                           // in the order they were created
    std::map<std::string, std::unique_ptr<Key>> subkeys; // by folded name

    Value *find_value(std::string const &n) {
        std::string f = fold(n);
        for (auto &v : values)
            if (fold(v.name) == f) return &v;
        return nullptr;
    }
    Key *find_subkey(std::string const &n) {
        auto it = subkeys.find(fold(n));
        return it == subkeys.end() ? nullptr : it->second.get();
    }
};

struct Hive {
    char const *file;
    Key root;
    std::uint64_t next_id = 2;
    // What the file looked like when it was last read or written.
    bool loaded = false;
    struct stat seen {};
    std::string dir;
};

Hive hives[2] = {{"HKEY_LOCAL_MACHINE.reg", {}, 2, false, {}, {}}, {"HKEY_CURRENT_USER.reg", {}, 2, false, {}, {}}};

} // namespace

struct kxwin_hkey {
    int hive;
    std::vector<std::string> path; // names as stored
    std::uint64_t id;              // the key this handle was opened on
    REGSAM sam;
};

namespace {

std::mutex store_mutex;
std::string root_override;
bool root_overridden = false;
std::set<kxwin_hkey *> live_handles;

std::string root_dir() {
    if (root_overridden) return root_override;
    if (char const *e = std::getenv("KXWIN_REGISTRY_ROOT"); e && *e) return e;
    if (char const *h = std::getenv("HOME"); h && *h) return std::string(h) + "/.kxwin/registry";
    return "/tmp/kxwin-registry-" + std::to_string(getuid());
}

int hive_of(HKEY k) {
    if (k == HKEY_LOCAL_MACHINE) return 0;
    if (k == HKEY_CURRENT_USER) return 1;
    return -1;
}

// --- the hive files ----------------------------------------------------------------------------
// Text, one record a line:
//   kxwin-registry 1 <next id>
//   K <id> <last write> =<class> =<name>\<name>...      a key (the hive's root has no names)
//   V <type> =<name> =<data in hex>                      a value of the key above
// Names and classes escape every byte outside '!'..'~' and '%' as %XX.

std::string escape(std::string const &s) {
    std::string r = "=";
    char buf[4];
    for (unsigned char c : s) {
        if (c > ' ' && c < 0x7F && c != '%') {
            r += static_cast<char>(c);
        } else {
            std::snprintf(buf, sizeof buf, "%%%02X", c);
            r += buf;
        }
    }
    return r;
}

int hexval(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool unescape(std::string const &field, std::string &out) {
    if (field.empty() || field[0] != '=') return false;
    out.clear();
    for (std::size_t i = 1; i < field.size(); ++i) {
        if (field[i] != '%') {
            out += field[i];
            continue;
        }
        if (i + 2 >= field.size()) return false;
        int h = hexval(field[i + 1]), l = hexval(field[i + 2]);
        if (h < 0 || l < 0) return false;
        out += static_cast<char>(h * 16 + l);
        i += 2;
    }
    return true;
}

std::vector<std::string> split(std::string const &s, char sep) {
    std::vector<std::string> parts;
    std::string cur;
    for (char c : s) {
        if (c == sep) {
            parts.push_back(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    parts.push_back(cur);
    return parts;
}

void write_key(std::string &out, Key const &k, std::string const &path) {
    out += "K " + std::to_string(k.id) + " " + std::to_string(k.last_write) + " " + escape(k.key_class) + " " +
           escape(path) + "\n";
    static char const digits[] = "0123456789abcdef";
    for (auto const &v : k.values) {
        std::string hex = "=";
        for (auto b : v.data) {
            hex += digits[b >> 4];
            hex += digits[b & 15];
        }
        out += "V " + std::to_string(v.type) + " " + escape(v.name) + " " + hex + "\n";
    }
    for (auto const &[folded, sub] : k.subkeys)
        write_key(out, *sub, path.empty() ? sub->name : path + "\\" + sub->name);
}

bool parse_hive(std::string const &text, Hive &h) {
    std::vector<std::string> lines = split(text, '\n');
    if (lines.empty()) return false;
    auto head = split(lines[0], ' ');
    if (head.size() != 3 || head[0] != "kxwin-registry" || head[1] != "1") return false;
    h.next_id = std::strtoull(head[2].c_str(), nullptr, 10);
    h.root = Key{};
    Key *cur = nullptr;
    for (std::size_t i = 1; i < lines.size(); ++i) {
        if (lines[i].empty()) continue;
        auto f = split(lines[i], ' ');
        if (f[0] == "K" && f.size() == 5) {
            std::string cls, path;
            if (!unescape(f[3], cls) || !unescape(f[4], path)) return false;
            Key *k = &h.root;
            if (!path.empty()) {
                for (auto const &n : split(path, '\\')) {
                    auto &slot = k->subkeys[fold(n)];
                    if (!slot) {
                        slot = std::make_unique<Key>();
                        slot->name = n;
                    }
                    k = slot.get();
                }
            }
            k->id = std::strtoull(f[1].c_str(), nullptr, 10);
            k->last_write = std::strtoull(f[2].c_str(), nullptr, 10);
            k->key_class = cls;
            cur = k;
        } else if (f[0] == "V" && f.size() == 4 && cur) {
            Value v;
            v.type = static_cast<std::uint32_t>(std::strtoul(f[1].c_str(), nullptr, 10));
            if (!unescape(f[2], v.name) || f[3].empty() || f[3][0] != '=' || f[3].size() % 2 == 0) return false;
            for (std::size_t j = 1; j + 1 < f[3].size(); j += 2) {
                int hi = hexval(f[3][j]), lo = hexval(f[3][j + 1]);
                if (hi < 0 || lo < 0) return false;
                v.data.push_back(static_cast<std::uint8_t>(hi * 16 + lo));
            }
            cur->values.push_back(std::move(v));
        } else {
            return false;
        }
    }
    return true;
}

bool same_file(struct stat const &a, struct stat const &b) {
    return a.st_ino == b.st_ino && a.st_dev == b.st_dev && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

void make_dirs(std::string const &dir) {
    std::string cur;
    for (auto const &part : split(dir, '/')) {
        cur += part;
        if (!cur.empty()) mkdir(cur.c_str(), 0700);
        cur += '/';
    }
}

// Holds the process lock and the store's file lock for one call, and reads the hive anew when
// another process changed it.
class Session {
public:
    explicit Session(HKEY key) : guard_(store_mutex) {
        int h = hive_of(key);
        if (h < 0) {
            auto it = live_handles.find(key);
            if (it == live_handles.end()) {
                error_ = ERROR_INVALID_HANDLE;
                return;
            }
            h = key->hive;
            handle_ = key;
        }
        hive_ = &hives[h];
        Hive &hv = *hive_;
        dir_ = root_dir();
        // Reading makes nothing on disk: a store that does not exist yet is empty.
        struct stat dst {};
        if (::stat(dir_.c_str(), &dst) == 0) take_lock();
        std::string file = dir_ + "/" + hv.file;
        struct stat st {};
        if (::stat(file.c_str(), &st) != 0) {
            if (!hv.loaded || hv.seen.st_ino != 0 || hv.dir != dir_) {
                hv.root = Key{};
                hv.root.id = 1;
                hv.root.last_write = now_filetime();
                hv.next_id = 2;
                hv.seen = {};
                hv.loaded = true;
                hv.dir = dir_;
            }
        } else if (!hv.loaded || hv.dir != dir_ || !same_file(st, hv.seen)) {
            std::string text;
            if (std::FILE *f = std::fopen(file.c_str(), "rb")) {
                char buf[65536];
                std::size_t n;
                while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
                std::fclose(f);
            }
            if (!parse_hive(text, hv)) {
                // A damaged file is refused, never overwritten.
                hv.loaded = false;
                error_ = ERROR_REGISTRY_IO_FAILED;
                return;
            }
            hv.seen = st;
            hv.loaded = true;
            hv.dir = dir_;
        }
    }
    Session(Session const &) = delete;
    Session &operator=(Session const &) = delete;
    ~Session() {
        if (lock_fd_ >= 0) ::close(lock_fd_);
    }

    // 0, or the code that every operation of this session answers with.
    int32_t error() const { return error_; }
    Hive &hive() { return *hive_; }
    int hive_index() const { return static_cast<int>(hive_ - hives); }
    REGSAM sam() const { return handle_ ? handle_->sam : KEY_ALL_ACCESS; }

    // The key the session's handle names, or null with the code in *code.
    Key *key(int32_t *code) {
        if (!handle_) return &hive_->root;
        Key *k = &hive_->root;
        for (auto const &n : handle_->path) {
            k = k->find_subkey(n);
            if (!k) break;
        }
        if (!k || k->id != handle_->id) {
            *code = ERROR_KEY_DELETED;
            return nullptr;
        }
        return k;
    }
    std::vector<std::string> path() const { return handle_ ? handle_->path : std::vector<std::string>{}; }

    // The handle's key when the session is sound and the handle has the rights asked for.
    Key *open(REGSAM need, int32_t *code) {
        if (error_) {
            *code = error_;
            return nullptr;
        }
        if ((sam() & need) != need) {
            *code = ERROR_ACCESS_DENIED;
            return nullptr;
        }
        return key(code);
    }

    // Writes the hive through a temporary file, so a reader never sees half of it.
    int32_t save() {
        if (lock_fd_ < 0) {
            make_dirs(dir_);
            take_lock();
            if (lock_fd_ < 0) return ERROR_REGISTRY_IO_FAILED;
        }
        Hive &hv = *hive_;
        std::string text = "kxwin-registry 1 " + std::to_string(hv.next_id) + "\n";
        write_key(text, hv.root, "");
        std::string file = dir_ + "/" + hv.file;
        std::string tmp = file + ".tmp";
        int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (fd < 0) return ERROR_REGISTRY_IO_FAILED;
        std::size_t off = 0;
        while (off < text.size()) {
            ssize_t n = ::write(fd, text.data() + off, text.size() - off);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                ::close(fd);
                ::unlink(tmp.c_str());
                return ERROR_REGISTRY_IO_FAILED;
            }
            off += static_cast<std::size_t>(n);
        }
        if (::close(fd) != 0 || ::rename(tmp.c_str(), file.c_str()) != 0) {
            ::unlink(tmp.c_str());
            return ERROR_REGISTRY_IO_FAILED;
        }
        ::stat(file.c_str(), &hv.seen);
        return ERROR_SUCCESS;
    }

private:
    void take_lock() {
        lock_fd_ = ::open((dir_ + "/.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (lock_fd_ >= 0)
            while (flock(lock_fd_, LOCK_EX) != 0 && errno == EINTR) {
            }
    }

    std::lock_guard<std::mutex> guard_;
    Hive *hive_ = nullptr;
    kxwin_hkey *handle_ = nullptr;
    std::string dir_;
    int lock_fd_ = -1;
    int32_t error_ = ERROR_SUCCESS;
};

} // namespace

namespace {

// Splits a relative key path. Empty parts after the first are dropped, as a trailing backslash.
int32_t parse_subkey(char const *subkey, std::vector<std::string> &parts) {
    parts.clear();
    if (!subkey || !*subkey) return ERROR_SUCCESS;
    if (*subkey == '\\') return ERROR_BAD_PATHNAME;
    for (auto &p : split(subkey, '\\')) {
        if (p.empty()) continue;
        if (p.size() > max_key_name) return ERROR_INVALID_PARAMETER;
        parts.push_back(std::move(p));
    }
    return ERROR_SUCCESS;
}

HKEY new_handle(Session &s, std::vector<std::string> path, Key const &k, REGSAM sam) {
    auto *h = new kxwin_hkey{s.hive_index(), std::move(path), k.id, sam};
    live_handles.insert(h);
    return h;
}

std::uint32_t size32(std::size_t n) { return static_cast<std::uint32_t>(n); }

void put_filetime(FILETIME *out, std::uint64_t t) {
    if (!out) return;
    out->dwLowDateTime = static_cast<std::uint32_t>(t);
    out->dwHighDateTime = static_cast<std::uint32_t>(t >> 32);
}

// Copies a name and its NUL when the buffer holds both; *size is in characters.
int32_t copy_name(std::string const &n, char *buf, std::uint32_t *size) {
    if (n.size() + 1 > *size) return ERROR_MORE_DATA;
    std::memcpy(buf, n.c_str(), n.size() + 1);
    *size = size32(n.size());
    return ERROR_SUCCESS;
}

} // namespace

extern "C" {

void kxwin_registry_set_root(char const *dir) {
    std::lock_guard<std::mutex> g(store_mutex);
    root_overridden = dir != nullptr;
    root_override = dir ? dir : "";
    for (auto &h : hives) h.loaded = false;
}

size_t kxwin_registry_get_root(char *buf, size_t size) {
    std::string root;
    {
        std::lock_guard<std::mutex> g(store_mutex);
        root = root_dir();
    }
    if (buf && size > 0) {
        size_t const n = root.size() < size - 1 ? root.size() : size - 1;
        std::memcpy(buf, root.data(), n);
        buf[n] = '\0';
    }
    return root.size();
}

int32_t RegOpenKeyExA(HKEY key, char const *subkey, uint32_t, REGSAM sam, HKEY *result) {
    if (!result) return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    std::vector<std::string> parts;
    if (int32_t rc = parse_subkey(subkey, parts)) return rc;
    Session s(key);
    int32_t rc = ERROR_SUCCESS;
    Key *k = s.open(0, &rc);
    if (!k) return rc;
    std::vector<std::string> path = s.path();
    for (auto const &p : parts) {
        k = k->find_subkey(p);
        if (!k) return ERROR_FILE_NOT_FOUND;
        path.push_back(k->name);
    }
    *result = new_handle(s, std::move(path), *k, sam);
    return ERROR_SUCCESS;
}

int32_t RegCreateKeyExA(HKEY key, char const *subkey, uint32_t, char *key_class, uint32_t, REGSAM sam, void *,
                        HKEY *result, uint32_t *disposition) {
    if (!result || !subkey) return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    std::vector<std::string> parts;
    if (int32_t rc = parse_subkey(subkey, parts)) return rc;
    Session s(key);
    int32_t rc = ERROR_SUCCESS;
    Key *k = s.open(0, &rc);
    if (!k) return rc;
    std::vector<std::string> path = s.path();
    bool created = false;
    for (auto const &p : parts) {
        Key *next = k->find_subkey(p);
        if (!next) {
            if (!created && !(s.sam() & KEY_CREATE_SUB_KEY)) return ERROR_ACCESS_DENIED;
            auto nk = std::make_unique<Key>();
            nk->name = p;
            nk->id = s.hive().next_id++;
            nk->last_write = now_filetime();
            if (key_class) nk->key_class = key_class;
            next = nk.get();
            k->subkeys[fold(p)] = std::move(nk);
            k->last_write = now_filetime();
            created = true;
        }
        k = next;
        path.push_back(k->name);
    }
    if (created)
        if (int32_t w = s.save()) return w;
    if (disposition) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    *result = new_handle(s, std::move(path), *k, sam);
    return ERROR_SUCCESS;
}

int32_t RegCloseKey(HKEY key) {
    if (hive_of(key) >= 0) return ERROR_SUCCESS;
    std::lock_guard<std::mutex> g(store_mutex);
    if (live_handles.erase(key) == 0) return ERROR_INVALID_HANDLE;
    delete key;
    return ERROR_SUCCESS;
}

int32_t RegQueryValueExA(HKEY key, char const *name, uint32_t *, uint32_t *type, uint8_t *data, uint32_t *size) {
    if (data && !size) return ERROR_INVALID_PARAMETER;
    Session s(key);
    int32_t rc = ERROR_SUCCESS;
    Key *k = s.open(KEY_QUERY_VALUE, &rc);
    if (!k) return rc;
    Value *v = k->find_value(name ? name : "");
    if (!v) return ERROR_FILE_NOT_FOUND;
    if (type) *type = v->type;
    if (data) {
        if (v->data.size() > *size) {
            *size = size32(v->data.size());
            return ERROR_MORE_DATA;
        }
        if (!v->data.empty()) std::memcpy(data, v->data.data(), v->data.size());
    }
    if (size) *size = size32(v->data.size());
    return ERROR_SUCCESS;
}

int32_t RegSetValueExA(HKEY key, char const *name, uint32_t, uint32_t type, uint8_t const *data, uint32_t size) {
    if (!data && size) return ERROR_INVALID_PARAMETER;
    std::string n = name ? name : "";
    if (n.size() > max_value_name) return ERROR_INVALID_PARAMETER;
    Session s(key);
    int32_t rc = ERROR_SUCCESS;
    Key *k = s.open(KEY_SET_VALUE, &rc);
    if (!k) return rc;
    Value *v = k->find_value(n);
    if (!v) {
        k->values.push_back(Value{n, type, {}});
        v = &k->values.back();
    }
    v->type = type;
    v->data.assign(data, data + size);
    k->last_write = now_filetime();
    return s.save();
}

int32_t RegDeleteValueA(HKEY key, char const *name) {
    Session s(key);
    int32_t rc = ERROR_SUCCESS;
    Key *k = s.open(KEY_SET_VALUE, &rc);
    if (!k) return rc;
    std::string f = fold(name ? name : "");
    for (auto it = k->values.begin(); it != k->values.end(); ++it) {
        if (fold(it->name) != f) continue;
        k->values.erase(it);
        k->last_write = now_filetime();
        return s.save();
    }
    return ERROR_FILE_NOT_FOUND;
}

int32_t RegDeleteKeyA(HKEY key, char const *subkey) {
    std::vector<std::string> parts;
    if (int32_t rc = parse_subkey(subkey, parts)) return rc;
    if (parts.empty()) return ERROR_INVALID_PARAMETER;
    Session s(key);
    int32_t rc = ERROR_SUCCESS;
    Key *k = s.open(0, &rc);
    if (!k) return rc;
    for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
        k = k->find_subkey(parts[i]);
        if (!k) return ERROR_FILE_NOT_FOUND;
    }
    Key *victim = k->find_subkey(parts.back());
    if (!victim) return ERROR_FILE_NOT_FOUND;
    if (!victim->subkeys.empty()) return ERROR_ACCESS_DENIED;
    k->subkeys.erase(fold(parts.back()));
    k->last_write = now_filetime();
    return s.save();
}

int32_t RegEnumKeyExA(HKEY key, uint32_t index, char *name, uint32_t *name_size, uint32_t *, char *key_class,
                      uint32_t *class_size, FILETIME *last_write) {
    if (!name || !name_size || (key_class && !class_size)) return ERROR_INVALID_PARAMETER;
    Session s(key);
    int32_t rc = ERROR_SUCCESS;
    Key *k = s.open(KEY_ENUMERATE_SUB_KEYS, &rc);
    if (!k) return rc;
    if (index >= k->subkeys.size()) return ERROR_NO_MORE_ITEMS;
    auto it = k->subkeys.begin();
    std::advance(it, index);
    Key const &sub = *it->second;
    if (int32_t r = copy_name(sub.name, name, name_size)) return r;
    if (key_class)
        if (int32_t r = copy_name(sub.key_class, key_class, class_size)) return r;
    put_filetime(last_write, sub.last_write);
    return ERROR_SUCCESS;
}

int32_t RegEnumValueA(HKEY key, uint32_t index, char *name, uint32_t *name_size, uint32_t *, uint32_t *type,
                      uint8_t *data, uint32_t *data_size) {
    if (!name || !name_size || (data && !data_size)) return ERROR_INVALID_PARAMETER;
    Session s(key);
    int32_t rc = ERROR_SUCCESS;
    Key *k = s.open(KEY_QUERY_VALUE, &rc);
    if (!k) return rc;
    if (index >= k->values.size()) return ERROR_NO_MORE_ITEMS;
    Value const &v = k->values[index];
    if (data && v.data.size() > *data_size) {
        *data_size = size32(v.data.size());
        return ERROR_MORE_DATA;
    }
    if (int32_t r = copy_name(v.name, name, name_size)) return r;
    if (data && !v.data.empty()) std::memcpy(data, v.data.data(), v.data.size());
    if (data_size) *data_size = size32(v.data.size());
    if (type) *type = v.type;
    return ERROR_SUCCESS;
}

int32_t RegQueryInfoKeyA(HKEY key, char *key_class, uint32_t *class_size, uint32_t *, uint32_t *subkeys,
                         uint32_t *max_subkey_len, uint32_t *max_class_len, uint32_t *values,
                         uint32_t *max_value_name_len, uint32_t *max_value_len, uint32_t *security_size,
                         FILETIME *last_write) {
    if (key_class && !class_size) return ERROR_INVALID_PARAMETER;
    Session s(key);
    int32_t rc = ERROR_SUCCESS;
    Key *k = s.open(KEY_QUERY_VALUE, &rc);
    if (!k) return rc;
    std::size_t msk = 0, mcl = 0, mvn = 0, mvl = 0;
    for (auto const &[f, sub] : k->subkeys) {
        msk = std::max(msk, sub->name.size());
        mcl = std::max(mcl, sub->key_class.size());
    }
    for (auto const &v : k->values) {
        mvn = std::max(mvn, v.name.size());
        mvl = std::max(mvl, v.data.size());
    }
    if (subkeys) *subkeys = size32(k->subkeys.size());
    if (max_subkey_len) *max_subkey_len = size32(msk);
    if (max_class_len) *max_class_len = size32(mcl);
    if (values) *values = size32(k->values.size());
    if (max_value_name_len) *max_value_name_len = size32(mvn);
    if (max_value_len) *max_value_len = size32(mvl);
    if (security_size) *security_size = 0;
    put_filetime(last_write, k->last_write);
    if (key_class) return copy_name(k->key_class, key_class, class_size);
    if (class_size) *class_size = size32(k->key_class.size());
    return ERROR_SUCCESS;
}

int32_t RegConnectRegistryA(char const *machine, HKEY root, HKEY *result) {
    if (!result) return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    if (hive_of(root) < 0) return ERROR_INVALID_HANDLE;
    if (machine && *machine) return ERROR_BAD_NETPATH;
    *result = root;
    return ERROR_SUCCESS;
}

} // extern "C"
