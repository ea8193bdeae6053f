// A record exported as XML, and report formats written to files.
#include <filesystem>
#include <fstream>
#include <sstream>

#include "kxproduct/content.h"
#include "kxproduct/kxproduct.h"
#include "test_support.h"

namespace {

class ContentTest : public ProductTest {};

std::string read(const std::string &path) {
    std::stringstream s;
    s << std::ifstream(path, std::ios::binary).rdbuf();
    return s.str();
}

} // namespace

TEST_F(ContentTest, RecordXmlEscapesWhatMarkupWouldTakeAndParses) {
    KXSmartPtr<KXSession> session = KXSession::Build();
    session->WebUserLogon(L"admin", L"admin", L"h", L"", L"ISSUE", L"KXDEMO");
    AdSessionPtr s = session->GetReal();
    AdEntityPtr e = BuildEntity(s, LookupEntityDef(s, L"Defect"));
    e->SetFieldValue(L"Headline", L"a<b & \"c\"\r\n\x01]]>");
    e->SetFieldValue(L"Severity", L"2-Major");
    ASSERT_EQ(e->Commit(), L"");
    CString xml = KXEntity::Build(session, e)->GetAsXML({L"Headline", L"Related"}, 0);
    const std::string text = xml.ToUtf8();
    EXPECT_NE(
        text.find("<field name=\"Headline\" type=\"1\">a&lt;b &amp; &quot;c&quot;&#13;\n\xEF\xBF\xBD]]&gt;</field>"),
        std::string::npos)
        << text;
    EXPECT_NE(text.find("<field name=\"Related\" type=\"6\"/>"), std::string::npos) << text;
    const std::string file = dir_ + "/record.xml";
    std::ofstream(file, std::ios::binary) << text;
    EXPECT_EQ(std::system(("xmllint --noout " + file).c_str()), 0) << text;
    EXPECT_EQ(expect_kx([&] { KXEntity::Build(session, e)->GetAsXML({L"NoSuchField"}, 0); }).first, KX_MSG_NOT_FOUND);
}

TEST_F(ContentTest, ReportFormatOnlyFromAReportFormatItem) {
    KXSmartPtr<KXSession> session = KXSession::Build();
    session->WebUserLogon(L"admin", L"admin", L"h", L"", L"ISSUE", L"KXDEMO");
    AdWorkspaceMgrPtr ws = GetWorkspaceMgr(session->GetReal());
    AdBucketPtr format = ws->LookupBucketByPathName(0, L"Public Queries/Report Formats/Summary Format");
    AdBucketPtr report = ws->LookupBucketByPathName(0, L"Public Queries/Defects/Defect Summary");
    ASSERT_TRUE(format && report);
    EXPECT_FALSE(GetReportFormat(report));
    CString error;
    const std::string file = dir_ + "/format";
    ASSERT_TRUE(GetReportFormat(format)->WriteReportFile(CString::FromUtf8(file), error)) << error.ToUtf8();
    EXPECT_EQ(read(file), "layout=table");
    EXPECT_FALSE(GetReportFormat(format)->WriteReportFile(CString::FromUtf8(dir_ + "/no/dir/x"), error));
    EXPECT_FALSE(error.IsEmpty());
}
