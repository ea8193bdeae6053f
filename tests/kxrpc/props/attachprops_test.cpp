// Attachments and attachment fields of a demo record as property objects.
#include <gtest/gtest.h>

#include "demo_session.h"
#include "kxproduct/entity.h"
#include "props/attachprops.h"
#include "props/values.h"
#include "recording_sink.h"
#include "target/attachments.h"

using namespace KxRpc;

namespace {

class AttachmentPropsTest : public kxtest::DemoSession {
protected:
    void SetUp() override {
        DemoSession::SetUp();
        AdSessionPtr api = session_->session();
        AdEntityDef *defect = LookupEntityDef(api, L"Defect");
        CString error;
        AdEntityMgr::Get(api)->LookupEntityWithStatus(defect, L"ISSUE00000001", record_, error, 0);
        ASSERT_TRUE(record_);
        field_dbid_ = defect->LookupFieldDef(L"Attachments")->GetDbId();
        ids_ = std::to_string(defect->GetDbId()) + "," + std::to_string(record_->GetDbId()) + "," +
               std::to_string(field_dbid_);
    }
    void TearDown() override {
        record_ = nullptr;
        DemoSession::TearDown();
    }
    AdEntityPtr record_;
    std::int64_t field_dbid_ = 0;
    std::string ids_;
    kxtest::RecordingSink sink_;
};

} // namespace

TEST_F(AttachmentPropsTest, FolderAndEntriesReportTheirPlace) {
    AttachmentFolder folder(record_, Nul::UString(L"Attachments"), field_dbid_);
    AttachmentFolderProps folder_props(session_.get(), &folder);
    std::unique_ptr<Attachment> stored = folder.find(Nul::UString(L"crash.log"));
    ASSERT_TRUE(stored);
    AttachmentProps stored_props(session_.get(), stored.get());
    Attachment fresh(folder, Nul::UString(L"new.txt"), 0);
    AttachmentProps fresh_props(session_.get(), &fresh);
    std::string const rt = ids_.substr(0, ids_.find(','));
    std::string const field = std::to_string(field_dbid_);
    std::string const folder_ref = "res44:" + ids_ + ",0";
    struct Row {
        PropsResource *props;
        int id;
        std::string want;
    } const rows[] = {
        {&folder_props, 320, "[55 attachment:crash.log attachment:steps.txt ]"},
        {&folder_props, 353, "[100020 attbinding100020:crash.log:crash.log attbinding100020:steps.txt:steps.txt ]"},
        {&folder_props, 385, "int:" + field},
        {&folder_props, 593, "res34:" + rt + "," + field + ",0,0"},
        {&folder_props, 599, "res32:" + ids_.substr(0, ids_.rfind(',')) + ",0,0"},
        {&folder_props, 1061, "str:Attachments"},
        {&stored_props, 385, "int:" + std::to_string(stored->dbid())},
        {&stored_props, 685, "int:" + std::to_string(stored->size())},
        {&stored_props, 401, "str:Log of the crash"},
        {&stored_props, 594, folder_ref},
        {&stored_props, 595, "[44 " + folder_ref + " ]"},
        {&stored_props, 578, "str:Defect/ISSUE00000001/Attachments/crash.log"},
        {&fresh_props, 385, "empty:956"},
        {&fresh_props, 685, "empty:956"},
        {&fresh_props, 447, "str:new.txt"},
    };
    for (Row const &r : rows) EXPECT_EQ(sink_.fetch(*r.props, r.id), r.want) << r.id;
    EXPECT_GT(stored->size(), 0);
}

TEST_F(AttachmentPropsTest, DescriptionPutsStayInMemory) {
    AttachmentFolder folder(record_, Nul::UString(L"Attachments"), field_dbid_);
    std::unique_ptr<Attachment> a = folder.find(Nul::UString(L"crash.log"));
    AttachmentProps props(session_.get(), a.get());
    auto reason_of = [&](BasePropValue &v) {
        try {
            props.put_prop(v);
        } catch (Nul::STPException const &e) {
            return static_cast<int>(e.stp_reason_code());
        }
        return 0;
    };
    BasePropValue empty(401, STPRPC_EMPTY_VALUE), valueless(401, STPRPC_VALUELESS), unknown(9999, STPRPC_VALUELESS);
    PropValue<bool> wrong(401, STPRPC_BOOL_VALUE);
    PropValue<Nul::UString> text(401, STPRPC_STRING_VALUE);
    text.value = Nul::UString(L"new words");
    EXPECT_EQ(reason_of(empty), 0);
    EXPECT_EQ(a->description().utf8_str().std_str(), "Log of the crash");
    EXPECT_EQ(reason_of(valueless), 31);
    EXPECT_EQ(reason_of(unknown), 64);
    EXPECT_EQ(reason_of(wrong), 40);
    EXPECT_EQ(reason_of(text), 0);
    EXPECT_EQ(a->description().utf8_str().std_str(), "new words");
    // Only the commit of a change batch tells the product.
    EXPECT_EQ(folder.find(Nul::UString(L"crash.log"))->description().utf8_str().std_str(), "Log of the crash");
}
