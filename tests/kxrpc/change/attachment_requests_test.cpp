// make_attachment and make_attachment_direct requests: content received into temporary files,
// failures kept for the handler, and what is left on disk afterwards.
#include "change/attachment_requests.h"

#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <cstdlib>

#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "disk_files.h"
#include "support/private_tmp.h"
#include "tesutil/fileutl.h"
#include "wire_builder.h"

using namespace KxRpc;
using kxtest::Bytes;
using kxtest::u8;
using kxtest::Wire;

namespace {

using kxtest::contents;
using kxtest::exists;

std::string parent(std::string const &path) { return path.substr(0, path.rfind('/')); }

// Session header, the attachment field of ISSUE00000001, name, comment, chunk size.
Wire upload(std::string const &name, int chunk_size) {
    Wire w;
    w.session_header(3).i(45).i(1).s("Defect").s("ISSUE00000001").s("Attachments");
    w.s(name).s("a comment").i(chunk_size);
    return w;
}

Wire &chunk(Wire &w, std::string const &bytes) { return w.i(static_cast<int>(bytes.size())).raw(bytes); }

// Removes what a successful upload leaves for its attachment.
void remove_upload(std::string const &path) { Nul::Fileutl::delete_tmp_file(Nul::UString(path.c_str(), "UTF-8")); }

} // namespace

TEST(MakeAttachment, ChunksAreWrittenInOrder) {
    std::string path;
    {
        MakeAttachmentArgs args;
        Wire w = upload("notes.txt", 4);
        chunk(chunk(chunk(w, "abcd"), "efgh"), "i").i(0).i(0x77);
        Bytes bytes = w.bytes();
        std::size_t used = 0;
        ASSERT_TRUE(kxtest::decode_args(args, bytes, &used));
        // The end marker is the last thing read.
        EXPECT_EQ(used, bytes.size() - 4);
        EXPECT_FALSE(args.failed());
        EXPECT_EQ(args.error(), nullptr);
        EXPECT_EQ(args.size(), 9);
        EXPECT_EQ(u8(args.name()), "notes.txt");
        EXPECT_EQ(u8(args.comment()), "a comment");
        path = u8(args.filename());
        EXPECT_EQ(path.substr(path.rfind('/')), "/notes.txt");
        EXPECT_EQ(contents(path), "abcdefghi");
        struct stat st {};
        ASSERT_EQ(::stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
        ASSERT_EQ(::stat(parent(path).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0700u);
        EXPECT_EQ(u8(args.describe()), "wtid:3 :: no session :: target_resource_arg:(op_type(45) rectype(Defect) "
                                       "target_name(ISSUE00000001) attachment_folder(Attachments) attachment(NULL)) :: "
                                       "name:notes.txt :: comment:a comment :: size:9 :: filename:" +
                                           path);
    }
    // A stored upload stays for the attachment that will hold it.
    EXPECT_EQ(contents(path), "abcdefghi");
    remove_upload(path);
    EXPECT_FALSE(exists(path));
    EXPECT_FALSE(exists(parent(path)));
}

TEST(MakeAttachment, EmptyContentAndLargeChunks) {
    MakeAttachmentArgs empty;
    ASSERT_TRUE(kxtest::decode_args(empty, upload("empty.bin", 4).i(0).bytes()));
    EXPECT_FALSE(empty.failed());
    EXPECT_EQ(empty.size(), 0);
    EXPECT_TRUE(exists(u8(empty.filename())));
    EXPECT_EQ(contents(u8(empty.filename())), "");
    remove_upload(u8(empty.filename()));

    // Chunks bigger than the slices the server reads them in, with odd lengths and binary bytes.
    std::string big(200003, '\0');
    for (std::size_t n = 0; n < big.size(); ++n) big[n] = static_cast<char>(n * 7 % 251);
    MakeAttachmentArgs args;
    Wire w = upload("big.bin", 150001);
    chunk(chunk(w, big.substr(0, 150001)), big.substr(150001)).i(0);
    ASSERT_TRUE(kxtest::decode_args(args, w.bytes()));
    EXPECT_FALSE(args.failed());
    EXPECT_EQ(args.size(), 200003);
    EXPECT_EQ(contents(u8(args.filename())), big);
    remove_upload(u8(args.filename()));
}

TEST(MakeAttachment, UnusableNamesFailAfterReadingEveryChunk) {
    for (std::string name : {"../escape.txt", "a/b.txt", "..", ".", "", "dir\\file"}) {
        MakeAttachmentArgs args;
        Wire w = upload(name, 4);
        chunk(chunk(w, "abcd"), "x").i(0).i(0x55);
        Bytes bytes = w.bytes();
        std::size_t used = 0;
        ASSERT_TRUE(kxtest::decode_args(args, bytes, &used)) << name;
        EXPECT_EQ(used, bytes.size() - 4) << name;
        EXPECT_TRUE(args.failed());
        ASSERT_NE(args.error(), nullptr);
        EXPECT_EQ(args.error()->stp_reason_code(), 4);
        EXPECT_EQ(u8(args.error()->msg()), "TLQSV0805E The name for the attachment is invalid");
        // Nothing was made, so nothing is left behind.
        EXPECT_TRUE(args.filename().empty()) << name;
        EXPECT_EQ(args.size(), 0);
    }
    EXPECT_FALSE(exists("/tmp/escape.txt"));
}

TEST(MakeAttachment, NameTooLongForTheFileSystem) {
    std::string path;
    {
        MakeAttachmentArgs args;
        Wire w = upload(std::string(300, 'n'), 4);
        chunk(w, "abcd").i(0);
        ASSERT_TRUE(kxtest::decode_args(args, w.bytes()));
        EXPECT_TRUE(args.failed());
        ASSERT_NE(args.error(), nullptr);
        EXPECT_EQ(u8(args.error()->msg()), "TLQSV0805E The name for the attachment is invalid");
        path = u8(args.filename());
        ASSERT_FALSE(path.empty());
        EXPECT_TRUE(exists(parent(path)));
    }
    // The failed upload's private directory goes with the request.
    EXPECT_FALSE(exists(parent(path)));
}

TEST(MakeAttachment, BrokenChunkStreamsFailDecodingAndLeaveNothing) {
    struct Case {
        char const *what;
        Wire wire;
    };
    Wire too_long = upload("x.txt", 4);
    chunk(too_long, "abcde").i(0);
    Wire negative = upload("x.txt", 4);
    chunk(negative, "ab").i(-3).i(0);
    Wire no_size = upload("x.txt", 0);
    chunk(no_size, "a").i(0);
    Wire cut = upload("x.txt", 8);
    cut.i(8).raw("abcd");
    Wire no_end = upload("x.txt", 4);
    chunk(no_end, "abcd");
    for (Case c : {Case{"longer than the chunk size", too_long}, Case{"negative length", negative},
                   Case{"chunk size 0", no_size}, Case{"cut in the data", cut}, Case{"no end marker", no_end}}) {
        std::string path;
        {
            MakeAttachmentArgs args;
            EXPECT_FALSE(kxtest::decode_args(args, c.wire.bytes())) << c.what;
            EXPECT_TRUE(args.failed()) << c.what;
            path = u8(args.filename());
            ASSERT_FALSE(path.empty());
            EXPECT_TRUE(exists(path)) << c.what;
        }
        EXPECT_FALSE(exists(path)) << c.what;
        EXPECT_FALSE(exists(parent(path))) << c.what;
    }
    // A request cut before its chunk size never makes a file.
    Bytes head = upload("x.txt", 4).bytes();
    head.resize(head.size() - 4);
    MakeAttachmentArgs early;
    EXPECT_FALSE(kxtest::decode_args(early, head));
    EXPECT_TRUE(early.filename().empty());
    EXPECT_FALSE(early.failed());
}

// A disk that takes fewer bytes than arrive: the upload fails with its own error, later chunks
// are dropped, and the partial file goes with the request. Run in a child: the file size limit
// would hold for the whole process. The child ends with _exit, so the library's exit-time cleanup
// of temporary files never runs there and removes the parent's.
TEST(MakeAttachment, ShortWriteFailsTheUpload) {
    auto run = [] {
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{10000, 10000};
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) ::_exit(10);
        std::string path;
        {
            MakeAttachmentArgs args;
            Wire w = upload("full.bin", 8192);
            chunk(chunk(chunk(w, std::string(8192, 'a')), std::string(8192, 'b')), "tail").i(0);
            if (!kxtest::decode_args(args, w.bytes())) ::_exit(11);
            if (!args.failed() || !args.error()) ::_exit(12);
            if (args.error()->stp_reason_code() != 40) ::_exit(13);
            if (u8(args.error()->msg()).rfind("TLQSV0772E Cannot make the attachment: ", 0) != 0) ::_exit(14);
            if (args.size() != 10000) ::_exit(15);
            path = u8(args.filename());
            if (!exists(path)) ::_exit(16);
        }
        ::_exit(exists(parent(path)) ? 17 : 0);
    };
    EXPECT_EXIT(run(), ::testing::ExitedWithCode(0), "");
}

TEST(MakeAttachmentDirect, NamesTheClientsFileAndNeverDeletesIt) {
    std::string const path = "/tmp/kxrpc-direct-" + std::to_string(::getpid()) + ".txt";
    std::ofstream(path) << "client content";
    {
        MakeAttachmentDirectArgs args;
        Wire w;
        w.session_header(9).t(TargetResourceArg(45, Nul::UString(L"Defect"), Nul::UString(L"ISSUE00000001")));
        w.s("report.txt").s("see attached").s(path).i(14);
        ASSERT_TRUE(kxtest::decode_args(args, w.bytes()));
        EXPECT_EQ(u8(args.filename()), path);
        EXPECT_EQ(args.size(), 14);
        EXPECT_EQ(u8(args.name()), "report.txt");
        EXPECT_EQ(u8(args.comment()), "see attached");
        EXPECT_FALSE(args.failed());
        EXPECT_EQ(args.error(), nullptr);
        EXPECT_EQ(args.target().type(), 45);
    }
    EXPECT_EQ(contents(path), "client content");
    ::unlink(path.c_str());

    // Decoding opens and examines nothing: a missing file, or one the server must never take, is
    // refused by the handler, not while the request is read.
    for (std::string const &named : {path, std::string("/etc/shadow"), std::string("relative/none")}) {
        MakeAttachmentDirectArgs args;
        Wire w;
        w.session_header(9).t(TargetResourceArg(45, Nul::UString(L"Defect"), Nul::UString(L"ISSUE00000001")));
        w.s("report.txt").s("").s(named).i(-1);
        ASSERT_TRUE(kxtest::decode_args(args, w.bytes())) << named;
        EXPECT_EQ(u8(args.filename()), named);
        EXPECT_EQ(args.size(), -1);
        EXPECT_FALSE(args.failed()) << named;
        EXPECT_EQ(args.error(), nullptr);
    }

    MakeAttachmentDirectArgs cut;
    Wire w;
    w.session_header(9).t(TargetResourceArg(45, Nul::UString(L"Defect"), Nul::UString(L"ISSUE00000001")));
    w.s("report.txt").s("c").s(path);
    EXPECT_FALSE(kxtest::decode_args(cut, w.bytes()));
    EXPECT_FALSE(cut.failed());
}
