// Record-type properties against the product's demo set: identity, kind, definitions, forms,
// flags, and the product's failures reported as property errors.
#include "props/rectypeprops.h"

#include <string>

#include <gtest/gtest.h>

#include "demo_session.h"
#include "kxproduct/metadata.h"
#include "kxproduct/store.h"
#include "recording_sink.h"
#include "tesutil/xmltag.h"

using namespace KxRpc;
using kxtest::fault;

namespace {

std::string n(std::int64_t v) { return std::to_string(v); }

class RecordTypes : public kxtest::DemoSession {
protected:
    std::unique_ptr<PropsResource> props_of(wchar_t const *name) {
        TargetResourceArg target(TT_RECTYPE, Nul::UString(name));
        return PropsResource::getResource(session_.get(), {}, target, TT_RECTYPE);
    }
    AdEntityDef *def(wchar_t const *name) { return LookupEntityDefOrFamily(session_->session(), CString(name)); }

    kxtest::RecordingSink sink_;
};

// "[<type> <each element> ]" as the sink records a list.
template <class Each>
std::string list_of(int type, int count, Each each) {
    std::string text = "[" + std::to_string(type);
    for (int i = 0; i < count; ++i) text += " " + each(i);
    return text + " ]";
}

} // namespace

TEST_F(RecordTypes, DefectIdentityAndKind) {
    auto props = props_of(L"Defect");
    AdEntityDef *defect = def(L"Defect");
    for (int id : {236, 578, 1061}) EXPECT_EQ(sink_.fetch(*props, id), "str:Defect") << id;
    EXPECT_EQ(sink_.fetch(*props, 385), "int:" + n(defect->GetDbId()));
    EXPECT_EQ(sink_.fetch(*props, 576), "str:" + n(defect->GetDbId()));
    // Defect has states: not stateless.
    EXPECT_EQ(sink_.fetch(*props, 515), "bool:0");
    EXPECT_EQ(sink_.fetch(*props, 490), "bool:0");
    EXPECT_EQ(sink_.fetch(*props, 636), "empty:954");
    EXPECT_EQ(sink_.fetch(*props, 637),
              "[100001 str:Submitted str:Assigned str:Opened str:Resolved str:Closed str:Duplicate ]");
    EXPECT_EQ(sink_.fetch(*props, 595), "empty:967");
    EXPECT_EQ(sink_.fetch(*props, 4242), "unsupported");
    EXPECT_EQ(props->describe().utf8_str().std_str().rfind("RecordTypeProps: (kxobj:", 0), 0u);
}

TEST_F(RecordTypes, DefinitionListsReferToTheRecordType) {
    auto refs = [](AdEntityDef *owner, int code, auto items) {
        return list_of(code, items.GetLength(), [&](int i) {
            return "res" + std::to_string(code) + ":" + n(owner->GetDbId()) + "," + n(items.GetItem(i)->GetDbId()) +
                   ",0,0";
        });
    };
    for (wchar_t const *name : {L"Defect", L"Project"}) {
        auto props = props_of(name);
        AdEntityDef *d = def(name);
        EXPECT_EQ(sink_.fetch(*props, 297), refs(d, 39, d->GetActionDefs()));
        EXPECT_EQ(sink_.fetch(*props, 442), refs(d, 34, d->GetFieldDefs()));
        EXPECT_EQ(sink_.fetch(*props, 456), refs(d, 40, d->GetFormDefs()));
        EXPECT_EQ(sink_.fetch(*props, 522), refs(d, 34, d->GetUniqueKeyFieldDefs()));
        EXPECT_EQ(sink_.fetch(*props, 642), "empty:967");
    }
    EXPECT_EQ(def(L"Defect")->GetActionDefs().GetLength(), 12);
    // Project has no hooks: the empty resource list.
    EXPECT_EQ(sink_.fetch(*props_of(L"Project"), 558), "empty:967");
    AdEntityDef *defect = def(L"Defect");
    EXPECT_EQ(sink_.fetch(*props_of(L"Defect"), 558), refs(defect, 41, defect->GetHookDefs()));
}

TEST_F(RecordTypes, FormsForSubmitAndModify) {
    auto props = props_of(L"Defect");
    AdEntityDef *defect = def(L"Defect");
    std::string rt = n(defect->GetDbId());
    EXPECT_EQ(sink_.fetch(*props, 549),
              "res40:" + rt + "," + n(defect->LookupFormDef(CString(L"Defect_Base"))->GetDbId()) + ",0,0");
    EXPECT_EQ(sink_.fetch(*props, 699),
              "res40:" + rt + "," + n(defect->LookupFormDef(CString(L"Defect_Submit"))->GetDbId()) + ",0,0");
}

TEST_F(RecordTypes, AFamilyIsNotSubmittableAndHasNoForms) {
    auto family = props_of(L"AllIssues");
    EXPECT_EQ(sink_.fetch(*family, 490), "bool:1");
    EXPECT_EQ(sink_.fetch(*family, 516), "bool:0");
    EXPECT_EQ(sink_.fetch(*family, 642), "[31 res31:" + n(def(L"Defect")->GetDbId()) +
                                             ",0,0,0 res31:" + n(def(L"Enhancement")->GetDbId()) + ",0,0,0 ]");
    EXPECT_EQ(family->supported_properties().count(549), 0u);
    EXPECT_EQ(family->supported_properties().count(699), 0u);
    auto defect = props_of(L"Defect");
    EXPECT_EQ(defect->supported_properties().count(549), 1u);
    EXPECT_EQ(defect->supported_properties().count(699), 1u);
    EXPECT_EQ(sink_.fetch(*defect, 516), "bool:1");
}

TEST_F(RecordTypes, PropertyNameLists) {
    auto props = props_of(L"Defect");
    std::string all = sink_.fetch(*props, 1103);
    std::string pub = sink_.fetch(*props, 1032);
    for (int id : props->supported_properties()) {
        std::string item = " name:" + std::to_string(id) + " ";
        EXPECT_NE(all.find(item), std::string::npos) << id;
        bool is_private = Nul::XmlTag::lookup(static_cast<Nul::XmlTag::Id>(id)).ns_id() == 17;
        EXPECT_EQ(pub.find(item) == std::string::npos, is_private) << id;
    }
}

TEST_F(RecordTypes, ProductFaultsBecomePropertyErrorsAndTheNextPropertyStillComes) {
    struct Case {
        char const *operation;
        int prop;
    };
    auto props = props_of(L"Defect");
    for (Case c : {Case{"AdSession::CanSubmit", 516}, Case{"AdSession::GetEntityDefsEnabledForPackage", 261},
                   Case{"AdEntityDef::GetDefaultFormDef", 549}, Case{"AdActionDef::GetFormDef", 699},
                   Case{"AdEntityDef::CanBeSecurityContext", 342}})
        for (KXFaultKind kind : {KXFaultKind::KXException, KXFaultKind::PaMsgException, KXFaultKind::CException}) {
            KXFaultInjector::Arm(c.operation, fault(kind, KX_MSG_BAD_VALUE, L"injected"));
            kxtest::ExceptionCounts counts;
            // The package test has an error of its own; otherwise a product message is an internal
            // error (40) and the other kinds reason 39.
            std::string expected = c.prop == 261 || kind == KXFaultKind::PaMsgException ? "error:40" : "error:39";
            EXPECT_EQ(sink_.fetch(*props, c.prop), expected) << c.operation << " " << static_cast<int>(kind);
            if (c.prop == 261) {
                EXPECT_EQ(sink_.last_error, "TLQSV0769E Internal Error: Error calling KX API.");
            } else if (kind != KXFaultKind::CException) {
                EXPECT_EQ(sink_.last_error, "TLQSV0751E Server error: Unexpected exception: injected") << c.operation;
            }
            counts.expect_unchanged();
            EXPECT_EQ(sink_.fetch(*props, 1061), "str:Defect");
        }
}

// ---- a set whose record type is enabled for the package

namespace {

class PackageEnabled : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        kxtest::make_product_data(dir_, "/tmp/kxrpc-package-XXXXXX");
        std::string xml = KXProductStore::DemoDefinition();
        std::string const family = "<family name=\"AllIssues\">";
        std::size_t at = xml.find(family);
        ASSERT_NE(at, std::string::npos);
        xml.insert(at, "<package name=\"Zarminflow\" revision=\"7.1\"><member record-type=\"Enhancement\"/></package>");
        std::filesystem::create_directories(dir_ + "/data");
        ASSERT_EQ(KXProductStore::CreateFromDefinition(xml, dir_ + "/data"), CString(L"KXDEMO"));
    }
    static void TearDownTestSuite() { std::filesystem::remove_all(dir_); }
    static inline std::string dir_;
};

} // namespace

TEST_F(PackageEnabled, OnlyTheEnabledRecordTypeAnswersTrue) {
    KXSmartPtr<KXSession> s = KXSession::Build();
    s->WebUserLogon(CString(L"alice"), CString(L"alice"), CString(), CString(), CString(L"ISSUE"), CString(L"KXDEMO"));
    LoginSession session(s, Nul::UString(L"KXDEMO/ISSUE"), Nul::UString());
    kxtest::RecordingSink sink;
    for (auto [name, expected] :
         {std::pair{L"Enhancement", "bool:1"}, std::pair{L"Defect", "bool:0"}, std::pair{L"AllIssues", "bool:0"}}) {
        TargetResourceArg target(TT_RECTYPE, Nul::UString(name));
        auto props = PropsResource::getResource(&session, {}, target, TT_RECTYPE);
        EXPECT_EQ(sink.fetch(*props, 261), expected);
    }
}
