// Attachments of a record being edited: pending until the record commits, written in its
// transaction, content streamed from the file.
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "kxproduct/kxproduct.h"
#include "test_support.h"

namespace {

class Attachments : public ProductTest {
protected:
    void SetUp() override {
        ProductTest::SetUp();
        session_ = demo_logon(L"admin");
        s_ = session_->GetReal();
    }
    // A Defect with two stored attachments, being modified.
    AdEntityPtr edited() {
        AdEntityPtr e = find_defect(s_, L"ISSUE00000001");
        EditEntity(e, L"Modify");
        return e;
    }
    static std::vector<CString> entries(const AdEntityPtr &e) {
        return e->GetFieldValue(L"Attachments").GetValueAsList();
    }
    // (file name, size, length of the stored content, description) of each row of the record.
    std::vector<std::string> rows(int64_t record) {
        sqlite3 *db = nullptr;
        EXPECT_EQ(sqlite3_open(KXProductStore::SetPath(L"KXDEMO").c_str(), &db), SQLITE_OK);
        sqlite3_stmt *st = nullptr;
        sqlite3_prepare_v2(
            db,
            "SELECT file_name, size, length(content), description FROM attachments WHERE record_dbid=? ORDER BY dbid",
            -1, &st, nullptr);
        sqlite3_bind_int64(st, 1, record);
        std::vector<std::string> out;
        while (sqlite3_step(st) == SQLITE_ROW)
            out.push_back(std::string(reinterpret_cast<const char *>(sqlite3_column_text(st, 0))) + "|" +
                          std::to_string(sqlite3_column_int64(st, 1)) + "|" +
                          std::to_string(sqlite3_column_int64(st, 2)) + "|" +
                          reinterpret_cast<const char *>(sqlite3_column_text(st, 3)));
        sqlite3_finalize(st);
        sqlite3_close(db);
        return out;
    }
    std::string read_file(const std::string &path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    int64_t last_dbid(const AdEntityPtr &e) {
        std::string last = entries(e).back().ToUtf8();
        return std::stoll(last.substr(0, last.find('\n')));
    }

    KXSmartPtr<KXSession> session_;
    AdSessionPtr s_;
};

// Bytes that show a misplaced slice: not a multiple of the store's slice size.
std::string pattern(size_t n) {
    std::string out(n, '\0');
    for (size_t i = 0; i < n; ++i) out[i] = static_cast<char>((i * 7 + i / 65536) & 0xff);
    return out;
}

} // namespace

TEST_F(Attachments, AddDescribeDeleteWrittenOnlyByTheCommit) {
    AdEntityPtr e = edited();
    const std::vector<CString> before = entries(e);
    ASSERT_EQ(before.size(), 2u);
    const std::string path = dir_ + "/big.bin", bytes = pattern(200001);
    write_file(path, bytes);
    EXPECT_EQ(e->AddAttachmentFieldValue(L"Attachments", CString::FromUtf8(path), L"the big one"), L"");
    // One file is added once.
    EXPECT_EQ(e->AddAttachmentFieldValue(L"Attachments", CString::FromUtf8(path), L"again"), L"");
    EXPECT_EQ(e->SetAttachmentFieldDescription(L"Attachments", before[0], L"renamed"), L"");
    EXPECT_EQ(e->DeleteAttachmentFieldValue(L"Attachments", before[1]), L"");
    // Pending: the field and the store are as they were.
    EXPECT_EQ(entries(e), before);
    const std::vector<std::string> stored = rows(e->GetDbId());
    EXPECT_EQ(stored, (std::vector<std::string>{"crash.log|36|36|Log of the crash", "steps.txt|49|49|"}));

    ASSERT_EQ(e->Commit(), L"");
    EXPECT_EQ(rows(e->GetDbId()),
              (std::vector<std::string>{"crash.log|36|36|renamed", "big.bin|200001|200001|the big one"}));
    const std::vector<CString> after = entries(e);
    ASSERT_EQ(after.size(), 2u);
    EXPECT_EQ(after[1].ToUtf8(), std::to_string(last_dbid(e)) + "\nbig.bin\n200001\nthe big one");
    const std::string out = dir_ + "/out.bin";
    e->ExtractAttachment(last_dbid(e), CString::FromUtf8(out));
    EXPECT_TRUE(read_file(out) == bytes);
    // Another session reads what was committed.
    EXPECT_EQ(entries(find_defect(demo_logon(L"bob")->GetReal(), L"ISSUE00000001")), after);
}

TEST_F(Attachments, EmptyContentAndANewRecord) {
    AdEntityPtr e = BuildEntity(s_, LookupEntityDef(s_, L"Defect"));
    e->SetFieldValue(L"Headline", L"with an empty attachment");
    e->SetFieldValue(L"Severity", L"2-Major");
    const std::string path = dir_ + "/empty.txt";
    write_file(path, "");
    ASSERT_EQ(e->AddAttachmentFieldValue(L"Attachments", CString::FromUtf8(path), L""), L"");
    ASSERT_EQ(e->Commit(), L"");
    EXPECT_EQ(rows(e->GetDbId()), std::vector<std::string>{"empty.txt|0|0|"});
    const std::string out = dir_ + "/out.txt";
    write_file(out, "old");
    e->ExtractAttachment(last_dbid(e), CString::FromUtf8(out));
    EXPECT_EQ(read_file(out), "");
}

// Content that cannot be written says why (a full disk), and where it was written goes to the
// diagnostics only: the caller's message may reach a client.
TEST_F(Attachments, ExtractingToAFullDiskSaysNoSpaceAndNamesNoPath) {
    AdEntityPtr e = edited();
    const std::string path = dir_ + "/full.txt";
    write_file(path, "more than nothing");
    ASSERT_EQ(e->AddAttachmentFieldValue(L"Attachments", CString::FromUtf8(path), L""), L"");
    ASSERT_EQ(e->Commit(), L"");
    std::vector<std::string> reported;
    AdDiagnostic::SetSink([&](const CString &, const CString &text) { reported.push_back(text.ToUtf8()); });
    const long live = KXException::LiveCount();
    std::string text;
    int msg_id = 0;
    // Every write to /dev/full fails with ENOSPC; the failed file is removed, so the link is
    // what goes, never the device.
    const std::string full = dir_ + "/full.link";
    ASSERT_EQ(::symlink("/dev/full", full.c_str()), 0);
    try {
        e->ExtractAttachment(last_dbid(e), CString::FromUtf8(full));
        ADD_FAILURE() << "no failure";
    } catch (KXException *x) {
        text = x->GetErrorString().ToUtf8();
        msg_id = x->GetMsgId();
        x->Delete();
    }
    AdDiagnostic::SetStderrSink();
    EXPECT_EQ(msg_id, KX_MSG_BAD_VALUE);
    EXPECT_EQ(text, "The attachment's content cannot be written: No space left on device.");
    EXPECT_EQ(KXException::LiveCount(), live);
    ASSERT_EQ(reported.size(), 1u);
    EXPECT_EQ(reported[0], "extract attachment to '" + full + "': No space left on device");
    struct stat device {};
    EXPECT_EQ(::stat("/dev/full", &device), 0);
    EXPECT_EQ(::access(full.c_str(), F_OK), -1);
}

TEST_F(Attachments, AFileReplacedByALinkOrAFifoAfterItsAddIsNotRead) {
    const std::string secret = dir_ + "/secret.txt";
    write_file(secret, "not for the record");
    for (bool fifo : {false, true}) {
        AdEntityPtr e = BuildEntity(s_, LookupEntityDef(s_, L"Defect"));
        e->SetFieldValue(L"Headline", L"swapped content");
        e->SetFieldValue(L"Severity", L"2-Major");
        const std::string path = dir_ + "/swapped.txt";
        write_file(path, "checked");
        ASSERT_EQ(e->AddAttachmentFieldValue(L"Attachments", CString::FromUtf8(path), L""), L"");
        ::unlink(path.c_str());
        ASSERT_EQ(fifo ? ::mkfifo(path.c_str(), 0600) : ::symlink(secret.c_str(), path.c_str()), 0);
        // Refused at once: neither followed nor waited on.
        auto const [id, text] = expect_pamsg([&] { e->Commit(); });
        EXPECT_EQ(id, KX_MSG_COMMIT_FAILED) << fifo;
        EXPECT_NE(text.find(L"cannot be read"), std::wstring::npos) << fifo;
        ::unlink(path.c_str());
    }
}

TEST_F(Attachments, RefusalsChangeNothing) {
    AdEntityPtr e = edited();
    const CString entry = entries(e)[0];
    const std::string file = dir_ + "/f.txt";
    write_file(file, "x");
    const CString f = CString::FromUtf8(file);
    AdEntityPtr stored = find_defect(s_, L"ISSUE00000002");
    struct Case {
        const char *what;
        std::function<CString()> call;
    } cases[] = {
        {"unknown field", [&] { return e->AddAttachmentFieldValue(L"Nothing", f, L""); }},
        {"not an attachment field", [&] { return e->AddAttachmentFieldValue(L"Headline", f, L""); }},
        {"missing file",
         [&] { return e->AddAttachmentFieldValue(L"Attachments", CString::FromUtf8(dir_ + "/none"), L""); }},
        {"a directory", [&] { return e->AddAttachmentFieldValue(L"Attachments", CString::FromUtf8(dir_), L""); }},
        {"empty path", [&] { return e->AddAttachmentFieldValue(L"Attachments", L"", L""); }},
        {"record not edited", [&] { return stored->AddAttachmentFieldValue(L"Attachments", f, L""); }},
        {"describe, not edited", [&] { return stored->SetAttachmentFieldDescription(L"Attachments", entry, L"d"); }},
        {"describe an unknown entry",
         [&] { return e->SetAttachmentFieldDescription(L"Attachments", L"999\nx\n1\n", L"d"); }},
        {"delete an unknown entry", [&] { return e->DeleteAttachmentFieldValue(L"Attachments", L"999\nx\n1\n"); }},
    };
    for (const Case &c : cases) EXPECT_FALSE(c.call().IsEmpty()) << c.what;
    // A deleted entry takes no description.
    ASSERT_EQ(e->DeleteAttachmentFieldValue(L"Attachments", entry), L"");
    EXPECT_FALSE(e->SetAttachmentFieldDescription(L"Attachments", entry, L"d").IsEmpty());
    e->Revert();
    EXPECT_EQ(rows(e->GetDbId()).size(), 2u);
}

TEST_F(Attachments, AFailedCommitKeepsThemPendingAndRevertDropsThem) {
    AdEntityPtr e = edited();
    const std::string path = dir_ + "/a.txt";
    write_file(path, "abc");
    ASSERT_EQ(e->AddAttachmentFieldValue(L"Attachments", CString::FromUtf8(path), L"d"), L"");
    ASSERT_EQ(e->DeleteAttachmentFieldValue(L"Attachments", entries(e)[0]), L"");
    const std::vector<std::string> before = rows(e->GetDbId());
    // The store fails after the attachments were written: all of it rolls back.
    KXFaultInjector::Arm("AdEntity::Commit:attachments",
                         {KXFaultKind::KXException, KX_MSG_COMMIT_FAILED, L"disk full"});
    EXPECT_EQ(expect_kx([&] { e->Commit(); }).first, KX_MSG_COMMIT_FAILED);
    EXPECT_EQ(rows(e->GetDbId()), before);
    // The content file went away: the commit is refused and writes nothing.
    std::remove(path.c_str());
    EXPECT_EQ(expect_pamsg([&] { e->Commit(); }).first, KX_MSG_COMMIT_FAILED);
    EXPECT_EQ(rows(e->GetDbId()), before);
    EXPECT_TRUE(e->IsEditable());
    write_file(path, "abcd");
    ASSERT_EQ(e->Commit(), L"");
    EXPECT_EQ(rows(e->GetDbId()), (std::vector<std::string>{"steps.txt|49|49|", "a.txt|4|4|d"}));

    EditEntity(e, L"Modify");
    write_file(dir_ + "/b.txt", "b");
    ASSERT_EQ(e->AddAttachmentFieldValue(L"Attachments", CString::FromUtf8(dir_ + "/b.txt"), L""), L"");
    e->Revert();
    EditEntity(e, L"Modify");
    ASSERT_EQ(e->Commit(), L"");
    EXPECT_EQ(rows(e->GetDbId()).size(), 2u);
}

TEST_F(Attachments, DeleteOnARecordNotBeingEditedIsWrittenAtOnce) {
    AdEntityPtr e = find_defect(s_, L"ISSUE00000001");
    AdEntityPtr copy = find_defect(demo_logon(L"bob")->GetReal(), L"ISSUE00000001");
    const std::vector<CString> before = entries(e);
    ASSERT_EQ(e->DeleteAttachmentFieldValue(L"Attachments", before[0]), L"");
    EXPECT_EQ(entries(e), std::vector<CString>{before[1]});
    EXPECT_EQ(rows(e->GetDbId()), std::vector<std::string>{"steps.txt|49|49|"});
    // A copy read before the delete finds the attachment gone, and the store keeps one row.
    EXPECT_FALSE(copy->DeleteAttachmentFieldValue(L"Attachments", before[0]).IsEmpty());
    EXPECT_FALSE(e->DeleteAttachmentFieldValue(L"Attachments", before[0]).IsEmpty());
    EXPECT_EQ(rows(e->GetDbId()).size(), 1u);
}
