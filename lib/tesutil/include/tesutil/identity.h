// Operating-system identities of users and groups as opaque bytes, and the credentials file.
#pragma once

#include <cstdint>
#include <cstdio>
#include <vector>

#include "tesutil/ustring.h"

namespace Nul {

// A stored identity: the type byte followed by the identity bytes. Blocks are made with new[].
typedef std::uint8_t identity_t;

class Identity {
public:
    // The library gives the type byte no meaning.
    enum type_t : std::uint8_t {};

    Identity();
    // Length 0 and type 0 make an empty identity; otherwise the type byte and a copy of length
    // bytes are stored.
    Identity(std::int16_t length, type_t type, void const *bits);
    // Takes the block over (type byte and length bytes, made with new[]).
    Identity(std::int16_t length, identity_t *block);
    Identity(Identity const &other);
    Identity &operator=(Identity const &other);
    ~Identity();

    std::int16_t length() const { return length_; }
    type_t type() const { return id_ ? static_cast<type_t>(id_[0]) : type_t{}; }
    std::uint8_t const *bits() const { return id_ ? id_ + 1 : nullptr; }
    identity_t const *identity() const { return id_; }

    bool operator==(Identity const &o) const;
    bool operator!=(Identity const &o) const { return !(*this == o); }
    bool is_nobody() const;
    // "<length>:" and the type byte and identity bytes in lowercase hexadecimal: 2:010aff.
    UString str() const;
    // Parses the text form; raises IllegalArgException (messages 8 to 11) for bad text.
    static Identity from_str(UString const &text);

private:
    identity_t *id_;
    std::int16_t length_;
};

// Closes a C stream of the platform layer unless it has been closed already.
class UtlFileIoPtr {
public:
    explicit UtlFileIoPtr(std::FILE *file = nullptr) : file_(file) {}
    UtlFileIoPtr(UtlFileIoPtr const &) = delete;
    UtlFileIoPtr &operator=(UtlFileIoPtr const &) = delete;
    ~UtlFileIoPtr() { release(); }
    std::FILE *get() const { return file_; }
    // Closes now; the result of the close, 0 when there was nothing to close.
    int release();

private:
    std::FILE *file_;
};

class Credentials {
public:
    class group_list_t {
    public:
        std::size_t size() const { return items_.size(); }
        Identity &operator[](std::size_t i) { return items_[i]; }
        Identity const &operator[](std::size_t i) const { return items_[i]; }
        std::vector<Identity>::iterator begin() { return items_.begin(); }
        std::vector<Identity>::const_iterator begin() const { return items_.begin(); }
        std::vector<Identity>::iterator end() { return items_.end(); }
        std::vector<Identity>::const_iterator end() const { return items_.end(); }
        void clear() { items_.clear(); }
        void push_back(Identity const &i) { items_.push_back(i); }
        void reserve(std::size_t n) { items_.reserve(n); }
        bool operator==(group_list_t const &o) const { return items_ == o.items_; }
        bool operator!=(group_list_t const &o) const { return !(*this == o); }

    private:
        std::vector<Identity> items_;
    };

    Credentials() = default;
    Credentials(Credentials const &) = default;
    Credentials &operator=(Credentials const &) = default;

    UString &name1() { return name1_; }
    UString const &name1() const { return name1_; }
    UString &name2() { return name2_; }
    UString const &name2() const { return name2_; }
    UString &name3() { return name3_; }
    UString const &name3() const { return name3_; }
    Identity &user() { return user_; }
    Identity const &user() const { return user_; }
    Identity &primary_group() { return primary_group_; }
    Identity const &primary_group() const { return primary_group_; }
    group_list_t &group_list() { return group_list_; }
    group_list_t const &group_list() const { return group_list_; }

    // The primary group or any listed group.
    bool in_group_list(Identity const &id) const;
    // Writes the count, the user, the primary group and the groups (no names). Raises
    // RuntimeException with message 15, 17 or 18.
    void write_to_file(char const *path) const;
    // Reads what write_to_file writes, and with `with_names` the three names after it. Raises
    // RuntimeException with message 15 or 16; what was read before a failure stays.
    void read_from_file(char const *path, bool with_names);
    // One name field: 16-bit little-endian length and that many bytes of UTF-8.
    static UString read_string(char const *path, std::FILE *file);

private:
    UString name1_;
    UString name2_;
    UString name3_;
    Identity user_;
    Identity primary_group_;
    group_list_t group_list_;
};

} // namespace Nul
