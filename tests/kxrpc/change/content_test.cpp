// Attachment content transfer: the chunk stream of FileMarshaller byte for byte, uploads through
// make_attachment and make_attachment_direct, and downloads through get_attachment and
// get_attachment_direct against the demo set.
#include "change/content.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>

#include "disk_files.h"
#include "files/exchange.h"
#include "files/file_marshaller.h"
#include "handler_env.h"
#include "kxproduct/store.h"
#include "support/private_tmp.h"
#include "tesutil/fileutl.h"
#include "wire/ledger.h"

using namespace KxRpc;
using kxtest::by_name;
using kxtest::Bytes;
using kxtest::cat;
using kxtest::str;
using kxtest::u8;
using kxtest::words;

namespace {

using kxtest::contents;
using kxtest::exists;

void write_file(std::string const &path, std::string const &bytes) { std::ofstream(path, std::ios::binary) << bytes; }

Bytes raw(std::string const &s) {
    Bytes b(s.begin(), s.end());
    b.resize((b.size() + 3) / 4 * 4, 0);
    return b;
}

// The chunk stream of `content` at `chunk_size`, as the server must send it.
Bytes chunks(std::string const &content, std::size_t chunk_size) {
    Bytes out;
    for (std::size_t at = 0;; at += chunk_size) {
        std::string const part = content.substr(at, chunk_size);
        out = cat(cat(out, words({0, static_cast<std::uint32_t>(part.size())})), raw(part));
        if (part.size() < chunk_size) return out;
    }
}

Bytes marshall(FileMarshaller &file, int chunk_size, bool *ok) {
    return kxtest::encode([&](XDR *x) { return file.marshall(x, chunk_size); }, ok);
}

} // namespace

TEST(FileMarshaller, ChunkStreamsByteForByte) {
    struct Case {
        std::string content;
        int chunk_size;
    } const cases[] = {{"", 4}, {"0123456789", 4}, {"01234567", 4}, {"abc", 1}, {"0123456789", 1 << 30}};
    std::string const path = kxtest::private_tmp.dir + "/marshalled";
    for (Case const &c : cases) {
        write_file(path, c.content);
        FileMarshaller file(Nul::UString(path.c_str(), "UTF-8"));
        bool ok = false;
        EXPECT_EQ(marshall(file, c.chunk_size, &ok), chunks(c.content, static_cast<std::size_t>(c.chunk_size)))
            << c.content << " at " << c.chunk_size;
        EXPECT_TRUE(ok);
        // Streaming never deletes the file.
        EXPECT_EQ(contents(path), c.content);
    }
    ::unlink(path.c_str());
}

TEST(FileMarshaller, RefusalsComeBeforeAnyContent) {
    FileMarshaller missing(Nul::UString((kxtest::private_tmp.dir + "/no-such-file").c_str(), "UTF-8"));
    bool ok = false;
    Bytes reply = marshall(missing, 4, &ok);
    EXPECT_TRUE(ok);
    ASSERT_GE(reply.size(), 8u);
    EXPECT_EQ(kxtest::word_at(reply, 0), 1u);
    for (int size : {0, -1, INT_MIN}) {
        FileMarshaller file(Nul::UString(L"/etc/hostname"));
        reply = marshall(file, size, &ok);
        ASSERT_GE(reply.size(), 8u);
        EXPECT_EQ(kxtest::word_at(reply, 0), 1u) << size;
    }
    // In-memory content uses the same stream.
    std::string const text = "01234567";
    EXPECT_EQ(kxtest::encode([&](XDR *x) { return xdr_chunks(x, text.data(), text.size(), 4); }), chunks(text, 4));
}

class Content : public kxtest::HandlerTest {
protected:
    void SetUp() override {
        HandlerTest::SetUp();
        session_ = login(L"alice");
    }
    void TearDown() override {
        for (auto const &item : items_) remove_pointer_entry(item->oid());
        items_.clear();
        HandlerTest::TearDown();
    }

    Bytes folder() const { return by_name(45, {"Defect", "ISSUE00000001", "Attachments"}); }
    Bytes stored(std::string const &name) const {
        return by_name(44, {"Defect", "ISSUE00000001", "Attachments", name});
    }

    // Uploads `parts` at `chunk_size`; answers the new attachment's handle as a target.
    Bytes upload(std::string const &name, std::vector<std::string> const &parts, int chunk_size,
                 std::string *path = nullptr) {
        Bytes body = cat(cat(cat(header(session_), folder()), str(name)), str("comment"));
        body = cat(body, words({static_cast<std::uint32_t>(chunk_size)}));
        for (auto const &p : parts) body = cat(cat(body, words({static_cast<std::uint32_t>(p.size())})), raw(p));
        kxtest::Outcome out = call<MakeAttachmentArgs>(kxrpc_make_attachment, cat(body, words({0})));
        EXPECT_TRUE(out.result) << out.message();
        if (!out.result) return {};
        if (path) *path = u8(static_cast<MakeAttachmentArgs *>(out.args.get())->filename());
        Bytes reply = out.reply();
        Bytes handle(reply.begin(), reply.begin() + handle_bytes());
        StateItemPtr item;
        kxtest::decode(handle, [&](XDR *x) { return xdr_state_handle(x, item); });
        items_.push_back(item);
        EXPECT_EQ(Bytes(reply.begin() + handle_bytes(), reply.end()),
                  cat(cat(cat(str("Defect"), str("ISSUE00000001")), str("Attachments")), str(name)));
        return cat(words({44, 3}), handle);
    }

    std::size_t handle_bytes() const { return handle_of(session_).size(); }

    // make_attachment of `parts` at `chunk_size`, and make_attachment_direct of `path`, as they came out.
    kxtest::Outcome try_upload(std::vector<std::string> const &parts, int chunk_size) {
        Bytes body = cat(cat(cat(header(session_), folder()), str("tried.bin")), str(""));
        body = cat(body, words({static_cast<std::uint32_t>(chunk_size)}));
        for (auto const &p : parts) body = cat(cat(body, words({static_cast<std::uint32_t>(p.size())})), raw(p));
        return call<MakeAttachmentArgs>(kxrpc_make_attachment, cat(body, words({0})));
    }
    kxtest::Outcome try_direct(std::string const &path) {
        Bytes body = cat(cat(cat(header(session_), folder()), str("direct.bin")), str(""));
        return call<MakeAttachmentDirectArgs>(kxrpc_make_attachment_direct, cat(cat(body, str(path)), words({0})));
    }
    std::uint64_t held() const { return ledger_held(Holding::disk, session_->oid()); }

    kxtest::Outcome get(Bytes const &target, int chunk_size, kxtest::Handler handler = kxrpc_get) {
        return call<GetArgs>(handler,
                             cat(cat(header(session_), target), words({static_cast<std::uint32_t>(chunk_size)})));
    }

    std::shared_ptr<LoginSession> session_;
    std::vector<StateItemPtr> items_;
};

TEST_F(Content, UploadThenDownloadSameBytesAndChunking) {
    std::string path;
    Bytes const target = upload("notes.txt", {"abcd", "efgh", "i"}, 4, &path);
    EXPECT_EQ(contents(path), "abcdefghi");
    // Twice through one handle: the upload's file is read, never removed by a download.
    for (int round = 0; round < 2; ++round)
        EXPECT_EQ(get(target, 4).reply(), cat(words({0}), chunks("abcdefghi", 4))) << round;
    // Direct: a copy of its own for the web tier, which may delete it; the upload stays.
    Bytes const direct = get(target, 4, kxrpc_get_direct).reply();
    ASSERT_GT(direct.size(), 8u);
    EXPECT_EQ(kxtest::word_at(direct, 0), 0u);
    std::string const copy(direct.begin() + 8, direct.begin() + 8 + kxtest::word_at(direct, 1));
    EXPECT_NE(copy, path);
    EXPECT_EQ(contents(copy), "abcdefghi");
    ::unlink(copy.c_str());
    EXPECT_EQ(contents(path), "abcdefghi");

    Bytes const empty = upload("empty.bin", {}, 4, &path);
    EXPECT_EQ(get(empty, 4).reply(), words({0, 0, 0}));
    // An upload never committed goes with its handle.
    ASSERT_TRUE(exists(path));
    remove_pointer_entry(items_.back()->oid());
    items_.clear();
    EXPECT_FALSE(exists(path));
}

TEST_F(Content, StoredAttachmentDownloadsTwiceAndLeavesNoFile) {
    std::string const expected = "1. Open a new record.\n2. Save it without values.\n";
    Bytes first = get(stored("steps.txt"), 5).reply();
    EXPECT_EQ(first, cat(words({0}), chunks(expected, 5)));
    EXPECT_EQ(get(stored("steps.txt"), 5).reply(), first);

    kxtest::Outcome direct = get(stored("steps.txt"), 0, kxrpc_get_direct);
    Bytes reply = direct.reply();
    ASSERT_GT(reply.size(), 8u);
    EXPECT_EQ(kxtest::word_at(reply, 0), 0u);
    std::string const path(reply.begin() + 8, reply.begin() + 8 + kxtest::word_at(reply, 1));
    EXPECT_EQ(contents(path), expected);
    ::unlink(path.c_str());

    // A chunk size of 0 or less is refused before any content.
    for (int size : {0, -4}) {
        reply = get(stored("steps.txt"), size).reply();
        ASSERT_GE(reply.size(), 8u);
        EXPECT_EQ(kxtest::word_at(reply, 0), 1u);
    }
    // Not an attachment, record or report format: reason 31.
    reply = get(by_name(34, {"site"}), 4).reply();
    EXPECT_EQ(Bytes(reply.begin(), reply.begin() + 8), words({1, 31}));
}

TEST_F(Content, FailedExtractionAnswersTheError) {
    for (kxtest::Handler handler : {kxrpc_get, kxrpc_get_direct}) {
        for (KXFaultKind kind : {KXFaultKind::KXException, KXFaultKind::PaMsgException, KXFaultKind::CException}) {
            KXFaultInjector::Arm("AdEntity::ExtractAttachment", kxtest::fault(kind, 13240, L"disk full"));
            Bytes reply = get(stored("crash.log"), 4, handler).reply();
            ASSERT_GE(reply.size(), 8u);
            EXPECT_EQ(kxtest::word_at(reply, 0), 1u);
            std::string const text(reply.begin(), reply.end());
            // The product's own words, never dressed as an unexpected exception.
            EXPECT_EQ(kxtest::word_at(reply, 1), 40u);
            EXPECT_NE(text.find("TLQSV0770E Cannot load the attachment: disk full"), std::string::npos) << text;
            EXPECT_EQ(text.find("Unexpected exception"), std::string::npos) << text;
        }
    }
}

TEST_F(Content, FailedUploadHandlerLeavesNoFile) {
    std::string path;
    {
        Bytes body =
            cat(cat(cat(header(session_), by_name(45, {"Defect", "ISSUE99999999", "Attachments"})), str("lost.txt")),
                str(""));
        kxtest::Outcome out = call<MakeAttachmentArgs>(kxrpc_make_attachment,
                                                       cat(cat(body, words({4, 4})), cat(raw("abcd"), words({0}))));
        EXPECT_TRUE(out.error);
        path = u8(static_cast<MakeAttachmentArgs *>(out.args.get())->filename());
        ASSERT_FALSE(path.empty());
    }
    EXPECT_FALSE(exists(path));
    EXPECT_FALSE(exists(path.substr(0, path.rfind('/'))));
}

TEST_F(Content, DirectUploadTakesOnlyARegularFileOfTheExchangeDirectory) {
    // The exchange directory is the system's temporary directory unless one is named.
    std::string const exchange = exchange_dir();
    ASSERT_FALSE(exchange.empty());
    std::string const client = exchange + "/client.txt";
    write_file(client, "client bytes");
    std::string const data = KXProductStore::DataDirectory();
    std::string const link = exchange + "/set-link", out_link = exchange + "/passwd-link";
    std::string const sub = exchange + "/sub";
    ::unlink(link.c_str());
    ::unlink(out_link.c_str());
    std::string const alias = exchange + "/alias", hard = exchange + "/hard.txt", fifo = exchange + "/fifo";
    for (std::string const &gone : {alias, hard, fifo}) ::unlink(gone.c_str());
    ::mkdir(sub.c_str(), 0700);
    ASSERT_EQ(::symlink(KXProductStore::SetPath(CString(L"KXDEMO")).c_str(), link.c_str()), 0);
    ASSERT_EQ(::symlink("/etc/passwd", out_link.c_str()), 0);
    // A link to a folder inside the directory, a second name of a file, a FIFO nobody writes.
    ASSERT_EQ(::symlink(sub.c_str(), alias.c_str()), 0);
    write_file(sub + "/inner.txt", "inner");
    ASSERT_EQ(::link(client.c_str(), hard.c_str()), 0);
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    // Another server's folder, at any depth, and whatever else is named like one.
    std::string const other_server = exchange + "/kxrpc-0123456789abcdef", nested = sub + "/kxrpc-web";
    for (std::string const &dir : {other_server, other_server + "/4242-abcdef", nested}) ::mkdir(dir.c_str(), 0700);
    std::string const other_download = other_server + "/4242-abcdef/DL0", other_upload = nested + "/upload.txt";
    write_file(other_download, "another server's download");
    write_file(other_upload, "another server's upload");
    auto direct = [&](std::string const &path) {
        Bytes body = cat(cat(cat(header(session_), folder()), str("client.txt")), str(""));
        return call<MakeAttachmentDirectArgs>(kxrpc_make_attachment_direct, cat(cat(body, str(path)), words({12})));
    };
    // Relative, the directory itself, missing, outside (by name, by "..", by a link, by /proc), and
    // the server's own data however it is reached: all the same refusal.
    for (std::string const &bad :
         {std::string("client.txt"), exchange, exchange + "/none", sub + "/../../etc/passwd",
          std::string("/etc/passwd"), out_link, std::string("/proc/self/environ"),
          KXProductStore::SetPath(CString(L"KXDEMO")), link,
          data + "/../" + data.substr(data.rfind('/') + 1) + "/KXDEMO.kxdb", alias + "/inner.txt", hard, client, fifo,
          sub + "/inner.txt/..", other_download, other_upload, sub + "/../kxrpc-0123456789abcdef/4242-abcdef/DL0"}) {
        kxtest::Outcome out = direct(bad);
        EXPECT_EQ(out.reason(), 40) << bad;
        EXPECT_NE(out.message().find("TLQSV0772E Cannot make the attachment: The attachment's content file '" + bad +
                                     "' cannot be read."),
                  std::string::npos)
            << bad << ": " << out.message();
    }
    ASSERT_EQ(::unlink(hard.c_str()), 0);
    // A path that reaches the exchange directory through ".." is taken by its real path.
    for (std::string const &good : {client, sub + "/../client.txt"}) {
        kxtest::Outcome out = direct(good);
        ASSERT_TRUE(out.result) << out.message();
        Bytes reply = out.reply();
        StateItemPtr item;
        Bytes const handle(reply.begin(), reply.begin() + handle_bytes());
        kxtest::decode(handle, [&](XDR *x) { return xdr_state_handle(x, item); });
        auto *held = dynamic_cast<AttachmentStateItem *>(item.get());
        ASSERT_NE(held, nullptr);
        // A copy of the server's own, named like the client's file, goes with the item.
        std::string const copy = u8(held->file_path());
        EXPECT_NE(copy, client);
        EXPECT_EQ(copy.substr(copy.rfind('/')), "/client.txt");
        EXPECT_EQ(contents(copy), "client bytes");
        // What the client's name comes to mean later is never read.
        ASSERT_EQ(::rename(client.c_str(), (client + ".was").c_str()), 0);
        ASSERT_EQ(::symlink(KXProductStore::SetPath(CString(L"KXDEMO")).c_str(), client.c_str()), 0);
        EXPECT_EQ(get(cat(words({44, 3}), handle), 64).reply(), cat(words({0}), chunks("client bytes", 64)));
        ASSERT_EQ(::unlink(client.c_str()), 0);
        ASSERT_EQ(::rename((client + ".was").c_str(), client.c_str()), 0);
        remove_pointer_entry(item->oid());
        item.reset();
        out.result.reset();
        EXPECT_FALSE(exists(copy));
    }
    // The client's file is never deleted.
    EXPECT_EQ(contents(client), "client bytes");
    for (std::string const &gone : {client, link, out_link, alias, fifo, sub + "/inner.txt"}) ::unlink(gone.c_str());
    std::filesystem::remove_all(other_server);
    std::filesystem::remove_all(sub);
}

TEST_F(Content, RecordAsXmlAndReportFormatByEitherProcedure) {
    // Direct first: the file tells the XML that the inline stream must carry.
    Bytes const record = by_name(32, {"Defect", "ISSUE00000001"});
    Bytes reply = get(record, 0, kxrpc_get_direct).reply();
    ASSERT_GT(reply.size(), 8u);
    ASSERT_EQ(kxtest::word_at(reply, 0), 0u);
    std::string const path(reply.begin() + 8, reply.begin() + 8 + kxtest::word_at(reply, 1));
    std::string const xml = contents(path);
    EXPECT_EQ(std::system(("xmllint --noout " + path).c_str()), 0) << xml;
    EXPECT_NE(xml.find("<field name=\"Headline\" type=\"1\">Crash when saving an empty record</field>"),
              std::string::npos)
        << xml;
    ::unlink(path.c_str());
    // A whole multiple of the chunk size: full chunks, then one of no bytes.
    std::size_t const chunk = xml.size() % 2 == 0 ? xml.size() / 2 : xml.size();
    EXPECT_EQ(get(record, static_cast<int>(chunk)).reply(), cat(words({0}), chunks(xml, chunk)));

    Bytes const format = by_name(39, {"Public Queries/Report Formats/Summary Format"});
    EXPECT_EQ(get(format, 4).reply(), cat(words({0}), chunks("layout=table", 4)));
    reply = get(format, 4, kxrpc_get_direct).reply();
    ASSERT_GT(reply.size(), 8u);
    std::string const format_path(reply.begin() + 8, reply.begin() + 8 + kxtest::word_at(reply, 1));
    EXPECT_EQ(contents(format_path), "layout=table");
    ::unlink(format_path.c_str());
    // A report (not a report format) cannot be loaded: message 125, no file left.
    reply = get(by_name(39, {"Public Queries/Defects/Defect Summary"}), 4).reply();
    EXPECT_EQ(kxtest::word_at(reply, 0), 1u);
    EXPECT_NE(std::string(reply.begin(), reply.end()).find("TLQSV0862E"), std::string::npos);
}

TEST_F(Content, FailedRecordExportIsReason71WithTheProductsText) {
    struct Case {
        KXFaultKind kind;
        char const *text;
    } const cases[] = {{KXFaultKind::KXException, "TLQSV0769E Internal Error: no memory"},
                       {KXFaultKind::PaMsgException, "TLQSV0769E Internal Error: Unknown error."},
                       {KXFaultKind::CException, "TLQSV0769E Internal Error: Unknown error."}};
    for (kxtest::Handler handler : {kxrpc_get, kxrpc_get_direct}) {
        for (Case const &c : cases) {
            KXFaultInjector::Arm("KXEntity::GetAsXML", kxtest::fault(c.kind, 13240, L"no memory"));
            Bytes reply = get(by_name(32, {"Defect", "ISSUE00000001"}), 4, handler).reply();
            ASSERT_GE(reply.size(), 8u);
            EXPECT_EQ(Bytes(reply.begin(), reply.begin() + 8), words({1, 71}));
            EXPECT_NE(std::string(reply.begin(), reply.end()).find(c.text), std::string::npos) << c.text;
        }
    }
}

namespace {

// Every regular file below the test's temporary directory.
std::vector<std::string> temporary_files() {
    std::vector<std::string> out;
    for (auto const &e : std::filesystem::recursive_directory_iterator(kxtest::private_tmp.dir))
        if (e.is_regular_file()) out.push_back(e.path().string());
    return out;
}

// The path a get_attachment_direct reply names, or empty for its error arm.
std::string direct_path(Bytes const &reply) {
    if (reply.size() < 8 || kxtest::word_at(reply, 0) != 0) return std::string();
    return std::string(reply.begin() + 8, reply.begin() + 8 + kxtest::word_at(reply, 1));
}

} // namespace

TEST_F(Content, AFullDiskAnswersAnErrorLeavesNoPartialFileAndLosesNothingTaken) {
    std::string kept_path;
    Bytes const kept = upload("kept.txt", {"abcd", "ef"}, 4, &kept_path);
    std::uint64_t const kept_bytes = held();
    EXPECT_EQ(kept_bytes, 6u);
    std::string const client = exchange_dir() + "/client.txt";
    write_file(client, "client bytes");
    std::vector<std::string> const before = temporary_files();
    KXFault full;
    full.kind = KXFaultKind::LookupStatus;
    full.status = ENOSPC;
    // The error's text, or "a path" for a download that was answered.
    auto direct_error = [&](Bytes const &target) {
        Bytes const reply = get(target, 4, kxrpc_get_direct).reply();
        return direct_path(reply).empty() ? std::string(reply.begin(), reply.end()) : std::string("a path");
    };
    struct Case {
        char const *what;
        std::function<std::string()> run;
        char const *error;
    } const cases[] = {
        {"make_attachment",
         [&] {
             return try_upload({"1234", "5"}, 4).message();
         },
         "TLQSV0772E Cannot make the attachment: No space left on device"},
        {"make_attachment_direct", [&] { return try_direct(client).message(); },
         "TLQSV0772E Cannot make the attachment: No space left on device"},
        {"get_attachment_direct of a new attachment", [&] { return direct_error(kept); },
         "TLQSV0770E Cannot load the attachment: No space left on device"},
        {"get_attachment_direct of a record",
         [&] {
             return direct_error(by_name(32, {"Defect", "ISSUE00000001"}));
         },
         "Cannot write the record content file."},
    };
    for (Case const &c : cases) {
        SCOPED_TRACE(c.what);
        KXFaultInjector::Arm("KxRpc::write", full);
        std::string const error = c.run();
        KXFaultInjector::Disarm("KxRpc::write");
        EXPECT_NE(error.find(c.error), std::string::npos) << error;
        EXPECT_EQ(temporary_files(), before);
        EXPECT_EQ(held(), kept_bytes);
    }
    // What was taken before is whole.
    EXPECT_EQ(contents(kept_path), "abcdef");
    EXPECT_EQ(get(kept, 4).reply(), cat(words({0}), chunks("abcdef", 4)));
    EXPECT_EQ(contents(client), "client bytes");
    ::unlink(client.c_str());
}
