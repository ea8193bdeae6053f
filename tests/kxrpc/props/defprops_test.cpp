// Field, action, hook, form and dynamic-list definitions against the product's demo set.
#include "props/defprops.h"
#include "props/value_tags.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "demo_session.h"
#include "kxproduct/metadata.h"
#include "recording_sink.h"
#include "set_file.h"

using namespace KxRpc;
using kxtest::fault;

namespace {

std::string n(std::int64_t v) { return std::to_string(v); }

class Definitions : public kxtest::DemoSession {
protected:
    std::unique_ptr<PropsResource> props_of(int type, wchar_t const *first, wchar_t const *second) {
        TargetResourceArg target(type, Nul::UString(first), Nul::UString(second));
        return PropsResource::getResource(session_.get(), {}, target, type);
    }
    AdEntityDef *def(wchar_t const *name) { return LookupEntityDefOrFamily(session_->session(), CString(name)); }
    std::string id_of(wchar_t const *rectype) { return n(def(rectype)->GetDbId()); }
    std::string list_id(wchar_t const *name) { return n(LookupListDef(session_->session(), CString(name))->GetDbId()); }

    // A new logon, which reads the schema again.
    void relogon() {
        kxtest::ProductCounts const kept = counts_;
        session_.reset();
        SetUp();
        counts_ = kept;
    }

    kxtest::RecordingSink sink_;
};

struct Row {
    wchar_t const *rectype, *name;
    int prop;
    std::string expected; // "$T" stands for the record type's dbid, "$P" for Project's
};

std::string expand(std::string text, std::string const &key, std::string const &value) {
    for (auto at = text.find(key); at != std::string::npos; at = text.find(key)) text.replace(at, key.size(), value);
    return text;
}

} // namespace

TEST_F(Definitions, FieldDefinitionsByProperty) {
    Row const rows[] = {
        {L"Defect", L"Headline", 234, "str:Headline"},
        {L"Defect", L"Headline", 468, "str:One line summary"},
        {L"Defect", L"Headline", 1044, "str:One line summary"},
        {L"Defect", L"Headline", 531, "int:125"},
        {L"Defect", L"Headline", 723, "enum:914"},
        {L"Defect", L"Headline", 1152, "enum:914"},
        {L"Defect", L"Headline", 464, "bool:1"},
        {L"Defect", L"Headline", 466, "bool:0"},
        {L"Defect", L"Headline", 340, "empty:949"},
        {L"Defect", L"Headline", 355, "empty:971"},
        {L"Defect", L"Headline", 415, "empty:966"},
        {L"Defect", L"Headline", 444, "empty:954"},
        {L"Defect", L"Headline", 463, "bool:0"},
        {L"Defect", L"Headline", 674, "bool:0"},
        {L"Defect", L"Headline", 484, "bool:1"},
        {L"Defect", L"Headline", 496, "bool:1"},
        {L"Defect", L"Headline", 497, "bool:1"},
        {L"Defect", L"Headline", 518, "bool:0"},
        {L"Defect", L"Headline", 645, "empty:966"},
        {L"Defect", L"Headline", 1156, "empty:970"},
        // A record type with states reports no stateless requiredness.
        {L"Defect", L"Headline", 693, "empty:954"},
        {L"Defect", L"Severity", 355, "[100001 str:1-Critical str:2-Major str:3-Average str:4-Minor ]"},
        {L"Defect", L"Severity", 340, "bool:0"},
        {L"Defect", L"State", 355,
         "[100001 str:Submitted str:Assigned str:Opened str:Resolved str:Closed str:Duplicate ]"},
        {L"Defect", L"State", 518, "bool:1"},
        {L"Defect", L"State", 723, "enum:915"},
        {L"Defect", L"Project", 644, "res31:$P,0,0,0"},
        {L"Defect", L"Project", 723, "enum:912"},
        {L"Defect", L"Project", 531, "empty:956"},
        {L"Defect", L"Project", 342, "bool:1"},
        {L"Defect", L"Related", 644, "res31:$T,0,0,0"},
        {L"Defect", L"Related", 723, "enum:913"},
        {L"Defect", L"Owner", 644, "empty:966"},
        {L"Defect", L"Owner", 342, "bool:0"},
        {L"Defect", L"Attachments", 496, "bool:0"},
        {L"Defect", L"Attachments", 723, "enum:903"},
        {L"Defect", L"Due", 723, "enum:904"},
        {L"Defect", L"Estimate", 723, "enum:908"},
        {L"Defect", L"Notes_Log", 723, "enum:909"},
        {L"Defect", L"dbid", 723, "enum:905"},
        {L"Defect", L"id", 723, "enum:907"},
        {L"Project", L"Name", 693, "enum:530"},
        {L"Project", L"Description", 693, "enum:583"},
    };
    for (Row const &row : rows) {
        auto props = props_of(TT_FIELDDEF, row.rectype, row.name);
        std::string expected = expand(expand(row.expected, "$T", id_of(row.rectype)), "$P", id_of(L"Project"));
        EXPECT_EQ(sink_.fetch(*props, row.prop), expected)
            << Nul::UString(row.name).utf8_str().std_str() << " " << row.prop;
    }
    auto severity = props_of(TT_FIELDDEF, L"Defect", L"Severity");
    EXPECT_EQ(sink_.fetch(*severity, 415), "res42:" + list_id(L"Severity") + ",0,0,0");
}

TEST_F(Definitions, CommonIdentityOfEachKind) {
    struct Kind {
        int type;
        wchar_t const *name;
        std::string describe;
        std::int64_t dbid;
    };
    AdEntityDef *defect = def(L"Defect");
    Kind const kinds[] = {
        {TT_FIELDDEF, L"Headline", "FieldDefinitionProps: (name:Defect/Headline)",
         defect->LookupFieldDef(CString(L"Headline"))->GetDbId()},
        {TT_ACTION, L"Assign", "ActionProps: (name:Defect/Assign)",
         defect->LookupActionDef(CString(L"Assign"))->GetDbId()},
        {TT_HOOK, L"Notify_Owner", "HookProps: (name:Defect/Notify_Owner)",
         defect->LookupHookDef(CString(L"Notify_Owner"))->GetDbId()},
        {TT_FORM, L"Defect_Base", "FormProps: (name:Defect/Defect_Base)",
         defect->LookupFormDef(CString(L"Defect_Base"))->GetDbId()},
    };
    std::string const rt = n(defect->GetDbId());
    for (Kind const &k : kinds) {
        auto props = props_of(k.type, L"Defect", k.name);
        std::string const name = Nul::UString(k.name).utf8_str().std_str();
        EXPECT_EQ(sink_.fetch(*props, 385), "int:" + n(k.dbid)) << name;
        EXPECT_EQ(sink_.fetch(*props, 576), "str:" + rt + "/" + n(k.dbid)) << name;
        EXPECT_EQ(sink_.fetch(*props, 578), "str:Defect/" + name) << name;
        EXPECT_EQ(sink_.fetch(*props, 600), "res31:" + rt + ",0,0,0") << name;
        EXPECT_EQ(sink_.fetch(*props, 1061), "str:" + name) << name;
        EXPECT_EQ(sink_.fetch(*props, 595), "empty:967") << name;
        EXPECT_EQ(sink_.fetch(*props, 4242), "unsupported") << name;
        EXPECT_EQ(props->describe().utf8_str().std_str(), k.describe);
        for (int id : {385, 576, 578, 600, 1061, 656, 1103, 595}) EXPECT_TRUE(props->is_supported_prop(id)) << id;
        // Read-only: a supported property is refused with 9.
        PropValue<Nul::UString> value(385, PV_STRING);
        try {
            props->put_prop(value);
            ADD_FAILURE() << "put accepted";
        } catch (Nul::STPException const &e) {
            EXPECT_EQ(static_cast<int>(e.stp_reason_code()), 9);
        }
    }
}

TEST_F(Definitions, ActionsByProperty) {
    AdEntityDef *defect = def(L"Defect");
    AdEntityDef *project = def(L"Project");
    auto form = [](AdEntityDef *d, wchar_t const *name) {
        return "res40:" + n(d->GetDbId()) + "," + n(d->LookupFormDef(CString(name))->GetDbId()) + ",0,0";
    };
    Row const rows[] = {
        {L"Defect", L"Submit", 711, "enum:27"},
        {L"Defect", L"Submit", 402, "str:Submitted"},
        {L"Defect", L"Submit", 454, form(defect, L"Defect_Submit")},
        {L"Defect", L"Submit", 688, "empty:971"},
        {L"Defect", L"Modify", 711, "enum:25"},
        {L"Defect", L"Modify", 402, "empty:970"},
        // Without a form of its own: the record type's default form.
        {L"Defect", L"Modify", 454, form(defect, L"Defect_Base")},
        {L"Defect", L"Assign", 711, "enum:20"},
        {L"Defect", L"Assign", 688, "[100001 str:Submitted str:Opened ]"},
        {L"Defect", L"Duplicate", 711, "enum:23"},
        {L"Defect", L"Unduplicate", 711, "enum:28"},
        {L"Defect", L"Import", 711, "enum:24"},
        {L"Defect", L"Delete", 711, "enum:22"},
        {L"Defect", L"Delete", 468, "str:"},
        {L"Project", L"Submit", 454, form(project, L"Project_Form")},
    };
    for (Row const &row : rows)
        EXPECT_EQ(sink_.fetch(*props_of(TT_ACTION, row.rectype, row.name), row.prop), row.expected)
            << Nul::UString(row.name).utf8_str().std_str() << " " << row.prop;
}

TEST_F(Definitions, DynamicLists) {
    TargetResourceArg target(TT_DYNAMIC_LIST, Nul::UString(), Nul::UString(L"Severity"));
    auto props = PropsResource::getResource(session_.get(), {}, target, TT_DYNAMIC_LIST);
    std::string const id = list_id(L"Severity");
    EXPECT_EQ(sink_.fetch(*props, 527), "[100001 str:1-Critical str:2-Major str:3-Average str:4-Minor ]");
    EXPECT_EQ(sink_.fetch(*props, 385), "int:" + id);
    EXPECT_EQ(sink_.fetch(*props, 576), "str:" + id);
    EXPECT_EQ(sink_.fetch(*props, 578), "str:Severity");
    EXPECT_EQ(sink_.fetch(*props, 1061), "str:Severity");
    // Supported, but the list answers no value of its own.
    EXPECT_TRUE(props->is_supported_prop(488));
    EXPECT_EQ(sink_.fetch(*props, 488), "unsupported");
    EXPECT_FALSE(props->is_supported_prop(600));
    EXPECT_EQ(props->describe().utf8_str().std_str(), "DynamicListProps: (name:Severity)");
}

TEST_F(Definitions, ListWithoutMembersIsAnEmptyStringList) {
    TargetResourceArg target(TT_DYNAMIC_LIST, Nul::UString(), Nul::UString(L"Platforms"));
    auto props = PropsResource::getResource(session_.get(), {}, target, TT_DYNAMIC_LIST);
    kxtest::SetFile file;
    std::string const list = "(SELECT dbid FROM list_defs WHERE name='Platforms')";
    file.exec("CREATE TEMP TABLE saved AS SELECT * FROM list_values WHERE list_dbid=" + list);
    file.exec("DELETE FROM list_values WHERE list_dbid=" + list);
    EXPECT_EQ(sink_.fetch(*props, 527), "empty:971");
    file.exec("INSERT INTO list_values SELECT * FROM saved");
    EXPECT_EQ(sink_.fetch(*props, 527), "[100001 str:Linux str:Windows str:macOS ]");
}

// A requiredness the product does not define still answers one value, an empty enumeration.
TEST_F(Definitions, UndefinedRequirednessIsEmpty) {
    kxtest::SetFile file;
    std::string const where =
        " WHERE name='Lead' AND entity_def_dbid=(SELECT dbid FROM entity_defs WHERE name='Project')";
    std::int64_t const saved = file.scalar("SELECT default_behavior FROM field_defs" + where);
    for (int value : {0, 4, -1}) {
        file.exec("UPDATE field_defs SET default_behavior=" + std::to_string(value) + where);
        relogon();
        EXPECT_EQ(sink_.fetch(*props_of(TT_FIELDDEF, L"Project", L"Lead"), 693), "empty:954") << value;
    }
    file.exec("UPDATE field_defs SET default_behavior=" + std::to_string(saved) + where);
    relogon();
    EXPECT_EQ(sink_.fetch(*props_of(TT_FIELDDEF, L"Project", L"Lead"), 693), "enum:583");
}

// A product failure fails that one property; the others still answer.
TEST_F(Definitions, ProductFaultsFailOneProperty) {
    struct Case {
        int type;
        wchar_t const *name;
        int prop;
        char const *operation;
    };
    Case const cases[] = {
        {TT_FIELDDEF, L"Severity", 355, "AdQueryDef::GetChoiceList"},
        {TT_FIELDDEF, L"Severity", 355, "BuildQueryDef"},
        {TT_FIELDDEF, L"Severity", 415, "LookupListDef"},
        {TT_FIELDDEF, L"Headline", 496, "AdQueryDef::IsFieldPathLegalForQuery"},
        {TT_FIELDDEF, L"Headline", 497, "AdQueryDef::IsFieldPathLegalForFilter"},
        {TT_FIELDDEF, L"Project", 342, "AdFieldDef::CanBeSecurityContext"},
        {TT_FIELDDEF, L"Project", 512, "AdFieldDef::IsSecurityContext"},
        {TT_FIELDDEF, L"Severity", 340, "AdFieldDef::GetChoiceType"},
        {TT_FIELDDEF, L"Severity", 674, "AdFieldDef::GetChoiceType"},
        {TT_ACTION, L"Modify", 454, "AdEntityDef::GetDefaultFormDef"},
    };
    for (auto kind : {KXFaultKind::KXException, KXFaultKind::PaMsgException, KXFaultKind::CException}) {
        for (Case const &c : cases) {
            auto props = props_of(c.type, L"Defect", c.name);
            KXFaultInjector::Arm(c.operation, fault(kind, 13224, L"injected"));
            EXPECT_EQ(sink_.fetch(*props, c.prop).rfind("error:", 0), 0u) << c.operation;
            KXFaultInjector::Disarm(c.operation);
            EXPECT_EQ(sink_.fetch(*props, 1061).rfind("str:", 0), 0u) << c.operation;
        }
    }
    // A list the session no longer finds by its name is an internal error.
    KXSmartPtr<AdListDef> gone(new AdListDef(1, CString(L"Gone")));
    DynamicListProps stale(session_.get(), gone.get());
    EXPECT_EQ(sink_.fetch(stale, 527), "error:40");
    EXPECT_EQ(sink_.last_error, "TLQSV0778E Cannot get dynamic list definitions");
}

TEST_F(Definitions, MissingDefinitionsAreNotFound) {
    for (int type : {TT_FIELDDEF, TT_ACTION, TT_HOOK, TT_FORM}) {
        TargetResourceArg target(type, Nul::UString(L"Defect"), Nul::UString(L"NoSuchThing"));
        EXPECT_NE(outcome(target, type), "made") << type;
    }
    TargetResourceArg list(TT_DYNAMIC_LIST, Nul::UString(), Nul::UString(L"NoSuchList"));
    EXPECT_NE(outcome(list, TT_DYNAMIC_LIST), "made");
}

// Without its product object a definition fails its properties rather than crashing.
TEST_F(Definitions, NoProductObject) {
    FieldDefinitionProps field(session_.get(), nullptr);
    EXPECT_EQ(sink_.fetch(field, 723), "unsupported");
    EXPECT_EQ(sink_.fetch(field, 385), "error:40");
    EXPECT_EQ(sink_.fetch(field, 693), "error:40");
    EXPECT_EQ(field.describe().utf8_str().std_str(), "FieldDefinitionProps: (name:/)");
    HookProps hook(session_.get(), nullptr, nullptr);
    EXPECT_EQ(sink_.fetch(hook, 578), "error:40");
    EXPECT_EQ(hook.describe().utf8_str().std_str(), "HookProps: (name:/)");
    DynamicListProps list(session_.get(), nullptr);
    EXPECT_EQ(sink_.fetch(list, 527), "error:40");
}
