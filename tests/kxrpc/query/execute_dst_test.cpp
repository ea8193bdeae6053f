// Date columns at a zone with daylight saving: each value goes out with the offset of its own
// date, and the repeated hour of the fall-back night with one of its two readings.
#include "query/execute.h"

#include <algorithm>
#include <string>
#include <vector>

#include "handler_env.h"
#include "kxproduct/entity.h"
#include "kxproduct/metadata.h"
#include "kxproduct/store.h"
#include "query/paged.h"

using namespace KxRpc;
using kxtest::cat;
using kxtest::str;
using kxtest::words;

namespace {

std::string ns(Nul::XmlTag::NsId id) { return Nul::XmlTag::ns_URI(id).utf8_str().std_str(); }

class DaylightSavingTest : public kxtest::HandlerTest {};

TEST_F(DaylightSavingTest, EachDateGoesOutWithItsOwnOffset) {
    KXProductStore::EnsureDataDirectory();
    auto alice = login(L"alice");
    AdSessionPtr real(alice->session());
    wchar_t const *const dues[] = {L"2026-07-01 12:00:00", L"2026-12-01 12:00:00", L"2026-11-01 00:30:00",
                                   L"2026-11-01 01:30:00", L"2026-11-01 02:30:00"};
    for (wchar_t const *due : dues) {
        AdEntityPtr e = BuildEntity(real, LookupEntityDefOrFamily(real, CString(L"Defect")));
        e->SetFieldValue(CString(L"Headline"), CString(L"daylight"));
        e->SetFieldValue(CString(L"Severity"), CString(L"3-Average"));
        e->SetFieldValue(CString(L"Due"), CString(due));
        ASSERT_TRUE(e->Commit().IsEmpty());
    }
    std::string const path = "<CTG:field-path><CTG:field><CTG:definition>kx.field:Defect/Due@KXDEMO/ISSUE"
                             "</CTG:definition></CTG:field></CTG:field-path>";
    std::string const doc =
        "<CTG:execute-query xmlns:CTG=\"" + ns(Nul::XmlTag::NS_CTG) + "\" xmlns:TEAM=\"" + ns(Nul::XmlTag::NS_TEAM) +
        "\"><CTG:definition><CTG:primary-record-type><TEAM:href>kx.record:Defect@KXDEMO/ISSUE</TEAM:href>"
        "</CTG:primary-record-type><CTG:display-fields><CTG:column>" +
        path +
        "</CTG:column></CTG:display-fields>"
        "<CTG:filtering><CTG:comparison-expression><CTG:is-equal/><CTG:field-path><CTG:field><CTG:definition>"
        "kx.field:Defect/Headline@KXDEMO/ISSUE</CTG:definition></CTG:field></CTG:field-path>"
        "<CTG:constant-value>daylight</CTG:constant-value></CTG:comparison-expression></CTG:filtering>"
        "</CTG:definition></CTG:execute-query>";
    kxtest::Outcome o =
        call<ExecuteQueryArgs>(kxrpc_execute_query, cat(cat(header(alice), words({10, 0, 0})), str(doc)));
    auto *r = dynamic_cast<ExecuteQueryResp *>(o.result.get());
    ASSERT_NE(r, nullptr);
    ASSERT_EQ(r->error(), nullptr);
    std::vector<std::string> got;
    for (auto const &row : r->rows()) got.push_back(row.values[0].text);
    std::sort(got.begin(), got.end());
    ASSERT_EQ(got.size(), 5u);
    EXPECT_EQ(got[0], "2026-07-01T16:00:00Z"); // EDT
    EXPECT_EQ(got[1], "2026-11-01T04:30:00Z"); // before the fall-back hour
    EXPECT_TRUE(got[2] == "2026-11-01T05:30:00Z" || got[2] == "2026-11-01T06:30:00Z") << got[2];
    EXPECT_EQ(got[3], "2026-11-01T07:30:00Z"); // after it, EST
    EXPECT_EQ(got[4], "2026-12-01T17:00:00Z");
}

} // namespace
