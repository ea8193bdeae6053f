// Charts and delimited exports of result sets, read back with libjpeg and libpng.
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "kxproduct/chart.h"
#include "kxproduct/kxproduct.h"
#include "support/image_files.h"
#include "test_support.h"

namespace {

using kxtest::read_jpeg;
using kxtest::read_png;
using Decoded = kxtest::DecodedImage;

class ChartTest : public ProductTest {
protected:
    AdSessionPtr logon() {
        session_ = KXSession::Build();
        session_->WebUserLogon(L"admin", L"admin", L"h", L"", L"ISSUE", L"KXDEMO");
        return session_->GetReal();
    }
    AdResultSetPtr rows(std::initializer_list<const wchar_t *> fields) {
        AdSessionPtr s = session_->GetReal();
        AdQueryDefPtr q = BuildQueryDef(s, LookupEntityDefOrFamily(s, L"Defect"), 0);
        for (const wchar_t *f : fields) q->BuildField(f);
        AdResultSetPtr rs = BuildResultSet(s, q);
        rs->Execute();
        rs->MoveFirst();
        return rs;
    }
    std::wstring path(const char *name) const { return CString::FromUtf8(dir_ + "/" + name).str(); }
    KXSmartPtr<KXSession> session_;
};

} // namespace

TEST_F(ChartTest, ImageOptionsReachTheFile) {
    logon();
    struct Case {
        bool jpeg, gray, progressive, interlaced;
        int width, height;
    };
    const Case cases[] = {
        {true, false, false, true, -1, -1}, // defaults
        {true, true, true, true, 300, 200},  {false, false, false, true, 320, 240},
        {false, true, false, false, 64, 48}, {false, false, false, false, 4096, 1},
    };
    int n = 0;
    for (const Case &c : cases) {
        KXSmartPtr<KXChartMgr> mgr = session_->GetWorkSpace()->GetChartMgr();
        if (c.width > 0) mgr->SetWidth(c.width);
        if (c.height > 0) mgr->SetHeight(c.height);
        mgr->SetGrayScale(c.gray);
        mgr->SetProgressive(c.progressive);
        mgr->SetInterlaced(c.interlaced);
        mgr->SetChartType(1 + n % 3);
        mgr->SetResultSet(KXResultSet::Build(rows({L"State", L"Estimate"})));
        std::wstring file = path(("chart" + std::to_string(n++)).c_str());
        ASSERT_EQ(c.jpeg ? mgr->MakeJPEG(file) : mgr->MakePNG(file), 1);
        Decoded d = c.jpeg ? read_jpeg(CString(file.c_str()).ToUtf8()) : read_png(CString(file.c_str()).ToUtf8());
        EXPECT_EQ(d.width, c.width > 0 ? c.width : 640) << n;
        EXPECT_EQ(d.height, c.height > 0 ? c.height : 480) << n;
        EXPECT_EQ(d.components, c.gray ? 1 : 3) << n;
        EXPECT_EQ(d.progressive, c.jpeg && c.progressive) << n;
        EXPECT_EQ(d.interlaced, !c.jpeg && c.interlaced) << n;
    }
}

TEST_F(ChartTest, CategoriesCountOrSumTheirRows) {
    logon();
    std::map<std::wstring, double> count, sum;
    AdResultSetPtr all = rows({L"State", L"Estimate"});
    for (int status = AD_SUCCESS; status == AD_SUCCESS; status = all->MoveNext()) {
        CString state, estimate;
        all->GetColumnValue(1, state);
        count[state.str()] += 1;
        if (all->GetColumnValue(2, estimate)) sum[state.str()] += std::stod(estimate.str());
    }
    ASSERT_GT(count.size(), 1u);
    for (bool counting : {true, false}) {
        KXSmartPtr<KXResultSet> data =
            KXResultSet::Build(counting ? rows({L"State", L"Headline"}) : rows({L"State", L"Estimate"}));
        ASSERT_EQ(data->Values().size(), 1u);
        std::map<std::wstring, double> got;
        for (size_t i = 0; i < data->Categories().size(); ++i) got[data->Categories()[i].str()] = data->Values()[0][i];
        if (!counting)
            for (auto &[k, v] : count) got.try_emplace(k, 0), sum.try_emplace(k, 0);
        EXPECT_EQ(got, counting ? count : sum);
    }
}

TEST_F(ChartTest, RefusalsLeaveNoFile) {
    logon();
    auto mgr = session_->GetWorkSpace()->GetChartMgr();
    mgr->SetResultSet(KXResultSet::Build(rows({L"State"})));
    for (auto [w, h] : {std::pair{0, 10}, std::pair{10, KXChartMgr::kMaxSide + 1}}) {
        mgr->SetWidth(w);
        mgr->SetHeight(h);
        EXPECT_EQ(expect_kx([&] { mgr->MakePNG(path("big")); }).first, KX_MSG_BAD_VALUE);
    }
    mgr->SetWidth(100);
    mgr->SetHeight(100);
    EXPECT_EQ(expect_kx([&] { mgr->MakeJPEG(path("missing/dir/x")); }).first, KX_MSG_QUERY_FAILED);
    // A result set without rows draws nothing.
    AdSessionPtr s = session_->GetReal();
    AdQueryDefPtr q = BuildQueryDef(s, LookupEntityDefOrFamily(s, L"Defect"), 0);
    q->BuildField(L"State");
    q->BuildFilter(nullptr, L"Headline", AD_COMP_OP_EQ, {L"no record has this headline"}, 1);
    AdResultSetPtr none = BuildResultSet(s, q);
    none->Execute();
    EXPECT_EQ(none->MoveFirst(), AD_NO_DATA_FOUND);
    mgr->SetResultSet(KXResultSet::Build(none));
    EXPECT_EQ(mgr->MakeJPEG(path("empty")), 0);
    for (const char *name : {"big", "empty"}) EXPECT_FALSE(std::filesystem::exists(dir_ + "/" + name)) << name;
}

TEST_F(ChartTest, ExportQuotesWhatWouldSplitAField) {
    AdSessionPtr s = logon();
    AdEntityPtr e = BuildEntity(s, LookupEntityDef(s, L"Defect"));
    e->SetFieldValue(L"Headline", L"a;b \"c\"\nd");
    e->SetFieldValue(L"Severity", L"2-Major");
    ASSERT_EQ(e->Commit(), L"");
    for (const wchar_t *delimiter : {L";", L""}) {
        std::wstring file = path(*delimiter ? "semi" : "tab");
        ExportResultSet(rows({L"id", L"Headline"}), file, delimiter, L"");
        std::ifstream in(CString(file.c_str()).ToUtf8(), std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        const std::string sep = *delimiter ? ";" : "\t";
        EXPECT_EQ(text.str().rfind("id" + sep + "Headline\n", 0), 0u);
        std::string expected = e->GetDisplayName().ToUtf8() + sep + "\"a;b \"\"c\"\"\nd\"";
        EXPECT_NE(text.str().find(expected), std::string::npos) << text.str();
    }
}

// A file that cannot be written says why; its path goes to the diagnostics, never into the text a
// client may read.
TEST_F(ChartTest, AnUnwritableExportSaysWhyAndNamesNoPath) {
    AdSessionPtr s = logon();
    std::wstring const file = path("linked");
    std::string const target = dir_ + "/target";
    ASSERT_EQ(::symlink(target.c_str(), CString(file.c_str()).ToUtf8().c_str()), 0);
    std::vector<std::string> reported;
    AdDiagnostic::SetSink([&](const CString &, const CString &text) { reported.push_back(text.ToUtf8()); });
    std::string text;
    try {
        ExportResultSet(rows({L"id"}), file, L";", L"");
        ADD_FAILURE() << "no failure";
    } catch (KXException *x) {
        text = x->GetErrorString().ToUtf8();
        x->Delete();
    }
    AdDiagnostic::SetStderrSink();
    EXPECT_EQ(text, "The file cannot be written: " + std::string(std::strerror(ELOOP)) + ".");
    ASSERT_EQ(reported.size(), 1u);
    EXPECT_NE(reported[0].find(CString(file.c_str()).ToUtf8()), std::string::npos) << reported[0];
    EXPECT_FALSE(std::filesystem::exists(target));
}
