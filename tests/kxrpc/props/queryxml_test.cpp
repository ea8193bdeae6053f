// Query definitions in XML: every reading error by its message, what a reading leaves in the
// definition, field paths both ways, and the writers read back.
#include "props/queryxml.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#include "handler_env.h"
#include "kxproduct/metadata.h"
#include "target/queryutil.h"
#include "tesutil/selector.h"

using namespace KxRpc;

namespace {

std::string ns(Nul::XmlTag::NsId id) { return Nul::XmlTag::ns_URI(id).utf8_str().std_str(); }

class QueryXmlTest : public kxtest::HandlerTest {
protected:
    void SetUp() override {
        HandlerTest::SetUp();
        session_ = AdSessionPtr(login(L"alice")->session());
        ctx_ = QueryContext{session_, Nul::UString()};
        defect_ = LookupEntityDef(session_, CString(L"Defect"));
        def_ = BuildQueryDef(session_, defect_, 0);
    }
    void TearDown() override {
        def_ = AdQueryDefPtr();
        session_ = AdSessionPtr();
        HandlerTest::TearDown();
    }

    // The definition selector of one field of a record type.
    std::string field(AdEntityDef *type, wchar_t const *name) {
        AdFieldDef *f = type->LookupFieldDef(CString(name));
        Nul::UString object = Nul::UString(std::to_wstring(type->GetDbId()).c_str());
        object.append(L"/").append(Nul::UString(std::to_wstring(f->GetDbId()).c_str()));
        Nul::Selector s(Nul::XmlTag::RES_kx_field, object, Nul::Selector::DOMAIN_KX, Nul::UString(L"KXDEMO/ISSUE"));
        return "<CTG:field><CTG:definition>" + kxtest::u8(s.to_string_with_domain()) +
               "</CTG:definition><TEAM:display-name>x</TEAM:display-name></CTG:field>";
    }
    std::string path(wchar_t const *name) { return "<CTG:field-path>" + field(defect_, name) + "</CTG:field-path>"; }

    Nul::DomParser::Elem parse(std::string const &root, std::string const &body) {
        parser_.set_xml_doc_text("<CTG:" + root + " xmlns:CTG=\"" + ns(Nul::XmlTag::NS_CTG) + "\" xmlns:TEAM=\"" +
                                 ns(Nul::XmlTag::NS_TEAM) + "\">" + body + "</CTG:" + root + ">");
        return parser_.root();
    }
    void columns(std::string const &body) { QueryUtil::query_def_from_xml(ctx_, parse("display-fields", body), def_); }
    void filtering(std::string const &body) { QueryUtil::filtering_from_xml(ctx_, parse("filtering", body), def_); }
    // The failure of a reading: its reason and message text ("" when it succeeded).
    template <class F>
    std::pair<int, std::string> failure(F &&read) {
        try {
            read();
        } catch (Nul::STPException const &e) {
            return {static_cast<int>(e.stp_reason_code()), exception_message_text(e).utf8_str().std_str()};
        }
        return {0, ""};
    }
    std::string out(Nul::XmlDoc::Elem const &e) { return e.is_nil() ? "" : kxtest::u8(QueryUtil::xml_text(e)); }

    AdSessionPtr session_;
    QueryContext ctx_;
    AdEntityDef *defect_ = nullptr;
    AdQueryDefPtr def_;
    Nul::DomParser parser_;
};

std::string cmp(std::string const &op, std::string const &rest) {
    return "<CTG:comparison-expression><CTG:" + op + "/>" + rest + "</CTG:comparison-expression>";
}
std::string constant(std::string const &v) { return "<CTG:constant-value>" + v + "</CTG:constant-value>"; }

TEST_F(QueryXmlTest, EveryReadingErrorHasItsMessage) {
    std::string const headline = path(L"Headline"), due = path(L"Due"), estimate = path(L"Estimate");
    struct Case {
        char const *what;
        bool columns;
        std::string body;
        char const *message;
    } const cases[] = {
        {"title before the path", true, "<CTG:column><CTG:title>t</CTG:title>" + headline + "</CTG:column>",
         "TLQSV0711E unexpected xml tag: CTG:title"},
        {"not a column", true, "<CTG:title/>", ""},
        {"path of nothing", true,
         "<CTG:column><CTG:field-path><TEAM:display-name>id</TEAM:display-name></CTG:field-path></CTG:column>",
         "TLQSV0726E Invalid CTG:field-path for filtering: "},
        {"bad sort index", true,
         "<CTG:column>" + headline + "<CTG:sort-info><CTG:sort-index>x</CTG:sort-index></CTG:sort-info></CTG:column>",
         "TLQSV0712E bad CTG:sort-index: 'x' for Headline"},
        {"empty sort info", true, "<CTG:column>" + headline + "<CTG:sort-info/></CTG:column>",
         "TLQSV0713E CTG:sort-info; CTG:reverse-sort or CTG:sort-index must be specified: Headline"},
        {"index before reverse", true,
         "<CTG:column>" + headline +
             "<CTG:sort-info><CTG:sort-index>1</CTG:sort-index><CTG:reverse-sort/></CTG:sort-info></CTG:column>",
         "TLQSV0711E unexpected xml tag: CTG:reverse-sort"},
        {"two group-by", true,
         "<CTG:column>" + headline + "<CTG:group-by/></CTG:column><CTG:column>" + estimate +
             "<CTG:group-by/></CTG:column>",
         "TLQSV0802E More than one column has a group by element. Can only group by one column"},
        {"aggregate without child", true, "<CTG:column>" + estimate + "<CTG:aggregate-column/></CTG:column>",
         "TLQSV0798E CTG:aggregate-column is missing required child element"},
        {"two aggregates", true,
         "<CTG:column>" + estimate +
             "<CTG:aggregate-column><CTG:agt-sum/><CTG:agt-count/></CTG:aggregate-column></CTG:column>",
         "TLQSV0711E unexpected xml tag: CTG:agt-count"},
        {"sum of a text", true,
         "<CTG:column>" + headline + "<CTG:aggregate-column><CTG:agt-sum/></CTG:aggregate-column></CTG:column>",
         "TLQSV0800E CTG:agt-sum is not a legal aggregation function for column"},
        {"aggregate and function", true,
         "<CTG:column>" + due +
             "<CTG:aggregate-column><CTG:agt-count/></CTG:aggregate-column><CTG:column-function><CTG:day/></"
             "CTG:column-function></CTG:column>",
         "TLQSV0799E Column cannot have both CTG:aggregate-column and CTG:column-function"},
        {"function of a text", true,
         "<CTG:column>" + headline + "<CTG:column-function><CTG:week/></CTG:column-function></CTG:column>",
         "TLQSV0801E Field must be of type timestamp"},
        {"function without child", true, "<CTG:column>" + due + "<CTG:column-function/></CTG:column>",
         "TLQSV0798E CTG:column-function is missing required child element"},
        {"object name without slash", true,
         "<CTG:column><CTG:field-path><CTG:field><CTG:definition>kx.repo.kx-field:12@KXDEMO/ISSUE</CTG:definition></"
         "CTG:field></CTG:field-path></CTG:column>",
         "TLQSV0797E Malformed URI: kx.repo.kx-field:12@KXDEMO/ISSUE"},
        {"object id not a number", true,
         "<CTG:column><CTG:field-path><CTG:field><CTG:definition>kx.repo.kx-field:12/x@KXDEMO/ISSUE</CTG:definition></"
         "CTG:field></CTG:field-path></CTG:column>",
         "TLQSV0797E Malformed URI: kx.repo.kx-field:12/x@KXDEMO/ISSUE"},
        {"two top elements", false, cmp("is-null", headline) + cmp("is-null", headline),
         "TLQSV0714E multiple top elements"},
        {"other top element", false, "<CTG:and/>", "TLQSV0711E unexpected xml tag: CTG:and"},
        {"no boolean operator", false,
         "<CTG:filtering-expression>" + cmp("is-null", headline) + "</CTG:filtering-expression>",
         "TLQSV0711E unexpected xml tag: CTG:comparison-expression"},
        {"operator only", false, "<CTG:filtering-expression><CTG:and/></CTG:filtering-expression>",
         "TLQSV0716E No sub expressions in CTG:filtering-expression"},
        {"empty expression", false, "<CTG:filtering-expression/>",
         "TLQSV0715E No boolean operator in CTG:filtering-expression"},
        {"two operators", false, "<CTG:filtering-expression><CTG:and/><CTG:or/></CTG:filtering-expression>",
         "TLQSV0711E unexpected xml tag: CTG:or"},
        {"empty comparison", false, "<CTG:comparison-expression/>",
         "TLQSV0720E No operator in CTG:comparison-expression"},
        {"comparison with only an operator", false, cmp("is-equal", ""),
         "TLQSV0721E No CTG:field-path element in CTG:comparison-expression"},
        {"number of letters", false, cmp("is-equal", estimate + constant("abc")),
         "TLQSV0717E 'abc' is illegal CTG:constant-value for field path Estimate"},
        {"today of a text", false, cmp("is-equal", headline + "<CTG:today/>"),
         "TLQSV0719E today is an illegal value for field path Headline"},
        {"variable after the operator", false, cmp("is-equal", "<CTG:user/>"),
         "TLQSV0711E unexpected xml tag: CTG:user"},
        {"empty prompt", false, cmp("is-equal", headline + "<CTG:prompt></CTG:prompt>"),
         "TLQSV0718E CTG:prompt cannot be empty for field path Headline"},
        {"date only of a text", false, cmp("is-equal", headline + "<CTG:date-only>2026-01-01</CTG:date-only>"),
         "TLQSV0711E unexpected xml tag: CTG:date-only"},
        {"operator after the path", false,
         "<CTG:comparison-expression>" + headline + "<CTG:is-null/></CTG:comparison-expression>",
         "TLQSV0711E unexpected xml tag: CTG:is-null"},
        {"reference list of two", false, cmp("is-in-reflist", headline + constant("Defect") + constant("x")),
         "TLQSV0722E Supplied number of values, 2, is incorrect for operator is-in-reflist"},
        {"reference list of no record", false,
         cmp("is-in-reflist", headline + constant("Defect") + constant("NOPE00000999") + constant("Related")),
         "TLQSV1094E Not-found error: NOPE00000999"},
        {"bad date", false, cmp("is-equal", due + constant("the day after")),
         "TLQSV0723E 'the day after' is not a legal ISO 8601 format date/time string"},
    };
    for (Case const &c : cases) {
        def_ = BuildQueryDef(session_, defect_, 0);
        auto [reason, message] = failure([&] { c.columns ? columns(c.body) : filtering(c.body); });
        EXPECT_NE(reason, 0) << c.what;
        if (*c.message) {
            EXPECT_EQ(reason, 4) << c.what;
            EXPECT_EQ(message, c.message) << c.what;
        }
    }
}

TEST_F(QueryXmlTest, NestingBeyondTheLimitIsRefused) {
    auto nested = [&](int levels) {
        std::string open, close;
        for (int i = 0; i < levels; ++i) {
            open += "<CTG:filtering-expression><CTG:and/>";
            close += "</CTG:filtering-expression>";
        }
        return open + cmp("is-null", path(L"Headline")) + close;
    };
    EXPECT_EQ(failure([&] { filtering(nested(QueryUtil::max_filter_depth - 1)); }).first, 0);
    auto refused = failure([&] { filtering(nested(QueryUtil::max_filter_depth)); });
    EXPECT_EQ(refused.first, 4);
    EXPECT_EQ(refused.second, "TLQSV1106E The query filter is nested deeper than 64 levels.");
}

TEST_F(QueryXmlTest, ColumnsKeepNamedFieldsInTheirOrderAndResetTheRest) {
    AdQueryFieldDef *owner = def_->BuildField(CString(L"Owner"));
    AdQueryFieldDef *headline = def_->BuildField(CString(L"Headline"));
    def_->BuildField(CString(L"Severity"));
    headline->SetSortType(AD_SORT_ASCENDING);
    headline->SetSortOrder(3);
    headline->SetIsShown(FALSE);
    columns("<CTG:column>" + path(L"Headline") + "</CTG:column><CTG:column>" + path(L"Owner") +
            "<CTG:title>Who</CTG:title><CTG:sort-info><CTG:reverse-sort/></CTG:sort-info></CTG:column>");
    ASSERT_EQ(def_->GetNumberOfFields(), 2);
    EXPECT_EQ(def_->GetQueryFieldDef(1), headline); // the same field, kept
    EXPECT_EQ(def_->GetQueryFieldDef(2), owner);
    EXPECT_EQ(headline->GetSortType(), 0);
    EXPECT_EQ(headline->GetSortOrder(), 0);
    EXPECT_TRUE(headline->GetIsShown());
    EXPECT_EQ(owner->GetSortType(), AD_SORT_DESCENDING);
    EXPECT_EQ(owner->GetSortOrder(), 0);
    EXPECT_EQ(owner->GetLabel(), L"Who");
}

TEST_F(QueryXmlTest, AFailedColumnTakesBackTheFieldItAdded) {
    def_->BuildField(CString(L"Owner"));
    auto refused =
        failure([&] { columns("<CTG:column>" + path(L"Headline") + "<CTG:group-by/><CTG:title/></CTG:column>"); });
    EXPECT_EQ(refused.first, 4);
    ASSERT_EQ(def_->GetNumberOfFields(), 1);
    EXPECT_EQ(def_->GetQueryFieldDef(1)->GetFieldPath(), L"Owner");
}

TEST_F(QueryXmlTest, FieldPathsFollowReferencesAndStopAtUnknownSegments) {
    AdEntityDef *project = LookupEntityDef(session_, CString(L"Project"));
    auto written = [&](wchar_t const *p) {
        Nul::XmlDoc::Elem container(Nul::XmlTag::CTG_field_path);
        QueryUtil::field_path_to_xml(ctx_, defect_, container, Nul::UString(p));
        return out(container);
    };
    std::string const two = written(L"Project.Lead");
    EXPECT_NE(two.find(kxtest::u8(Nul::UString(std::to_wstring(project->GetDbId()).c_str())) + "/"), std::string::npos);
    EXPECT_NE(two.find(">Lead<"), std::string::npos);
    EXPECT_EQ(written(L"Project.Nothing").find(">Nothing<"), std::string::npos);
    EXPECT_NE(written(L"Project.Nothing").find(">Project<"), std::string::npos);
    EXPECT_EQ(written(L"Nothing"), "<CTG:field-path xmlns:TEAM=\"" + ns(Nul::XmlTag::NS_TEAM) + "\" xmlns:CTG=\"" +
                                       ns(Nul::XmlTag::NS_CTG) + "\"/>");
    // A journal names no record: what follows it is not looked up anywhere.
    EXPECT_EQ(written(L"Notes_Log.Lead").find(">Lead<"), std::string::npos);
    EXPECT_NE(written(L"Notes_Log.Lead").find(">Notes_Log<"), std::string::npos);
    // After a field that refers to nothing the record type stays: the next segment is one of its own.
    std::string const same = written(L"Headline.Owner");
    std::string const defect_id = kxtest::u8(Nul::UString(std::to_wstring(defect_->GetDbId()).c_str()));
    EXPECT_NE(same.find(">Headline<"), std::string::npos);
    EXPECT_NE(same.find(">Owner<"), std::string::npos);
    EXPECT_NE(same.find(defect_id + "/" + std::to_string(defect_->LookupFieldDef(L"Owner")->GetDbId())),
              std::string::npos)
        << same;
    EXPECT_EQ(written(L"Headline.Lead").find(">Lead<"), std::string::npos); // Lead is Project's, not Defect's
    // Read back: the dotted path.
    parser_.set_xml_doc_text(two);
    EXPECT_EQ(QueryUtil::field_path_from_xml(ctx_, parser_.root()), L"Project.Lead");
}

TEST_F(QueryXmlTest, WrittenDefinitionsReadBackTheSame) {
    columns("<CTG:column>" + path(L"Due") +
            "<CTG:not-visible/><CTG:title>When</CTG:title><CTG:sort-info>"
            "<CTG:sort-index>2</CTG:sort-index></CTG:sort-info><CTG:column-function><CTG:month/></CTG:column-function>"
            "</CTG:column><CTG:column>" +
            path(L"Estimate") +
            "<CTG:group-by/><CTG:aggregate-column><CTG:agt-sum/>"
            "</CTG:aggregate-column></CTG:column>");
    filtering("<CTG:filtering-expression><CTG:or/>" +
              cmp("is-between", path(L"Due") + constant("2026-01-01T00:00:00Z") + constant("[TODAY]")) +
              "<CTG:filtering-expression><CTG:and/>" + cmp("is-equal", path(L"Owner") + "<CTG:user/>") +
              cmp("is-in-set", path(L"Severity") + "<CTG:prompt>Which?</CTG:prompt>") +
              "</CTG:filtering-expression></CTG:filtering-expression>");
    std::string const fields = out(QueryUtil::display_fields_to_xml(ctx_, def_));
    std::string const filter = out(QueryUtil::filtering_to_xml(ctx_, def_));
    std::string const dynamic = out(QueryUtil::dynamic_filters_to_xml(ctx_, def_));
    EXPECT_NE(fields.find("<CTG:column-value-type><CTG:date-time/></CTG:column-value-type><CTG:not-visible/>"),
              std::string::npos);
    EXPECT_NE(filter.find("<CTG:constant-value>2026-01-01T00:00:00Z</CTG:constant-value><CTG:today/>"),
              std::string::npos);
    EXPECT_NE(dynamic.find("<CTG:is-in-set/>"), std::string::npos);
    EXPECT_NE(dynamic.find("<CTG:prompt>Which?</CTG:prompt>"), std::string::npos);

    // Well-formed for a real parser too.
    for (std::string const &text : {fields, filter, dynamic}) {
        std::string const file = dir_ + "/written.xml";
        std::FILE *f = std::fopen(file.c_str(), "w");
        ASSERT_NE(f, nullptr);
        std::fputs(text.c_str(), f);
        std::fclose(f);
        EXPECT_EQ(std::system(("xmllint --noout " + file).c_str()), 0) << text;
    }

    AdQueryDefPtr again = BuildQueryDef(session_, defect_, 0);
    parser_.set_xml_doc_text(fields);
    QueryUtil::query_def_from_xml(ctx_, parser_.root(), again);
    Nul::DomParser filter_parser(filter);
    QueryUtil::filtering_from_xml(ctx_, filter_parser.root(), again);
    EXPECT_EQ(out(QueryUtil::display_fields_to_xml(ctx_, again)), fields);
    EXPECT_EQ(out(QueryUtil::filtering_to_xml(ctx_, again)), filter);
}

TEST_F(QueryXmlTest, ComparisonTablesAnswerBothWays) {
    for (int code = 0; code <= 14; ++code) {
        int tag = QueryUtil::comparison_to_tag(code);
        EXPECT_TRUE(QueryUtil::is_comparison_tag(tag));
        EXPECT_EQ(QueryUtil::tag_to_comparison(tag), code);
    }
    EXPECT_TRUE(QueryUtil::is_comparison_tag(Nul::XmlTag::CTG_is_in_reflist));
    EXPECT_FALSE(QueryUtil::is_comparison_tag(Nul::XmlTag::CTG_constant_value));
    EXPECT_THROW(QueryUtil::comparison_to_tag(15), Nul::STPException);
    EXPECT_THROW(QueryUtil::tag_to_comparison(Nul::XmlTag::CTG_is_in_reflist), Nul::STPException);
}

} // namespace
