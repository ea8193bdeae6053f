#include "tesutil/fileutl.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tesutil/stpexception.h"

namespace fs = std::filesystem;
using Nul::Fileutl;
using Nul::Pname;
using Nul::UString;

namespace {

std::string u8(UString const &s) { return s.utf8_str(); }
UString us(std::string const &s) { return UString(Nul::Utf8String(s)); }

// The temporary directory is chosen once per process: TMP unset, TMPDIR missing, TEMP writable,
// so TEMP's directory (given with a trailing separator) is the one.
struct RemovedAtExit {
    std::string dir;
    ~RemovedAtExit() {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
};

std::string const &temp_dir() {
    static RemovedAtExit holder{[] {
        // Memory-backed when there is one: one test makes ten thousand directories.
        std::string base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        std::string tmpl = base + "/kxfileutl_XXXXXX";
        std::string d = mkdtemp(tmpl.data());
        unsetenv("TMP");
        setenv("TMPDIR", (d + "/missing").c_str(), 1);
        setenv("TEMP", (d + "/").c_str(), 1);
        return d;
    }()};
    return holder.dir;
}

class FileutlTest : public ::testing::Test {
protected:
    void SetUp() override { temp_dir(); }
    void TearDown() override { Fileutl::delete_tmp_files(Fileutl::GROUP_ALL); }
    static unsigned number_of(std::string const &path, std::string const &prefix) {
        std::string leaf = fs::path(path).filename().string();
        EXPECT_EQ(leaf.substr(0, prefix.size()), prefix);
        return static_cast<unsigned>(std::stoul(leaf.substr(prefix.size())));
    }
};

std::string slurp(std::string const &path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

} // namespace

TEST(PathNames, Split) {
    Pname a(UString(L"C:\\a\\b.txt"));
    EXPECT_EQ(a.leaf(), UString(L"b.txt"));
    EXPECT_EQ(a.parent_dir(), UString(L"C:\\a"));
    Pname b(UString(L"b.txt"));
    EXPECT_EQ(b.leaf(), UString(L"b.txt"));
    EXPECT_TRUE(b.parent_dir().empty());
    for (wchar_t const *p : {L"\\b.txt", L"\\\\b.txt", L"/b.txt", L"//b.txt"}) {
        Pname c{UString(p)};
        EXPECT_TRUE(c.parent_dir().empty()) << u8(UString(p));
        EXPECT_EQ(c.leaf(), UString(L"b.txt"));
    }
    Pname d(UString(L"/x/y\\z"));
    EXPECT_EQ(d.leaf(), UString(L"z"));
    EXPECT_EQ(d.parent_dir(), UString(L"/x/y"));
    Pname e;
    EXPECT_TRUE(e.leaf().empty());
    EXPECT_TRUE(e.parent_dir().empty());
    // Copies carry the caches; assignment of a path clears them.
    Pname f(d);
    EXPECT_EQ(f.parent_dir(), UString(L"/x/y"));
    f = UString(L"/p/q");
    EXPECT_EQ(f.leaf(), UString(L"q"));
    EXPECT_EQ(f.parent_dir(), UString(L"/p"));
    f = d;
    EXPECT_EQ(f.path(), UString(L"/x/y\\z"));
    EXPECT_EQ(f.leaf(), UString(L"z"));
}

TEST(PathNames, StripTrailingSeparator) {
    Pname p(UString(L"C:\\a\\"));
    EXPECT_TRUE(p.leaf().empty());
    EXPECT_EQ(p.parent_dir(), UString(L"C:\\a"));
    p.strip_trailing_separator();
    EXPECT_EQ(p.path(), UString(L"C:\\a"));
    EXPECT_EQ(p.leaf(), UString(L"a"));
    EXPECT_EQ(p.parent_dir(), UString(L"C:"));
    Pname q(UString(L"/a//"));
    q.strip_trailing_separator();
    EXPECT_EQ(q.path(), UString(L"/a/"));
    Pname r(UString(L"/a"));
    r.strip_trailing_separator();
    EXPECT_EQ(r.path(), UString(L"/a"));
}

TEST_F(FileutlTest, FilesGoToTheFirstWritableDirectory) {
    UString p = Fileutl::create_tmp_file(1);
    EXPECT_EQ(u8(Pname(p).parent_dir()), temp_dir());
    struct stat st {};
    ASSERT_EQ(::stat(u8(p).c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(st.st_size, 0);
    Fileutl::delete_tmp_file(p);
    EXPECT_FALSE(fs::exists(u8(p)));
}

TEST_F(FileutlTest, AChosenDirectoryTakesLaterFilesUntilItIsCleared) {
    std::string const chosen = temp_dir() + "/chosen";
    ASSERT_TRUE(fs::create_directory(chosen));
    Fileutl::set_tmp_dir(us(chosen));
    UString const file = Fileutl::create_tmp_file(1);
    UString const named = Fileutl::create_tmp_file(UString(L"n"), 1);
    EXPECT_EQ(u8(Pname(file).parent_dir()), chosen);
    EXPECT_EQ(u8(Pname(Pname(named).parent_dir()).parent_dir()), chosen);
    // The system's directory is still the one the environment names.
    EXPECT_EQ(u8(Fileutl::system_tmp_dir()), temp_dir());
    Fileutl::set_tmp_dir(UString());
    UString const after = Fileutl::create_tmp_file(1);
    EXPECT_EQ(u8(Pname(after).parent_dir()), temp_dir());
    for (UString const &p : {file, named, after}) Fileutl::delete_tmp_file(p);
    EXPECT_TRUE(fs::is_empty(chosen));
    fs::remove(chosen);
}

TEST_F(FileutlTest, CounterSkipsExistingNames) {
    UString a = Fileutl::create_tmp_file(1);
    unsigned n = number_of(u8(a), "TMP");
    // The counter still stands at n; n+1 is taken by someone else.
    std::ofstream(temp_dir() + "/TMP" + std::to_string(n + 1)).put('x');
    UString b = Fileutl::create_tmp_file(1);
    EXPECT_EQ(number_of(u8(b), "TMP"), n + 2);
    EXPECT_EQ(slurp(temp_dir() + "/TMP" + std::to_string(n + 1)), "x"); // left alone
    fs::remove(temp_dir() + "/TMP" + std::to_string(n + 1));
}

TEST_F(FileutlTest, PrivateDirectoriesAndGroups) {
    UString x = Fileutl::create_tmp_file(UString(L"x"), 3);
    Pname px(x);
    EXPECT_EQ(px.leaf(), UString(L"x"));
    std::string dir = u8(px.parent_dir());
    number_of(dir, "DIR");
    EXPECT_EQ(u8(Pname(px.parent_dir()).parent_dir()), temp_dir());
    EXPECT_TRUE(fs::is_directory(dir));
    EXPECT_FALSE(fs::exists(u8(x))); // the file itself is the caller's to make
    struct stat st {};
    ASSERT_EQ(::stat(dir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    std::ofstream(u8(x)) << "content";

    UString y = Fileutl::create_tmp_file(UString(L"y"), 3);
    UString other = Fileutl::create_tmp_file(4);
    Fileutl::delete_tmp_file(x);
    EXPECT_FALSE(fs::exists(u8(x)));
    EXPECT_FALSE(fs::exists(dir));

    Fileutl::delete_tmp_files(3);
    EXPECT_FALSE(fs::exists(u8(Pname(y).parent_dir())));
    EXPECT_TRUE(fs::exists(u8(other)));
    Fileutl::delete_tmp_files(3); // finds nothing
    EXPECT_TRUE(fs::exists(u8(other)));

    // set_file_id moves a file to another group, or registers a foreign one.
    Fileutl::set_file_id(other, 5);
    std::string foreign = temp_dir() + "/foreign";
    std::ofstream(foreign).put('f');
    Fileutl::set_file_id(us(foreign), 5);
    Fileutl::delete_tmp_files(4);
    EXPECT_TRUE(fs::exists(u8(other)));
    Fileutl::delete_tmp_files(5);
    EXPECT_FALSE(fs::exists(u8(other)));
    EXPECT_FALSE(fs::exists(foreign));

    // Deleting an unregistered or missing file never fails.
    Fileutl::delete_tmp_file(us(temp_dir() + "/nothing-here"));
    fs::create_directory(temp_dir() + "/emptydir");
    Fileutl::delete_dir(us(temp_dir() + "/emptydir"));
    EXPECT_FALSE(fs::exists(temp_dir() + "/emptydir"));
    Fileutl::delete_dir(us(temp_dir() + "/emptydir"));
}

TEST_F(FileutlTest, DeleteAllGroups) {
    std::vector<UString> paths;
    for (unsigned g = 1; g <= 3; ++g) {
        paths.push_back(Fileutl::create_tmp_file(g));
        paths.push_back(Fileutl::create_tmp_file(UString(L"n"), g));
        std::ofstream(u8(paths.back())).put('1');
    }
    Fileutl::delete_tmp_files(Fileutl::GROUP_ALL);
    for (auto const &p : paths) {
        EXPECT_FALSE(fs::exists(u8(p)));
        EXPECT_FALSE(fs::exists(u8(Pname(p).parent_dir())) && Pname(p).leaf() == UString(L"n"));
    }
}

TEST_F(FileutlTest, ConcurrentCreationGivesDistinctFiles) {
    std::vector<std::vector<UString>> made(4);
    std::vector<std::thread> ts;
    for (int t = 0; t < 4; ++t)
        ts.emplace_back([&made, t] {
            for (int i = 0; i < 50; ++i) made[t].push_back(Fileutl::create_tmp_file(7));
        });
    for (auto &t : ts) t.join();
    std::set<std::string> all;
    for (auto const &v : made)
        for (auto const &p : v) all.insert(u8(p));
    EXPECT_EQ(all.size(), 200u);
    Fileutl::delete_tmp_files(7);
    for (auto const &p : all) EXPECT_FALSE(fs::exists(p));
}

TEST_F(FileutlTest, FailuresRaiseMessage14) {
    // Every name taken: the search gives up.
    for (int i = 0; i < 10000; ++i) {
        std::string d = temp_dir() + "/DIR" + std::to_string(i);
        ASSERT_EQ(::mkdir(d.c_str(), 0700), 0);
    }
    try {
        Fileutl::create_tmp_file(UString(L"z"), 9);
        FAIL();
    } catch (Nul::STPException const &e) {
        EXPECT_EQ(e.stp_reason_code(), 40);
        EXPECT_EQ(e.message().index(), Nul::WEXUTIL_TEMP_CREATE);
        EXPECT_EQ(u8(e.msg()), "TLQSV0664E Cannot create temporary file system object: too many retries");
    }
    for (int i = 0; i < 10000; ++i) ::rmdir((temp_dir() + "/DIR" + std::to_string(i)).c_str());

    // A failure other than an existing name: the system's text.
    std::string moved = temp_dir() + ".away";
    ASSERT_EQ(::rename(temp_dir().c_str(), moved.c_str()), 0);
    try {
        Fileutl::create_tmp_file(1);
        ::rename(moved.c_str(), temp_dir().c_str());
        FAIL();
    } catch (Nul::STPException const &e) {
        ::rename(moved.c_str(), temp_dir().c_str());
        EXPECT_EQ(e.stp_reason_code(), 40);
        EXPECT_EQ(u8(e.msg()), "TLQSV0664E Cannot create temporary file system object: No such file or directory");
    }
}

TEST(FileStreams, ModeTable) {
    using std::ios_base;
    EXPECT_STREQ(Nul::stream_mode_text(ios_base::out | ios_base::app | ios_base::binary), "ab");
    EXPECT_STREQ(Nul::stream_mode_text(ios_base::in | ios_base::out | ios_base::trunc | ios_base::binary), "w+b");
    EXPECT_STREQ(Nul::stream_mode_text(ios_base::in | ios_base::ate), "r");
    EXPECT_EQ(Nul::stream_mode_text(ios_base::in | ios_base::app), nullptr);
    EXPECT_EQ(Nul::stream_mode_text(ios_base::trunc), nullptr);
}

TEST_F(FileutlTest, Streams) {
    std::string path = temp_dir() + "/stream-\xc3\xa9.txt";
    std::wstring wpath = UString(Nul::Utf8String(path)).c_str();
    {
        Nul::ofstream out(wpath.c_str(), std::ios_base::out | std::ios_base::binary);
        ASSERT_TRUE(out.is_open());
        out << "line one\n";
        out.close();
        EXPECT_FALSE(out.is_open());
    }
    EXPECT_EQ(slurp(path), "line one\n");
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    {
        Nul::ofstream out;
        EXPECT_FALSE(out.is_open());
        out.open(wpath.c_str(), static_cast<unsigned>(std::ios_base::app | std::ios_base::binary));
        ASSERT_TRUE(out.is_open());
        out << "two\n";
    } // the destructor closes and flushes
    EXPECT_EQ(slurp(path), "line one\ntwo\n");
    {
        Nul::ifstream in(wpath.c_str());
        ASSERT_TRUE(in.is_open());
        std::string a, b, c;
        in >> a >> b >> c;
        EXPECT_EQ(a + "|" + b + "|" + c, "line|one|two");
        EXPECT_NE(in.rdbuf(), nullptr);
    }
    {
        // "ate" positions at the end.
        Nul::ofstream out(wpath.c_str(), std::ios_base::in | std::ios_base::out | std::ios_base::ate);
        ASSERT_TRUE(out.is_open());
        out << "end";
    }
    EXPECT_EQ(slurp(path), "line one\ntwo\nend");
    {
        // Not in the table: stays closed, stream state untouched.
        Nul::ifstream in(wpath.c_str(), std::ios_base::app);
        EXPECT_FALSE(in.is_open());
        EXPECT_TRUE(in.good());
        Nul::ifstream missing((wpath + L".missing").c_str());
        EXPECT_FALSE(missing.is_open());
        EXPECT_TRUE(missing.good());
        // Reopening an existing stream works.
        in.open(wpath.c_str(), std::ios_base::binary);
        ASSERT_TRUE(in.is_open());
        std::string first;
        std::getline(in, first);
        EXPECT_EQ(first, "line one");
    }
    {
        Nul::ofstream out(wpath.c_str()); // truncates
        ASSERT_TRUE(out.is_open());
    }
    EXPECT_EQ(slurp(path), "");
    fs::remove(path);
}
