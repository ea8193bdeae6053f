#include "tesutil/identity.h"

#include <cerrno>
#include <cstring>
#include <string>

#include "tesutil/stpexception.h"
#include "tesutil/umessage.h"
#include "tesutil/unixnt.h"

namespace Nul {

namespace {

constexpr long max_identity_length = 32767;

[[noreturn]] void bad_text(WexutilMsg msg, std::string const &text) {
    IllegalArgException::raise(UMessage(wexutil_catalog, msg, "str", text));
}

[[noreturn]] void file_error(WexutilMsg msg, char const *path, int err) {
    RuntimeException::raise(UMessage(wexutil_catalog, msg, path ? path : "", std::strerror(err)));
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// A short read at the end of the file has no error number of its own.
int read_errno(std::FILE *f) { return std::ferror(f) && errno ? errno : ENODATA; }

void read_bytes(char const *path, std::FILE *f, void *buf, std::size_t n) {
    if (n && std::fread(buf, 1, n, f) != n) file_error(WEXUTIL_FILE_READ, path, read_errno(f));
}

unsigned read_u16(char const *path, std::FILE *f) {
    std::uint8_t b[2];
    read_bytes(path, f, b, 2);
    return static_cast<unsigned>(b[0]) | static_cast<unsigned>(b[1]) << 8;
}

Identity read_identity(char const *path, std::FILE *f) {
    unsigned length = read_u16(path, f);
    if (length > max_identity_length) file_error(WEXUTIL_FILE_READ, path, EINVAL);
    auto *block = new identity_t[length + 1];
    try {
        read_bytes(path, f, block, length + 1);
    } catch (...) {
        delete[] block;
        throw;
    }
    return Identity(static_cast<std::int16_t>(length), block);
}

void write_bytes(char const *path, std::FILE *f, void const *buf, std::size_t n) {
    if (n && std::fwrite(buf, 1, n, f) != n) file_error(WEXUTIL_FILE_WRITE, path, errno ? errno : EIO);
}

void write_u16(char const *path, std::FILE *f, unsigned v) {
    std::uint8_t b[2] = {static_cast<std::uint8_t>(v & 0xFF), static_cast<std::uint8_t>(v >> 8)};
    write_bytes(path, f, b, 2);
}

void write_identity(char const *path, std::FILE *f, Identity const &id) {
    write_u16(path, f, static_cast<std::uint16_t>(id.length()));
    std::uint8_t type = id.identity() ? id.identity()[0] : 0;
    write_bytes(path, f, &type, 1);
    if (id.length() > 0) {
        if (id.bits())
            write_bytes(path, f, id.bits(), static_cast<std::size_t>(id.length()));
        else
            file_error(WEXUTIL_FILE_WRITE, path, EINVAL);
    }
}

} // namespace

Identity::Identity() : id_(nullptr), length_(0) {}

Identity::Identity(std::int16_t length, type_t type, void const *bits) : id_(nullptr), length_(0) {
    if (length < 0 || (length > 0 && !bits))
        IllegalArgException::raise(UMessage(wexutil_catalog, WEXUTIL_ILLEGAL_VALUE, "Identity::Identity"));
    if (length == 0 && type == 0) return;
    id_ = new identity_t[static_cast<std::size_t>(length) + 1];
    id_[0] = type;
    if (length) std::memcpy(id_ + 1, bits, static_cast<std::size_t>(length));
    length_ = length;
}

Identity::Identity(std::int16_t length, identity_t *block) : id_(block), length_(length) {
    if (length < 0) {
        delete[] block;
        id_ = nullptr;
        length_ = 0;
        IllegalArgException::raise(UMessage(wexutil_catalog, WEXUTIL_ILLEGAL_VALUE, "Identity::Identity"));
    }
}

Identity::Identity(Identity const &other) : id_(nullptr), length_(other.length_) {
    if (other.id_) {
        id_ = new identity_t[static_cast<std::size_t>(length_) + 1];
        std::memcpy(id_, other.id_, static_cast<std::size_t>(length_) + 1);
    }
}

Identity &Identity::operator=(Identity const &other) {
    if (this == &other) return *this;
    if (!other.id_) {
        delete[] id_;
        id_ = nullptr;
    } else {
        std::size_t n = static_cast<std::size_t>(other.length_) + 1;
        if (!id_ || length_ < other.length_) {
            identity_t *fresh = new identity_t[n];
            delete[] id_;
            id_ = fresh;
        }
        std::memcpy(id_, other.id_, n);
    }
    length_ = other.length_;
    return *this;
}

Identity::~Identity() { delete[] id_; }

bool Identity::operator==(Identity const &o) const {
    if (length_ != o.length_) return false;
    if (length_ == 0) return type() == o.type();
    if (!id_ || !o.id_) return id_ == o.id_;
    return std::memcmp(id_, o.id_, static_cast<std::size_t>(length_) + 1) == 0;
}

bool Identity::is_nobody() const { return length_ == 0 && (!id_ || id_[0] == 0); }

UString Identity::str() const {
    static char const digits[] = "0123456789abcdef";
    std::string text = std::to_string(length_) + ":";
    if (!id_) return UString(Utf8String(text + "00"));
    for (std::size_t i = 0; i <= static_cast<std::size_t>(length_); ++i) {
        text += digits[id_[i] >> 4];
        text += digits[id_[i] & 15];
    }
    return UString(Utf8String(text));
}

Identity Identity::from_str(UString const &str) {
    std::string text = str.utf8_str();
    std::size_t colon = text.find(':');
    if (colon == std::string::npos) bad_text(WEXUTIL_IDENTITY_LENGTH_FORMAT, text);
    // A decimal number no larger than a stored length can be.
    std::string number = text.substr(0, colon);
    std::size_t start = !number.empty() && (number[0] == '-' || number[0] == '+') ? 1 : 0;
    if (start == number.size() || number.size() - start > 9 ||
        number.find_first_not_of("0123456789", start) != std::string::npos)
        bad_text(WEXUTIL_IDENTITY_LENGTH_STRING, text);
    long length = std::stol(number);
    if (length < 0 || length > max_identity_length) bad_text(WEXUTIL_IDENTITY_LENGTH_STRING, text);
    std::size_t hex_chars = text.size() - colon - 1;
    if (hex_chars != 2 * static_cast<std::size_t>(length + 1)) bad_text(WEXUTIL_IDENTITY_BAD_SIZE, text);
    std::vector<identity_t> bytes(static_cast<std::size_t>(length) + 1);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        int hi = hex_digit(text[colon + 1 + 2 * i]), lo = hex_digit(text[colon + 2 + 2 * i]);
        if (hi < 0 || lo < 0) bad_text(WEXUTIL_IDENTITY_HEX, text);
        bytes[i] = static_cast<identity_t>(hi << 4 | lo);
    }
    return Identity(static_cast<std::int16_t>(length), static_cast<type_t>(bytes[0]), bytes.data() + 1);
}

int UtlFileIoPtr::release() {
    if (!file_) return 0;
    std::FILE *f = file_;
    file_ = nullptr;
    return vexhub_unix_nt_fclose(f);
}

bool Credentials::in_group_list(Identity const &id) const {
    if (id == primary_group_) return true;
    for (auto const &g : group_list_)
        if (g == id) return true;
    return false;
}

void Credentials::write_to_file(char const *path) const {
    UtlFileIoPtr file(vexhub_unix_nt_fopen(path, "wb"));
    if (!file.get()) file_error(WEXUTIL_FILE_OPEN, path, errno);
    // The count is a 16-bit field: a longer list cannot be written truthfully.
    if (group_list_.size() > 0xFFFF) file_error(WEXUTIL_FILE_WRITE, path, EOVERFLOW);
    write_u16(path, file.get(), static_cast<unsigned>(group_list_.size()));
    write_identity(path, file.get(), user_);
    write_identity(path, file.get(), primary_group_);
    for (auto const &g : group_list_) write_identity(path, file.get(), g);
    if (file.release() != 0) file_error(WEXUTIL_FILE_CLOSE, path, errno);
}

void Credentials::read_from_file(char const *path, bool with_names) {
    UtlFileIoPtr file(vexhub_unix_nt_fopen(path, "rb"));
    if (!file.get()) file_error(WEXUTIL_FILE_OPEN, path, errno);
    unsigned count = read_u16(path, file.get());
    group_list_.clear();
    group_list_.reserve(count);
    user_ = read_identity(path, file.get());
    primary_group_ = read_identity(path, file.get());
    for (unsigned i = 0; i < count; ++i) group_list_.push_back(read_identity(path, file.get()));
    if (with_names) {
        name1_ = read_string(path, file.get());
        name3_ = read_string(path, file.get());
        name2_ = read_string(path, file.get());
    }
    file.release();
}

UString Credentials::read_string(char const *path, std::FILE *file) {
    unsigned length = read_u16(path, file);
    std::string bytes(length, '\0');
    read_bytes(path, file, bytes.data(), length);
    return UString(Utf8String(bytes));
}

} // namespace Nul
