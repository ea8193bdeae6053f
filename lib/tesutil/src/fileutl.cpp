#include "tesutil/fileutl.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ext/stdio_filebuf.h>
#include <map>
#include <vector>

#include "tesutil/critsec.h"
#include "tesutil/stpexception.h"
#include "tesutil/umessage.h"
#include "tesutil/unixnt.h"

namespace Nul {

// --- Pname -------------------------------------------------------------------------------------

Pname::Pname() = default;
Pname::Pname(UString const &path) : path_(path) {}
Pname::Pname(Pname const &other) = default;
Pname &Pname::operator=(Pname const &other) = default;
Pname::~Pname() = default;

Pname &Pname::operator=(UString const &path) {
    path_ = path;
    leaf_.clear();
    parent_.clear();
    return *this;
}

void Pname::split() const {
    leaf_.clear();
    parent_.clear();
    if (path_.empty()) return;
    unsigned a = path_.find_last(L'\\'), b = path_.find_last(L'/');
    unsigned sep = a == UString::npos ? b : b == UString::npos ? a : (a > b ? a : b);
    if (sep == UString::npos) {
        leaf_ = path_;
        return;
    }
    parent_ = path_.substr(0, sep);
    leaf_ = path_.substr(sep + 1);
    if (parent_.length() == 1 && (parent_[0] == u'\\' || parent_[0] == u'/')) parent_.clear();
}

UString const &Pname::leaf() const {
    if (leaf_.empty()) split();
    return leaf_;
}

UString const &Pname::parent_dir() const {
    if (leaf_.empty()) split();
    return parent_;
}

void Pname::strip_trailing_separator() {
    unsigned n = path_.length();
    if (n == 0) return;
    unsigned short last = path_[n - 1];
    if (last != u'\\' && last != u'/') return;
    path_.erase(n - 1, 1);
    leaf_.clear();
    parent_.clear();
}

// --- Fileutl -----------------------------------------------------------------------------------

namespace {

struct TmpEntry {
    bool private_dir;
    unsigned group;
};

struct TmpState {
    CriticalSectionLock lock;
    std::map<UString, TmpEntry> table;
    unsigned counter = 0;
    bool dir_known = false;
    UString dir;
    UString chosen; // set_tmp_dir's, when not empty
};

TmpState &tmp_state() {
    static TmpState state;
    return state;
}

std::string utf8(UString const &s) { return s.utf8_str(); }

bool writable_dir(char const *path) { return path && *path && access(path, W_OK) == 0; }

[[noreturn]] void raise_tmp_failure(UString const &why) {
    STPException::raise(STPException::REASON_INTERNAL, UMessage(wexutil_catalog, WEXUTIL_TEMP_CREATE, why), nullptr,
                        nullptr, STPException::LOG_INFO);
}

} // namespace

UString const &Fileutl::sys_tmpdir() {
    TmpState &st = tmp_state();
    CriticalSection guard(st.lock);
    if (!st.dir_known) {
        std::string dir;
        for (char const *var : {"TMP", "TMPDIR", "TEMP"}) {
            char const *v = std::getenv(var);
            if (!writable_dir(v)) continue;
            dir = v;
            if (dir.size() > 1 && (dir.back() == '/' || dir.back() == '\\')) dir.pop_back();
            break;
        }
        if (dir.empty()) dir = writable_dir("/tmp") ? "/tmp" : ".";
        st.dir = UString(Utf8String(dir));
        st.dir_known = true;
    }
    return st.dir;
}

UString Fileutl::system_tmp_dir() { return sys_tmpdir(); }

void Fileutl::set_tmp_dir(UString const &dir) {
    TmpState &st = tmp_state();
    CriticalSection guard(st.lock);
    st.chosen = dir;
}

UString Fileutl::make_tmp_object(UString const &prefix, bool directory) {
    TmpState &st = tmp_state();
    CriticalSection guard(st.lock);
    UString const dir = st.chosen.empty() ? sys_tmpdir() : st.chosen;
    for (int attempt = 0; attempt < 10000; ++attempt) {
        UString name = dir + L"/" + prefix + UString(Utf8String(std::to_string(st.counter)));
        std::string path = utf8(name);
        int err;
        for (;;) {
            int rc;
            if (directory) {
                rc = mkdir(path.c_str(), 0700);
            } else {
                rc = vexhub_unix_nt_open(path.c_str(), O_CREAT | O_EXCL | O_RDWR, 0600);
                if (rc >= 0) rc = vexhub_unix_nt_close(rc);
            }
            if (rc == 0) return name;
            err = errno;
            if (err != EINTR) break;
        }
        st.counter = st.counter >= 9999 ? 0 : st.counter + 1;
        struct stat sb {};
        bool exists = err == EEXIST || (!directory && err == EACCES && ::stat(path.c_str(), &sb) == 0);
        if (!exists) raise_tmp_failure(UString(Utf8String(std::strerror(err))));
    }
    raise_tmp_failure(UString(L"too many retries"));
}

UString Fileutl::create_tmp_file(unsigned group) {
    TmpState &st = tmp_state();
    CriticalSection guard(st.lock);
    UString path = make_tmp_object(UString(L"TMP"), false);
    st.table[path] = TmpEntry{false, group};
    return path;
}

UString Fileutl::create_tmp_file(UString const &name, unsigned group) {
    TmpState &st = tmp_state();
    CriticalSection guard(st.lock);
    UString path = make_tmp_object(UString(L"DIR"), true) + L"/" + name;
    st.table[path] = TmpEntry{true, group};
    return path;
}

void Fileutl::set_file_id(UString const &path, unsigned group) {
    TmpState &st = tmp_state();
    CriticalSection guard(st.lock);
    auto it = st.table.find(path);
    if (it == st.table.end())
        st.table[path] = TmpEntry{false, group};
    else
        it->second.group = group;
}

void Fileutl::delete_tmp_file(UString const &path) {
    TmpState &st = tmp_state();
    CriticalSection guard(st.lock);
    ::unlink(utf8(path).c_str());
    auto it = st.table.find(path);
    if (it == st.table.end()) return;
    if (it->second.private_dir) ::rmdir(utf8(Pname(path).parent_dir()).c_str());
    st.table.erase(it);
}

void Fileutl::delete_tmp_files(unsigned group) {
    TmpState &st = tmp_state();
    CriticalSection guard(st.lock);
    std::vector<UString> victims;
    for (auto const &[path, entry] : st.table)
        if (group == GROUP_ALL || entry.group == group) victims.push_back(path);
    for (auto const &p : victims) delete_tmp_file(p);
}

void Fileutl::delete_dir(UString const &path) {
    TmpState &st = tmp_state();
    CriticalSection guard(st.lock);
    ::rmdir(utf8(path).c_str());
}

// --- file streams ------------------------------------------------------------------------------

// A file buffer over a C stream of the platform layer, which it closes.
class StdioFileBuf : public __gnu_cxx::stdio_filebuf<char> {
public:
    StdioFileBuf() = default;
    StdioFileBuf(std::FILE *file, std::ios_base::openmode mode)
        : __gnu_cxx::stdio_filebuf<char>(file, mode), file_(file) {}
    ~StdioFileBuf() override { close_file(); }

    void close_file() {
        if (!file_) return;
        this->close(); // writes what is pending; the C stream stays open
        vexhub_unix_nt_fclose(file_);
        file_ = nullptr;
    }

private:
    std::FILE *file_ = nullptr;
};

char const *stream_mode_text(int mode) {
    using std::ios_base;
    static struct {
        int mode;
        char const *text;
    } const table[] = {
        {ios_base::in, "r"},
        {ios_base::out, "w"},
        {ios_base::out | ios_base::trunc, "w"},
        {ios_base::out | ios_base::app, "a"},
        {ios_base::in | ios_base::binary, "rb"},
        {ios_base::out | ios_base::binary, "wb"},
        {ios_base::out | ios_base::trunc | ios_base::binary, "wb"},
        {ios_base::out | ios_base::app | ios_base::binary, "ab"},
        {ios_base::in | ios_base::out, "r+"},
        {ios_base::in | ios_base::out | ios_base::trunc, "w+"},
        {ios_base::in | ios_base::out | ios_base::app, "a+"},
        {ios_base::in | ios_base::out | ios_base::binary, "r+b"},
        {ios_base::in | ios_base::out | ios_base::trunc | ios_base::binary, "w+b"},
        {ios_base::in | ios_base::out | ios_base::app | ios_base::binary, "a+b"},
    };
    int key = mode & ~static_cast<int>(ios_base::ate);
    for (auto const &row : table)
        if (row.mode == key) return row.text;
    return nullptr;
}

namespace {

std::unique_ptr<StdioFileBuf> open_buffer(wchar_t const *path, int mode) {
    std::FILE *file = nullptr;
    char const *text = stream_mode_text(mode);
    if (path && text) {
        file = vexhub_unix_nt_fopen(UString(path).utf8_str().c_str(), text);
        if (file && (mode & std::ios_base::ate) && std::fseek(file, 0, SEEK_END) != 0) {
            vexhub_unix_nt_fclose(file);
            file = nullptr;
        }
    }
    if (!file) return std::make_unique<StdioFileBuf>();
    return std::make_unique<StdioFileBuf>(file, static_cast<std::ios_base::openmode>(mode & ~std::ios_base::ate));
}

} // namespace

template <class Base, int Direction>
WideFileStream<Base, Direction>::WideFileStream() = default;

template <class Base, int Direction>
WideFileStream<Base, Direction>::~WideFileStream() {
    // Hand the stream its own buffer back before ours goes.
    std::basic_ios<char>::rdbuf(Base::rdbuf());
    close();
}

template <class Base, int Direction>
void WideFileStream<Base, Direction>::open(wchar_t const *path, int mode) {
    auto buf = open_buffer(path, mode | Direction);
    std::basic_ios<char>::rdbuf(buf.get());
    buf_.swap(buf);
}

template <class Base, int Direction>
void WideFileStream<Base, Direction>::open(wchar_t const *path, unsigned int mode) {
    open(path, static_cast<int>(mode));
}

template <class Base, int Direction>
bool WideFileStream<Base, Direction>::is_open() const {
    return buf_ && buf_->is_open();
}

template <class Base, int Direction>
void WideFileStream<Base, Direction>::close() {
    if (buf_) buf_->close_file();
}

template <class Base, int Direction>
std::basic_filebuf<char> *WideFileStream<Base, Direction>::rdbuf() const {
    return buf_.get();
}

template class WideFileStream<std::basic_ifstream<char>, std::ios_base::in>;
template class WideFileStream<std::basic_ofstream<char>, std::ios_base::out>;

} // namespace Nul
