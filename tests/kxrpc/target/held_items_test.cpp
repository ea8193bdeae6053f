// Record and workspace state items over the product's demo set in a private data directory.
#include "target/held_items.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "kxproduct/session.h"
#include "product_env.h"
#include "props/field_tracker.h"
#include "support/private_tmp.h"
#include "target/workspace.h"
#include "tesutil/fileutl.h"
#include "xdr_buffer.h"

using namespace KxRpc;
using kxtest::Bytes;
using kxtest::words;

namespace {

class StateItems : public ::testing::Test {
protected:
    static void SetUpTestSuite() { kxtest::make_product_data(dir_, "/tmp/kxrpc-items-XXXXXX"); }
    static void TearDownTestSuite() { std::filesystem::remove_all(dir_); }

    void SetUp() override {
        KXFaultInjector::Reset();
        counts_ = kxtest::ExceptionCounts();
        user_ = KXSession::Build();
        user_->WebUserLogon(L"admin", L"admin", L"here", L"here", L"ISSUE", L"KXDEMO");
        session_ = user_->GetReal();
        defect_ = LookupEntityDef(session_, L"Defect");
        ASSERT_NE(defect_, nullptr);
    }
    void TearDown() override {
        session_ = AdSessionPtr();
        user_->Unbuild();
        KXFaultInjector::Reset();
        counts_.expect_unchanged();
    }

    AdEntityPtr record_in_state(char const *state) {
        KXSmartPtr<AdEntityMgr> mgr = AdEntityMgr::Get(session_);
        for (int i = 1; i <= 40; ++i) {
            wchar_t name[32];
            swprintf(name, 32, L"ISSUE%08d", i);
            AdEntityPtr out;
            CString error;
            if (mgr->LookupEntityWithStatus(defect_, name, out, error, 1) == AD_LOOKUP_FOUND && out &&
                out->GetStateName().ToUtf8() == state)
                return out;
        }
        return AdEntityPtr();
    }

    static std::string dir_;
    KXSmartPtr<KXSession> user_;
    AdSessionPtr session_;
    AdEntityDef *defect_ = nullptr;
    kxtest::ExceptionCounts counts_;
};

std::string StateItems::dir_;

bool exists(Nul::UString const &path) {
    struct stat st;
    return ::stat(path.utf8_str().c_str(), &st) == 0;
}

} // namespace

TEST_F(StateItems, RequirednessSnapshots) {
    AdEntityPtr record = record_in_state("Submitted");
    ASSERT_TRUE(record);
    RecordStateItem item(record);
    EXPECT_FALSE(item.requiredness_changed(L"Owner")); // no report yet
    item.refresh_requiredness();
    EditEntity(record, L"Assign");
    EXPECT_TRUE(item.requiredness_changed(L"Owner"));
    EXPECT_TRUE(item.requiredness_changed_since_open(L"Owner"));
    EXPECT_FALSE(item.requiredness_changed(L"Headline"));
    EXPECT_FALSE(item.requiredness_changed(L"NoSuchField"));
    item.refresh_requiredness();
    EXPECT_FALSE(item.requiredness_changed(L"Owner"));
    EXPECT_TRUE(item.requiredness_changed_since_open(L"Owner"));
}

TEST_F(StateItems, DestructionRevertsAnEditableRecord) {
    AdEntityPtr record = record_in_state("Submitted");
    ASSERT_TRUE(record);
    EditEntity(record, L"Modify");
    ASSERT_TRUE(record->IsEditable());
    { RecordStateItem item(record); }
    EXPECT_FALSE(record->IsEditable());
}

TEST_F(StateItems, DestructionIgnoresProductFailures) {
    AdEntityPtr record = BuildEntity(session_, defect_);
    KXFaultInjector::Arm("AdEntity::Revert", [] {
        KXFault f;
        f.kind = KXFaultKind::KXException;
        f.msg_id = 13250;
        f.text = CString(L"cannot");
        return f;
    }());
    long reverts = KXFaultInjector::CallCount("AdEntity::Revert");
    EXPECT_NO_THROW({ RecordStateItem item(record); });
    EXPECT_EQ(KXFaultInjector::CallCount("AdEntity::Revert"), reverts + 1);
    EXPECT_TRUE(record->IsEditable()); // the injected failure kept it from reverting
}

TEST_F(StateItems, TemporaryFilesAndOnlyTheirPrivateDirectories) {
    Nul::UString private_file = Nul::Fileutl::create_tmp_file(Nul::UString(L"content.bin"), 77);
    std::ofstream(private_file.utf8_str()) << "data";
    Nul::UString private_dir = Nul::Pname(private_file).parent_dir();
    ASSERT_TRUE(exists(private_file));

    // A file the client named in a directory the server did not make.
    std::string shared = dir_ + "/shared";
    ASSERT_EQ(::mkdir(shared.c_str(), 0700), 0);
    std::string foreign = shared + "/keep.txt";
    std::ofstream(foreign) << "x";
    {
        RecordStateItem item(BuildEntity(session_, defect_));
        item.add_temp_file(private_file);
        item.add_temp_file(Nul::UString(Nul::Utf8String(foreign)));
        EXPECT_EQ(item.temp_files().size(), 2u);
    }
    EXPECT_FALSE(exists(private_file));
    EXPECT_FALSE(exists(private_dir));
    EXPECT_TRUE(exists(Nul::UString(Nul::Utf8String(shared))));
}

// An upload file that a record item shares with its attachment item stays until the last of the
// two goes, in either order; the record item keeps one file once.
TEST_F(StateItems, AnUploadFileGoesWithTheLastItemThatSharesIt) {
    for (bool record_first : {true, false}) {
        Nul::UString const path = Nul::Fileutl::create_tmp_file(Nul::UString(L"shared.bin"), 77);
        std::ofstream(path.utf8_str()) << "data";
        AdEntityPtr entity = BuildEntity(session_, defect_);
        auto attachment = std::make_unique<Attachment>(AttachmentFolder(entity, Nul::UString(L"Attachments"), 0),
                                                       Nul::UString(L"shared.bin"), 0);
        attachment->set_file_path(path);
        auto upload = std::make_unique<AttachmentStateItem>(std::move(attachment), true);
        auto record = std::make_unique<RecordStateItem>(entity);
        record->keep_file(upload->upload());
        record->keep_file(upload->upload());
        EXPECT_EQ(record->temp_files(), std::vector<Nul::UString>{path});
        if (record_first)
            record.reset();
        else
            upload.reset();
        EXPECT_TRUE(exists(path)) << record_first;
        record.reset();
        upload.reset();
        EXPECT_FALSE(exists(path)) << record_first;
        EXPECT_FALSE(exists(Nul::Pname(path).parent_dir())) << record_first;
    }
}

TEST_F(StateItems, TrackerFlagsAndEncoding) {
    AdEntityPtr record = BuildEntity(session_, defect_);
    RecordStateItem item(record);
    Bytes reply;
    {
        FieldChangedTracker tracker(item);
        tracker.start_tracking();
        EXPECT_TRUE(record->SetFieldValue(L"Headline", L"A new headline").IsEmpty());
        EXPECT_TRUE(record->SetFieldValue(L"Estimate", L"5").IsEmpty());
        tracker.set_changed(L"Description", 2);
        ASSERT_EQ(tracker.entries().at(L"Headline").flags, 3u);
        bool ok = false;
        reply = kxtest::encode([&](XDR *x) { return tracker.xdr(x); }, &ok);
        ASSERT_TRUE(ok);
        EXPECT_FALSE(kxtest::decode(words({0}), [&](XDR *x) { return tracker.xdr(x); }));
    }
    Bytes expected = words({3});
    auto entry = [&](std::string const &name, std::uint32_t tag, std::uint32_t flags) {
        kxtest::put_word(expected, static_cast<std::uint32_t>(name.size()));
        kxtest::put_bytes(expected, name);
        while (expected.size() % 4) expected.push_back(0);
        kxtest::put_word(expected, tag);
        kxtest::put_word(expected, flags);
    };
    entry("Description", 970, 1);
    entry("Estimate", 956, 1);
    entry("Headline", 970, 3);
    EXPECT_EQ(reply, expected);
    // Tracking stopped with the tracker: later changes reach no one.
    EXPECT_TRUE(record->SetFieldValue(L"Headline", L"again").IsEmpty());
}

TEST_F(StateItems, QueryItemDataIsCopied) {
    char const text[] = "<query/>";
    QueryItemStateItem item(L"Public Queries/q", text, 8, AD_BUCKET_QUERY);
    EXPECT_TRUE(item.has_data());
    EXPECT_EQ(item.data_length(), 8u);
    EXPECT_NE(item.data(), text);
    std::unique_ptr<char[]> copy = item.copy_data();
    EXPECT_STREQ(copy.get(), "<query/>");
    QueryItemStateItem empty(L"f", AD_BUCKET_FOLDER);
    EXPECT_FALSE(empty.has_data());
    EXPECT_EQ(empty.name().utf8_str(), "f");
    EXPECT_EQ(empty.item_type(), AD_BUCKET_FOLDER);
}

TEST_F(StateItems, FolderPermissionsAreRevertedWithTheItem) {
    AdBucketPtr folder_bucket = GetWorkspaceMgr(session_)->LookupBucketByPathName(0, L"Public Queries/Defects");
    ASSERT_TRUE(folder_bucket);
    EXPECT_TRUE(QueryUtil::is_folder_bucket(folder_bucket));
    EXPECT_FALSE(QueryUtil::is_folder_bucket(AdBucketPtr()));
    AdFolderPtr folder = AdFolder::LookupFolderFromBucket(folder_bucket);
    auto before = folder->GetAllGroupPermissions();
    {
        QueryItemStateItem item(L"Public Queries/Defects", AdQueryDefPtr(), folder_bucket, AD_BUCKET_FOLDER);
        folder->SetPermissions(L"QA", AD_PERM_READ_WRITE);
        EXPECT_NE(folder->GetAllGroupPermissions(), before);
    }
    EXPECT_EQ(AdFolder::LookupFolderFromBucket(folder_bucket)->GetAllGroupPermissions(), before);
}

TEST_F(StateItems, QueryBucketIsNoFolder) {
    AdBucketPtr folder = GetWorkspaceMgr(session_)->LookupBucketByPathName(0, L"Public Queries/Defects");
    ASSERT_TRUE(folder);
    int queries = 0;
    for (int64_t id : folder->GetChildBucketIds()) {
        AdBucketPtr child = GetWorkspaceMgr(session_)->GetBucket(id);
        if (child && child->GetType() == AD_BUCKET_QUERY) {
            EXPECT_FALSE(QueryUtil::is_folder_bucket(child));
            ++queries;
        }
    }
    EXPECT_GT(queries, 0);
}
