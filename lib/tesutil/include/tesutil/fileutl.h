// Path names, temporary files and directories, and narrow file streams opened by wide names.
#pragma once

#include <fstream>
#include <memory>

#include "tesutil/ustring.h"

namespace Nul {

// A path split into its last component and its parent directory; "\" and "/" both separate.
class Pname {
public:
    Pname();
    Pname(UString const &path);
    Pname(Pname const &other);
    Pname &operator=(Pname const &other);
    Pname &operator=(UString const &path);
    ~Pname();

    UString const &path() const { return path_; }
    UString const &leaf() const;
    // Everything before the last separator; a lone separator gives an empty parent.
    UString const &parent_dir() const;
    // Removes one trailing separator.
    void strip_trailing_separator();

private:
    void split() const;

    UString path_;
    mutable UString leaf_;
    mutable UString parent_;
};

// Uniquely named temporary files and private directories in the temporary directory (the
// system's, unless a program names one of its own), registered with group ids so that they can be
// deleted singly or by group. Thread-safe.
class Fileutl {
public:
    static constexpr unsigned GROUP_ALL = 0;

    Fileutl() = delete;

    // An empty file "TMPn" (mode 0600); returns its path.
    static UString create_tmp_file(unsigned group);
    // A private directory "DIRn" (mode 0700) for a file called name, which is not created; returns
    // the file's path. Deleting the file removes the directory too.
    static UString create_tmp_file(UString const &name, unsigned group);
    static void set_file_id(UString const &path, unsigned group);
    static void delete_tmp_file(UString const &path);
    static void delete_tmp_files(unsigned group);
    static void delete_dir(UString const &path);
    // The system's temporary directory: the first writable of $TMP, $TMPDIR, $TEMP, else /tmp.
    static UString system_tmp_dir();
    // Where later temporary files and directories are made; empty goes back to the system's.
    static void set_tmp_dir(UString const &dir);

private:
    static UString const &sys_tmpdir();
    static UString make_tmp_object(UString const &prefix, bool directory);
};

class StdioFileBuf;

// A narrow file stream opened by a wide path name through the platform's file opening. A failed
// open leaves the stream state alone: callers test is_open.
template <class Base, int Direction>
class WideFileStream : public Base {
public:
    WideFileStream();
    WideFileStream(WideFileStream const &) = delete;
    WideFileStream &operator=(WideFileStream const &) = delete;
    virtual ~WideFileStream();
    // Direction is always added to the mode.
    void open(wchar_t const *path, int mode = Direction);
    void open(wchar_t const *path, unsigned int mode);
    bool is_open() const;
    void close();
    std::basic_filebuf<char> *rdbuf() const;

private:
    std::unique_ptr<StdioFileBuf> buf_;
};

extern template class WideFileStream<std::basic_ifstream<char>, std::ios_base::in>;
extern template class WideFileStream<std::basic_ofstream<char>, std::ios_base::out>;

class ifstream : public WideFileStream<std::basic_ifstream<char>, std::ios_base::in> {
public:
    ifstream() = default;
    ifstream(wchar_t const *path, int mode = std::ios_base::in) { open(path, mode); }
};

class ofstream : public WideFileStream<std::basic_ofstream<char>, std::ios_base::out> {
public:
    ofstream() = default;
    ofstream(wchar_t const *path, int mode = std::ios_base::out) { open(path, mode); }
};

// The stdio mode text for an open mode ("ate" aside), or null for a mode not in the table.
char const *stream_mode_text(int mode);

} // namespace Nul
