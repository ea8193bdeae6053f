// Forms as FRM documents: the demo set's forms read back by xmllint, and stored layouts written
// into the set's file for the cases the demo does not show.
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "demo_session.h"
#include "kxproduct/metadata.h"
#include "props/defprops.h"
#include "recording_sink.h"
#include "set_file.h"
#include "support/command.h"

using namespace KxRpc;

namespace {

std::string run(std::string const &command) { return kxtest::command_output(command, "xmllint"); }

// "a/b" as a path of FRM elements by local name.
std::string frm(std::string const &path) {
    std::string out, step;
    auto flush = [&] {
        if (!step.empty()) out += "/*[local-name()='" + step + "']";
        step.clear();
    };
    for (char c : path) {
        if (c == '/')
            flush();
        else
            step += c;
    }
    flush();
    return out;
}

class Forms : public kxtest::DemoSession {
protected:
    void TearDown() override {
        if (!file_.empty()) unlink(file_.c_str());
        DemoSession::TearDown();
    }

    // Property 455 of a form of the session's set.
    std::string fetch(wchar_t const *rectype, wchar_t const *form) {
        TargetResourceArg target(TT_FORM, Nul::UString(rectype), Nul::UString(form));
        auto props = PropsResource::getResource(session_.get(), {}, target, TT_FORM);
        return sink_.fetch(*props, 455);
    }
    // The document of a form, kept in a file for xmllint, which must accept it.
    void load(wchar_t const *rectype, wchar_t const *form) {
        std::string value = fetch(rectype, form);
        ASSERT_EQ(value.rfind("xml:", 0), 0u) << value << " " << sink_.last_error;
        char name[] = "/tmp/kx_form_XXXXXX";
        int fd = mkstemp(name);
        ASSERT_GE(fd, 0);
        file_ = name;
        std::string const doc = value.substr(4);
        ASSERT_EQ(write(fd, doc.data(), doc.size()), static_cast<ssize_t>(doc.size()));
        close(fd);
        ASSERT_EQ(run("xmllint --noout " + file_ + " 2>&1"), "");
    }
    std::string xpath(std::string const &expression) {
        std::string out = run("xmllint --xpath \"" + expression + "\" " + file_ + " 2>&1");
        while (!out.empty() && out.back() == '\n') out.pop_back();
        return out;
    }
    // The names of the items at `path`, in document order, joined by spaces.
    std::string names(std::string const &path) {
        std::string out;
        int count = std::stoi(xpath("count(" + path + ")"));
        for (int i = 1; i <= count; ++i)
            out +=
                (i > 1 ? " " : "") + xpath("string((" + path + ")[" + std::to_string(i) + "]/@*[local-name()='name'])");
        return out;
    }
    // Replaces the stored layout of Enhancement_Submit and logs on again to read it.
    void store_layout(std::string const &layout) {
        kxtest::SetFile set;
        set.exec("UPDATE form_defs SET definition='" + layout + "' WHERE name='Enhancement_Submit'");
        kxtest::ProductCounts const kept = counts_;
        session_.reset();
        SetUp();
        counts_ = kept;
    }

    kxtest::RecordingSink sink_;
    std::string file_;
};

std::string const kPage = frm("mForm/mFormPage");

} // namespace

TEST_F(Forms, DemoFormIsOneFrmDocumentWithTheUsersPagesInRowsAndTabOrder) {
    load(L"Defect", L"Defect_Base");
    EXPECT_EQ(xpath("namespace-uri(/*)"), "http://korvax.example/TEAM/FORM");
    EXPECT_EQ(xpath("string(/*/@*[local-name()='name'])"), "Defect_Base");
    // alice is not in QA: the sign-off page is left out.
    EXPECT_EQ(xpath("count(" + kPage + ")"), "3");
    EXPECT_EQ(xpath("string(" + kPage + "[2]/*[local-name()='caption'])"), "Related");
    // Rows by top within the point size, then left to right; contained items only inside.
    EXPECT_EQ(names(kPage + "[1]" + frm("mFormItem")),
              "Title Headline Severity Priority Owner Project Planning PlatformChoice CopyHeadlineButton");
    std::string const planning = kPage + "[1]/*[@*[local-name()='name']='Planning']";
    EXPECT_EQ(names(planning + frm("item/mFormItem")), "Estimate Due");
    EXPECT_EQ(names(kPage + "[1]/*[@*[local-name()='name']='PlatformChoice']" + frm("optButton/mFormItem")),
              "Linux Windows MacOS");
    // Tab orders count field items in form order; labels and group boxes have none.
    EXPECT_EQ(
        xpath("string(" + planning + frm("item/mFormItem") + "[@*[local-name()='name']='Due']" + frm("tabOrder") + ")"),
        "7");
    EXPECT_EQ(xpath("count(" + planning + frm("tabOrder") + ")"), "0");
    EXPECT_EQ(xpath("string(" + kPage + "[1]" + frm("mFormItem/tabOrder") + ")"), "1");
    // The list control holds its bound buttons and columns resolved against the listed records.
    std::string const related = kPage + "[2]" + frm("mFormItem");
    EXPECT_EQ(names(related), "Related");
    EXPECT_EQ(names(related + frm("button/mFormItem")), "AddRelated RemoveRelated");
    EXPECT_EQ(xpath("count(" + related + frm("columnInfo/fieldPath") + "/*)"), "3");
    EXPECT_EQ(xpath("string(" + related + frm("columnInfo") + "[3]" + frm("completeFieldPath") + ")"), "Related.Owner");
    // A hook reference names the record type's hook; an absent hook leaves its element empty.
    EXPECT_EQ(xpath("string(" + related + frm("dblClickHook") + ")"), "kx.hook:Defect/CopyHeadline@KXDEMO/ISSUE");
    EXPECT_EQ(xpath("count(" + related + frm("selectionHook") + "/*)"), "0");
    EXPECT_EQ(xpath("string(" + kPage + "[1]" + frm("mFormItem/dataSource") + ")"), "");
    EXPECT_NE(xpath("string(" + kPage + "[1]" + frm("dataSource") + ")").find("kx.repo.kx-rectype:"),
              std::string::npos);
}

TEST_F(Forms, OlderLayoutTextStillReads) {
    load(L"Project", L"Project_Form");
    EXPECT_EQ(names(kPage + "[1]" + frm("mFormItem")), "Name Description Lead");
    EXPECT_EQ(xpath("string(" + kPage + "[1]" + frm("mFormItem/fieldSource/field/display-name") + ")"), "Name");
}

TEST_F(Forms, StoredLayoutCases) {
    // Two group boxes on one rectangle, a check box on a date field, a large version number, and a
    // list control through a field that refers to nothing.
    store_layout(
        "<layout version=\"1234567\" data-source=\"Defect\"><page>"
        "<item kind=\"group-box\" name=\"G1\" rect=\"0 0 100 100\"/>"
        "<item kind=\"group-box\" name=\"G2\" rect=\"0 0 100 100\"/>"
        "<item kind=\"check-box\" name=\"Due\" rect=\"10 10 50 20\" field=\"Due\" value=\"2026-01-10 10:00:00\""
        " unchecked-value=\"never\"/>"
        "<item kind=\"check-box\" name=\"Owner\" rect=\"60 10 90 20\" field=\"Owner\" value=\"2026-01-10 10:00:00\"/>"
        "<item kind=\"list-control\" name=\"L\" rect=\"0 200 100 300\" field=\"Owner\">"
        "<column width=\"100\" field=\"Headline\"/></item>"
        "<item kind=\"label\" name=\"Far\" rect=\"0 -2147483648 5 -2147483640\"/>"
        "</page></layout>");
    load(L"Enhancement", L"Enhancement_Submit");
    EXPECT_EQ(xpath("string(/*/@*[local-name()='version'])"), "1234567");
    EXPECT_EQ(names(kPage + frm("mFormItem")), "Far G1 L");
    EXPECT_EQ(names(kPage + frm("mFormItem/item/mFormItem")), "G2");
    EXPECT_EQ(names(kPage + frm("mFormItem/item/mFormItem/item/mFormItem")), "Due Owner");
    // Product dates are local (Asia/Kolkata here); a date field's values go out in GMT.
    std::string const boxes = kPage + frm("mFormItem/item/mFormItem/item/mFormItem");
    EXPECT_EQ(xpath("string((" + boxes + ")[1]" + frm("value") + ")"), "2026-01-10T04:30:00Z");
    EXPECT_EQ(xpath("string((" + boxes + ")[1]" + frm("unCheckedValue") + ")"), "never");
    EXPECT_EQ(xpath("string((" + boxes + ")[2]" + frm("value") + ")"), "2026-01-10 10:00:00");
    std::string const column = kPage + "/*[@*[local-name()='name']='L']" + frm("columnInfo");
    EXPECT_EQ(xpath("count(" + column + frm("fieldPath") + "/*)"), "0");
    EXPECT_EQ(xpath("string(" + column + frm("completeFieldPath") + ")"), "Owner.Headline");
}

TEST_F(Forms, RowsAreTopsWithinTheFirstItemsPointSizeThenLeftEdges) {
    // Point size 8 unless given: A and B (tops 8 apart) share a row, C and D (9 apart) do not. E and
    // F are 12 apart: compared as E before F, E's larger font puts them in one row, where F is
    // further left.
    store_layout("<layout data-source=\"Defect\"><page>"
                 "<item kind=\"label\" name=\"A\" rect=\"50 0 60 5\"/>"
                 "<item kind=\"label\" name=\"B\" rect=\"10 8 20 12\"/>"
                 "<item kind=\"label\" name=\"D\" rect=\"-5 39 0 45\"/>"
                 "<item kind=\"label\" name=\"C\" rect=\"0 30 5 35\"/>"
                 "<item kind=\"label\" name=\"F\" rect=\"10 112 20 120\"/>"
                 "<item kind=\"label\" name=\"E\" rect=\"50 100 60 110\" font-size=\"12\"/>"
                 "</page></layout>");
    load(L"Enhancement", L"Enhancement_Submit");
    EXPECT_EQ(names(kPage + frm("mFormItem")), "B A C D F E");
}

TEST_F(Forms, WebRefreshItemsCarryTheirOwnFieldOnly) {
    auto set_hook_type = [](int type) {
        kxtest::SetFile set;
        set.exec("UPDATE hook_defs SET hook_type=" + std::to_string(type) + " WHERE name='Headline_Validation'");
    };
    set_hook_type(4); // a value-changed hook on Headline
    store_layout(
        "<layout data-source=\"Defect\"><page>"
        "<item kind=\"drop-down-list\" name=\"H\" rect=\"0 0 10 10\" field=\"Headline\"><depends "
        "field=\"Owner\"/></item>"
        "<item kind=\"list-box\" name=\"S\" rect=\"0 20 10 30\" field=\"Severity\"><depends field=\"Owner\"/></item>"
        "</page></layout>");
    load(L"Enhancement", L"Enhancement_Submit");
    set_hook_type(5);
    for (auto [item, field] : {std::pair{"H", "Headline"}, std::pair{"S", "Owner"}}) {
        std::string const fields = kPage + "/*[@*[local-name()='name']='" + item + "']" + frm("webDependentFields");
        EXPECT_EQ(xpath("count(" + fields + ")"), "1") << item;
        EXPECT_EQ(xpath("string(" + fields + frm("field/display-name") + ")"), field) << item;
    }
}

TEST_F(Forms, UnreadableLayoutsAndUnknownDataSourcesAreThePropertysError) {
    struct Case {
        std::string layout, message;
    } const cases[] = {
        {"<layout data-source=\"Nothing\"><page/></layout>", "the data source 'Nothing' names no record type"},
        {"<layout><page><item kind=\"spinner\" name=\"x\" rect=\"0 0 1 1\"/></page></layout>", "unknown item kind"},
        {"<layout><page>", "line 1"},
    };
    for (Case const &c : cases) {
        store_layout(c.layout);
        EXPECT_EQ(fetch(L"Enhancement", L"Enhancement_Submit"), "error:40") << c.layout;
        EXPECT_NE(sink_.last_error.find("TLQSV0761E"), std::string::npos) << sink_.last_error;
        EXPECT_NE(sink_.last_error.find(c.message), std::string::npos) << sink_.last_error;
    }
    KXFaultInjector::Arm("MForm::GetFormList", kxtest::fault(KXFaultKind::CException, 0, L"no pages"));
    EXPECT_EQ(fetch(L"Defect", L"Defect_Base"), "error:40");
    EXPECT_NE(sink_.last_error.find("no pages"), std::string::npos);
    KXFaultInjector::Arm("MFormItem::IsWebFormRefresh", kxtest::fault(KXFaultKind::KXException, 12, L"busy"));
    EXPECT_EQ(fetch(L"Defect", L"Defect_Base").substr(0, 6), "error:");
}
