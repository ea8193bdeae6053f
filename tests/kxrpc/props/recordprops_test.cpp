// Record properties over the demo set: reply bytes of each value kind, meta-properties, puts
// and their refusals, with product faults injected. Runs with TZ=Asia/Kolkata (UTC+05:30).
#include "props/recordprops.h"

#include <cstdio>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "diag_capture.h"
#include "kxproduct/session.h"
#include "kxproduct/store.h"
#include "product_env.h"
#include "props/replies.h"
#include "props/values.h"
#include "recording_sink.h"
#include "wire_text.h"

using namespace KxRpc;
using kxtest::Bytes;
using kxtest::cat;
using kxtest::str;
using kxtest::words;

namespace {

constexpr int F0 = dynamic_prop_id_base;

std::string text_of(Bytes const &b) { return std::string(b.begin(), b.end()); }

// Words in hex with printable runs, for failure messages.
std::string dump(Bytes const &b) {
    std::string out;
    char buf[16];
    for (std::size_t i = 0; i + 3 < b.size(); i += 4) {
        std::uint32_t w = kxtest::word_at(b, i / 4);
        bool printable = true;
        for (int k = 0; k < 4; ++k) printable = printable && b[i + k] >= 0x20 && b[i + k] < 0x7f;
        if (printable) {
            out += "'" + std::string(b.begin() + i, b.begin() + i + 4) + "' ";
        } else {
            std::snprintf(buf, sizeof buf, "%u ", w);
            out += buf;
        }
    }
    return out;
}
std::string dec(std::int64_t n) { return std::to_string(n); }

class RecordPropsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { kxtest::make_product_data(dir_, "/tmp/kxrpc-records-XXXXXX"); }
    static void TearDownTestSuite() { std::filesystem::remove_all(dir_); }

    void SetUp() override {
        KXFaultInjector::Reset();
        RecordProps::set_upfront_reference_validation(false);
        user_ = KXSession::Build();
        user_->WebUserLogon(L"admin", L"admin", L"here", L"here", L"ISSUE", L"KXDEMO");
        session_ = user_->GetReal();
        defect_ = LookupEntityDef(session_, L"Defect");
        ASSERT_NE(defect_, nullptr);
    }
    void TearDown() override {
        session_ = AdSessionPtr();
        user_->Unbuild();
        user_ = KXSmartPtr<KXSession>();
        KXFaultInjector::Reset();
        counts_.expect_unchanged();
    }

    AdEntityPtr record(wchar_t const *name, AdEntityDef *def = nullptr) {
        AdEntityPtr out;
        CString error;
        AdEntityMgr::Get(session_)->LookupEntityWithStatus(def ? def : defect_, name, out, error, 0);
        return out;
    }
    // Field names declared as dynamic ids from 1000000 on.
    static DynamicPropMap fields(std::initializer_list<wchar_t const *> names) {
        DynamicPropMap map;
        int id = F0;
        for (auto *n : names) map[id++] = {8, Nul::UString(n)};
        return map;
    }
    // The fetch reply body for the requests, written by the reply iterator.
    static Bytes fetch(PropsResource *resource, std::vector<PropRequest> const &requests) {
        FetchPropsIter iter(std::unique_ptr<PropsResource>(resource), requests);
        bool ok = false;
        Bytes b = kxtest::encode([&](XDR *x) { return iter.xdr(x); }, &ok);
        EXPECT_TRUE(ok);
        return b;
    }
    static std::vector<PropRequest> requests(std::initializer_list<int> ids) {
        std::vector<PropRequest> r;
        for (int id : ids) r.push_back(PropRequest{id, {}});
        return r;
    }
    void put(RecordProps &props, BasePropValue &value) { props.put_prop(value); }
    // The reason of the refusal of a put, or -1.
    int refusal(RecordProps &props, BasePropValue &value, std::string *message = nullptr) {
        try {
            props.put_prop(value);
        } catch (Nul::STPException const &e) {
            if (message) *message = e.msg().utf8_str().std_str();
            return static_cast<int>(e.stp_reason_code());
        }
        return -1;
    }

    static std::string dir_;
    kxtest::ProductCounts counts_;
    KXSmartPtr<KXSession> user_;
    AdSessionPtr session_;
    AdEntityDef *defect_ = nullptr;
};

std::string RecordPropsTest::dir_;

PropValue<Nul::UString> *string_value(int id, wchar_t const *text) {
    auto *v = new PropValue<Nul::UString>(id, STPRPC_STRING_VALUE);
    v->value = Nul::UString(text);
    return v;
}

} // namespace

TEST_F(RecordPropsTest, ValueKindsByteForByte) {
    AdEntityPtr rec = record(L"ISSUE00000001");
    ASSERT_TRUE(rec);
    auto *props = new RecordProps(nullptr, rec);
    props->set_dynamic_props(fields(
        {L"Headline", L"Due", L"Project", L"Attachments", L"Estimate", L"Related", L"Notes.Log", L"NoSuchField"}));
    Bytes got = fetch(props, {{F0, {}},
                              {F0 + 1, {}},
                              {F0 + 2, {}},
                              {F0 + 3, {}},
                              {F0 + 4, {}},
                              {F0 + 5, {}},
                              {F0 + 6, {}},
                              {F0 + 7, {}},
                              {385, {}},
                              {298, {}},
                              {488, {}},
                              {635, {}}});
    AdEntityPtr apollo = record(L"Apollo", LookupEntityDef(session_, L"Project"));
    ASSERT_TRUE(apollo);
    auto rt = static_cast<std::uint32_t>(defect_->GetDbId());
    auto id = static_cast<std::uint32_t>(rec->GetDbId());
    auto attachments = static_cast<std::uint32_t>(defect_->LookupFieldDef(L"Attachments")->GetDbId());
    Bytes want = cat(words({1, 100001}), str("Crash when saving an empty record"));
    // The definition's dates are UTC; the product keeps them in local time and the reply in UTC.
    want = cat(want, cat(words({1, 100007}), str("2026-02-15T17:00:00Z")));
    want = cat(want, words({1, 33}));
    want = cat(cat(cat(cat(want, str("Project")), str("Apollo")), str(dec(apollo->GetEntityDef()->GetDbId()))),
               str(dec(apollo->GetDbId())));
    want = cat(want, words({1, 44, rt, id, attachments}));
    want = cat(want, words({1, 100002, 956}));       // no estimate
    want = cat(want, words({1, 100002, 967}));       // no related records
    want = cat(want, words({1, 100011, 1, 100011})); // a dotted name, an unknown field
    want = cat(want, words({1, 100005, id, 1, 100003, 571, 1, 100006, 0, 1, 100003, 692, 0}));
    EXPECT_EQ(dump(want), dump(got));
}

TEST_F(RecordPropsTest, FieldValuesThatCannotBeReadAreErrorsOfTheirOwn) {
    AdEntityPtr rec = record(L"ISSUE00000002");
    EditEntity(rec, CString(L"Modify"));
    ASSERT_EQ(CString(), rec->SetFieldValue(L"Estimate", L"99999999999"));
    ASSERT_EQ(CString(), rec->SetFieldValue(L"Due", L"someday"));
    ASSERT_EQ(CString(), rec->SetFieldValue(L"Notes_Log",
                                            L"alice\t2026-01-02 10:00:00\tfirst\nno tabs here\nbob\tlater\tsecond\n"));
    auto *props = new RecordProps(nullptr, rec);
    props->set_dynamic_props(fields({L"Estimate", L"Due", L"Notes_Log", L"Headline"}));
    Bytes got = fetch(props, requests({F0, F0 + 1, F0 + 2, F0 + 3}));
    std::string text = text_of(got);
    // The overflowing integer is message 148, not a wrapped number.
    EXPECT_EQ((Bytes{words({1, 100013, 4})}), Bytes(got.begin(), got.begin() + 12));
    EXPECT_NE(std::string::npos, text.find("TLQSV0998E The value '99999999999' cannot be interpreted"));
    // The date that does not parse is an error too, never an empty text.
    EXPECT_NE(std::string::npos, text.find("someday"));
    // Journal lines: a readable one in GMT without its user part, the others as they were.
    EXPECT_NE(std::string::npos, text.find("2026-01-02T04:30:00Z\tfirst\nno tabs here\nbob\tlater\tsecond"));
    EXPECT_NE(std::string::npos, text.find("Search ignores accented letters"));
    rec->Revert();
}

TEST_F(RecordPropsTest, MetaPropertiesOfAFieldBeingEdited) {
    AdEntityPtr rec = record(L"ISSUE00000003");
    EditEntity(rec, CString(L"Modify"));
    ASSERT_EQ(CString(), rec->SetFieldValue(L"Headline", L"New headline"));
    auto *props = new RecordProps(nullptr, rec);
    props->set_dynamic_props(fields({L"Headline"}));
    auto const rt = static_cast<std::uint32_t>(defect_->GetDbId());
    auto const fid = static_cast<std::uint32_t>(defect_->LookupFieldDef(L"Headline")->GetDbId());
    Bytes got = fetch(props, {{F0, {918, 919, 923, 925, 930, 934, 937, 945, 946}}});
    std::string text = text_of(got);
    // 918 needs a record held by a state item: an error of its own, and the fetch stops there.
    ASSERT_GE(got.size(), 12u);
    EXPECT_EQ(words({1, 100013, 40}), Bytes(got.begin(), got.begin() + 12));
    EXPECT_NE(std::string::npos, text.find("Illegal State"));

    auto *again = new RecordProps(nullptr, rec);
    again->set_dynamic_props(fields({L"Headline"}));
    got = fetch(again, {{F0, {919, 923, 924, 925, 930, 934, 937, 945, 946}}});
    Bytes want =
        cat(words({1, 100011, 34, rt, fid, 100005, fid, 100003, 914, 100001}), str("Login page times out too early"));
    want = cat(want, words({100003, 530, 100003, 970, 100006, 1, 100003, 465, 0}));
    EXPECT_EQ(dump(want), dump(got));
    rec->Revert();

    // Not being edited: unavailable and unsupported as each meta says.
    auto *stored = new RecordProps(nullptr, rec);
    stored->set_dynamic_props(fields({L"Headline"}));
    EXPECT_EQ(words({1, 100012, 100012, 100012, 100011, 100011, 0}), fetch(stored, {{F0, {921, 922, 930, 941, 945}}}));
}

TEST_F(RecordPropsTest, ARecordFromAStateItemTracksAndReportsChangedFields) {
    AdEntityPtr rec = record(L"ISSUE00000004");
    EditEntity(rec, CString(L"Modify"));
    auto item = std::make_shared<RecordStateItem>(rec);
    RecordProps props(nullptr, item, false);
    props.set_dynamic_props(fields({L"Headline", L"Due", L"Owner"}));
    props.start_field_change_tracking();
    std::unique_ptr<BasePropValue> headline(string_value(F0, L"Totals off by two"));
    std::unique_ptr<BasePropValue> due(string_value(F0 + 1, L"2026-03-04T05:06:07Z"));
    put(props, *headline);
    put(props, *due);
    props.stop_field_change_tracking();
    // The product keeps local time; the client sees its UTC text again.
    EXPECT_EQ("2026-03-04 10:36:07",
              Nul::UString(rec->GetFieldValue(L"Due").GetValue().GetString()).utf8_str().std_str());
    auto *reader = new RecordProps(nullptr, item, false);
    reader->set_dynamic_props(fields({L"Headline", L"Due"}));
    EXPECT_EQ(cat(cat(cat(words({1, 100001}), str("Totals off by two")),
                      cat(words({1, 100007}), str("2026-03-04T05:06:07Z"))),
                  words({0})),
              fetch(reader, requests({F0, F0 + 1})));

    Bytes trailer = kxtest::encode([&](XDR *x) { return props.xdr_changed_fields(x); });
    Bytes want = cat(cat(words({1}), str("Defect/ISSUE00000004")), words({2}));
    want = cat(cat(want, str("Due")), words({951, 1}));
    want = cat(cat(want, str("Headline")), words({970, 1}));
    EXPECT_EQ(want, trailer);

    // Seeded from the product's last set-value.
    RecordProps seeded(nullptr, item, true);
    Bytes seeded_trailer = kxtest::encode([&](XDR *x) { return seeded.xdr_changed_fields(x); });
    EXPECT_EQ(cat(cat(cat(cat(words({1}), str("Defect/ISSUE00000004")), words({1})), str("Due")), words({951, 1})),
              seeded_trailer);
}

TEST_F(RecordPropsTest, PutRefusals) {
    AdEntityPtr rec = record(L"ISSUE00000005");
    EditEntity(rec, CString(L"Modify"));
    RecordProps props(nullptr, rec);
    props.set_dynamic_props(fields({L"Headline", L"Project", L"No.Field"}));
    BasePropValue valueless_known(488, STPRPC_VALUELESS), valueless_unknown(9999, STPRPC_VALUELESS);
    EXPECT_EQ(51, refusal(props, valueless_known));
    EXPECT_EQ(64, refusal(props, valueless_unknown));
    std::unique_ptr<BasePropValue> dotted(string_value(F0 + 2, L"x"));
    EXPECT_EQ(64, refusal(props, *dotted));
    std::unique_ptr<BasePropValue> read_only(string_value(385, L"7"));
    EXPECT_EQ(9, refusal(props, *read_only));

    // The product's refusal text and its exceptions, each deleted once.
    std::unique_ptr<BasePropValue> headline(string_value(F0, L"Anything"));
    KXFaultInjector::Arm("AdEntity::SetFieldValue", kxtest::fault(KXFaultKind::ErrorText, 0, L"kept by a hook"));
    std::string message;
    EXPECT_EQ(17, refusal(props, *headline, &message));
    EXPECT_NE(std::string::npos, message.find("kept by a hook")) << message;
    KXFaultInjector::Arm("AdEntity::SetFieldValue", kxtest::fault(KXFaultKind::PaMsgException, 13240, L"no way"));
    EXPECT_EQ(17, refusal(props, *headline, &message));
    EXPECT_NE(std::string::npos, message.find("TLQSV0768E")) << message;
    // Memory that runs out says so rather than leave the cause empty.
    KXFaultInjector::Arm("AdEntity::SetFieldValue", kxtest::fault(KXFaultKind::OutOfMemory, 0, L""));
    EXPECT_EQ(17, refusal(props, *headline, &message));
    EXPECT_EQ("TLQSV0768E Could not update property: Not enough memory.", message);

    // A record of another type given by dbid is refused even without up-front validation.
    auto *by_dbid = new PropValue<TargetResourceArg>(F0 + 1, 32);
    std::unique_ptr<BasePropValue> owned(by_dbid);
    by_dbid->value = TargetResourceArg(32, static_cast<u_int>(defect_->GetDbId()), static_cast<u_int>(rec->GetDbId()));
    EXPECT_EQ(4, refusal(props, *by_dbid, &message));
    EXPECT_NE(std::string::npos, message.find("TLQSV1098E")) << message;
    by_dbid->value = TargetResourceArg(32, static_cast<u_int>(defect_->GetDbId()), 999999u);
    EXPECT_EQ(53, refusal(props, *by_dbid, &message));
    EXPECT_NE(std::string::npos, message.find("TLQSV1099E")) << message;
    rec->Revert();
}

TEST_F(RecordPropsTest, AReferenceListMergeThatFailsMidwayRestoresTheList) {
    AdEntityPtr rec = record(L"ISSUE00000006");
    EditEntity(rec, CString(L"Modify"));
    std::vector<CString> const before = {L"ISSUE00000001", L"ISSUE00000002"};
    ASSERT_EQ(CString(), rec->SetFieldValueList(L"Related", before));
    RecordProps props(nullptr, rec);
    props.set_dynamic_props(fields({L"Related"}));
    auto *list = new ListPropValue<Nul::UString>(F0, STPRPC_STRING_LIST);
    std::unique_ptr<BasePropValue> owned(list);
    list->values = {Nul::UString(L"ISSUE00000002"), Nul::UString(L"ISSUE00000003"), Nul::UString(L"ISSUE00000004")};
    // The second add fails, after the delete and the first add went through.
    KXFaultInjector::Arm("AdEntity::AddFieldValue", kxtest::fault(KXFaultKind::ErrorText, 0, L"full"), 2);
    std::string message;
    EXPECT_EQ(17, refusal(props, *list, &message));
    EXPECT_NE(std::string::npos, message.find("TLQSV0747E")) << message;
    EXPECT_EQ(before, rec->GetFieldValue(L"Related").GetValueAsList());
    // Without the fault the same put leaves exactly the new list.
    put(props, *list);
    EXPECT_EQ((std::vector<CString>{L"ISSUE00000002", L"ISSUE00000003", L"ISSUE00000004"}),
              rec->GetFieldValue(L"Related").GetValueAsList());
    // With up-front validation a name that finds no record is refused before any change.
    RecordProps::set_upfront_reference_validation(true);
    list->values = {Nul::UString(L"NOSUCHRECORD")};
    EXPECT_EQ(4, refusal(props, *list, &message));
    EXPECT_NE(std::string::npos, message.find("TLQSV0745E")) << message;
    EXPECT_EQ(3u, rec->GetFieldValue(L"Related").GetValueAsList().size());
    rec->Revert();
}

TEST_F(RecordPropsTest, ChangeSetTargetsAreMatchedByNameAgainstTheFieldsEntries) {
    AdEntityDef *enhancement = LookupEntityDef(session_, L"Enhancement");
    AdEntityPtr rec = record(L"ISSUE00000021", enhancement);
    ASSERT_TRUE(rec);
    EditEntity(rec, CString(L"Modify"));
    // An entry that names no record of the referenced type any more.
    std::vector<CString> const before = {L"ISSUE00000001", L"ISSUE00000099"};
    ASSERT_EQ(CString(), rec->SetFieldValueList(L"vt_change_set", before));
    RecordProps::set_upfront_reference_validation(true);
    RecordProps props(nullptr, rec);
    props.set_dynamic_props(fields({L"vt_change_set", L"Related"}));
    auto targets = [](int id, std::initializer_list<wchar_t const *> names) {
        auto list = std::make_unique<ListPropValue<TargetResourceArg>>(id, STPRPC_RESOURCE_LIST);
        for (auto *n : names) list->values.emplace_back(32, Nul::UString(L"Defect"), Nul::UString(n));
        return list;
    };
    kxtest::DiagCapture diag;
    AdDiagnostic::SetFlag(66, 2);
    long const lookups = KXFaultInjector::CallCount("AdEntityMgr::EntityExists");
    // The entries the field holds are kept without a lookup; a new one is looked up as ever.
    auto kept = targets(F0, {L"ISSUE00000099", L"ISSUE00000002"});
    put(props, *kept);
    EXPECT_EQ((std::vector<CString>{L"ISSUE00000099", L"ISSUE00000002"}),
              rec->GetFieldValue(L"vt_change_set").GetValueAsList());
    EXPECT_EQ(KXFaultInjector::CallCount("AdEntityMgr::EntityExists"), lookups + 1);
    std::vector<std::string> traced;
    for (auto const &line : diag.lines())
        if (line.find("vt_change_set") != std::string::npos) traced.push_back(line);
    EXPECT_EQ(traced, (std::vector<std::string>{"KXRPC|vt_change_set (found:T)", "KXRPC|vt_change_set (found:F)"}));
    // A new entry that names nothing is refused as in any reference list, and so is any other
    // field's target that its current values hold but no record answers.
    std::string message;
    auto missing = targets(F0, {L"ISSUE00000088"});
    EXPECT_EQ(4, refusal(props, *missing, &message));
    EXPECT_NE(std::string::npos, message.find("TLQSV0745E")) << message;
    ASSERT_EQ(CString(), rec->SetFieldValueList(L"Related", {L"ISSUE00000099"}));
    auto related = targets(F0 + 1, {L"ISSUE00000099"});
    EXPECT_EQ(4, refusal(props, *related, &message));
    rec->Revert();
}

TEST_F(RecordPropsTest, ProductFaultsBecomePropertyErrorsAndTheFetchGoesOn) {
    AdEntityPtr rec = record(L"ISSUE00000007");
    for (KXFaultKind kind : {KXFaultKind::KXException, KXFaultKind::PaMsgException, KXFaultKind::CException}) {
        auto *props = new RecordProps(nullptr, rec);
        props->set_dynamic_props(fields({L"Headline"}));
        KXFaultInjector::Arm("AdEntity::HasDuplicates", kxtest::fault(kind, 13224, L"injected"));
        Bytes got = fetch(props, {{460, {}}, {F0, {}}});
        EXPECT_EQ(100013u, kxtest::word_at(got, 1));
        EXPECT_NE(std::string::npos, text_of(got).find("Wrong time zone in history"));
    }
}

TEST_F(RecordPropsTest, AMessageFailureOfTheLegalActionsIsAnUnexpectedExceptionOfThatProperty) {
    kxtest::ExceptionCounts counts;
    AdEntityPtr rec = record(L"ISSUE00000007");
    auto *props = new RecordProps(nullptr, rec);
    KXFaultInjector::Arm("GetLegalActionDefs", kxtest::fault(KXFaultKind::PaMsgException, 13251, L"not now"));
    Bytes got = fetch(props, {{526, {}}});
    EXPECT_EQ(100013u, kxtest::word_at(got, 1));
    EXPECT_NE(std::string::npos, text_of(got).find("TLQSV0751E Server error: Unexpected exception: not now"));
    counts.expect_unchanged();
}

TEST_F(RecordPropsTest, OneFetchAsksTheProductForDuplicatesOnce) {
    AdEntityPtr rec = record(L"ISSUE00000007");
    long const before = KXFaultInjector::CallCount("AdEntity::HasDuplicates");
    // has_duplicates, all duplicates and duplicates: each answers as when fetched alone.
    Bytes expected;
    for (int id : {460, 313, 414}) {
        Bytes alone = fetch(new RecordProps(nullptr, rec), requests({id}));
        ASSERT_GE(alone.size(), 4u);
        expected.insert(expected.end(), alone.begin(), alone.end() - (id == 414 ? 0 : 4)); // its closing FALSE
    }
    long const asked = KXFaultInjector::CallCount("AdEntity::HasDuplicates");
    EXPECT_EQ(asked - before, 3);
    EXPECT_EQ(dump(fetch(new RecordProps(nullptr, rec), requests({460, 313, 414}))), dump(expected));
    EXPECT_EQ(KXFaultInjector::CallCount("AdEntity::HasDuplicates") - asked, 1);

    // A failure is not kept: the next property asks again and gets its answer.
    KXFaultInjector::Arm("AdEntity::HasDuplicates", kxtest::fault(KXFaultKind::KXException, 13224, L"injected"));
    long const armed = KXFaultInjector::CallCount("AdEntity::HasDuplicates");
    Bytes got = fetch(new RecordProps(nullptr, rec), requests({460, 313}));
    EXPECT_EQ(100013u, kxtest::word_at(got, 1));
    EXPECT_EQ(KXFaultInjector::CallCount("AdEntity::HasDuplicates") - armed, 2);
    Bytes duplicates = fetch(new RecordProps(nullptr, rec), requests({313}));
    ASSERT_GE(got.size(), duplicates.size());
    EXPECT_EQ(dump(Bytes(got.end() - static_cast<std::ptrdiff_t>(duplicates.size()), got.end())), dump(duplicates));
}

TEST_F(RecordPropsTest, SupportedSetFollowsTheRecordType) {
    static char const *const definition = R"(<?xml version="1.0"?>
<kxdefinition name="ZRM">
  <database name="DB"/>
  <group name="G"><subscribe database="DB"/></group>
  <user login="u" password="pw"><member group="G"/></user>
  <record-type name="Bound">
    <field name="Title" type="short-string" unique-key="1"/><field name="zrm_vob_object" type="short-string"/>
    <action name="Create" type="submit"/>
  </record-type>
  <record-type name="Plain">
    <field name="Title" type="short-string" unique-key="1"/>
    <action name="Create" type="submit"/>
  </record-type>
  <record type="Bound" database="DB"><value field="Title">b</value><value field="zrm_vob_object">act@vob</value></record>
  <record type="Plain" database="DB"><value field="Title">p</value></record>
</kxdefinition>
)";
    KXSmartPtr<KXSession> zrm;
    try {
        ASSERT_EQ(CString(L"ZRM"), KXProductStore::CreateFromDefinition(definition, dir_ + "/data"));
        zrm = KXSession::Build();
        zrm->WebUserLogon(L"u", L"pw", L"h", L"h", L"DB", L"ZRM");
    } catch (KXException *e) {
        std::string text = Nul::UString(e->GetErrorString().GetString()).utf8_str().std_str();
        e->Delete();
        FAIL() << text;
    }
    AdSessionPtr api = zrm->GetReal();
    auto first = [&](wchar_t const *type) {
        AdEntityPtr out;
        CString error;
        AdEntityDef *def = LookupEntityDef(api, type);
        AdEntityMgr::Get(api)->LookupEntityWithStatus(def, def->GetName() == CString(L"Bound") ? L"b" : L"p", out,
                                                      error, 0);
        return out;
    };
    {
        // Whichever record type comes first, each gets its own set.
        RecordProps plain(nullptr, first(L"Plain"));
        RecordProps bound(nullptr, first(L"Bound"));
        ASSERT_TRUE(bound.entity());
        EXPECT_EQ(0u, plain.supported_properties().count(1140));
        EXPECT_EQ(1u, bound.supported_properties().count(1140));
        EXPECT_EQ(7u, bound.supported_properties().size() - plain.supported_properties().size());
        EXPECT_EQ(1u, plain.supported_properties().count(1103));
        auto *fetcher = new RecordProps(nullptr, first(L"Bound"));
        EXPECT_EQ(cat(cat(words({1, 100001}), str("vt.act@vob")), words({1, 100003, 1053, 0})),
                  fetch(fetcher, requests({1155, 1052})));
    }
    api = AdSessionPtr();
    zrm->Unbuild();
}

TEST_F(RecordPropsTest, RecordLevelPropertiesFromTheProduct) {
    AdEntityPtr rec = record(L"ISSUE00000001");
    auto const rt = static_cast<std::uint32_t>(defect_->GetDbId());
    auto const family = static_cast<std::uint32_t>(LookupEntityDefOrFamily(session_, L"AllIssues")->GetDbId());
    auto const modify = static_cast<std::uint32_t>(defect_->LookupActionDef(L"Modify")->GetDbId());
    auto *props = new RecordProps(nullptr, rec);
    Bytes got = fetch(props, requests({1056, 387, 595, 1162, 460, 313, 268}));
    // The creation date is the submit in the history (the definition's dates are UTC).
    Bytes want = cat(words({1, 100007}), str("2026-01-10T10:00:00Z"));
    want = cat(want, words({1, 39, rt, modify, 1, 100008, 31, 1, 31, rt, 1, 31, family, 1, 100009}));
    want = cat(want, words({1, 100002, 971, 1, 100006, 0, 1, 100002, 967, 1, 27}));
    want = cat(want, cat(str(""), words({0}))); // no mastership field: the local site's
    EXPECT_EQ(dump(want), dump(got));
    Bytes legal = fetch(new RecordProps(nullptr, rec), requests({526}));
    EXPECT_EQ(words({1, 100008, 39, 1}), Bytes(legal.begin(), legal.begin() + 16));

    // A new record in its submit action has no creation date yet.
    AdEntityPtr fresh = BuildEntity(session_, defect_);
    EXPECT_EQ(words({1, 100002, 951, 0}), fetch(new RecordProps(nullptr, fresh), requests({1056})));
    fresh->Revert();
}

namespace {

// One property of a record, or one meta-property of a field (meta 0: the property itself).
struct PropCase {
    char const *record;
    int id;
    int meta;
    std::string expected;
};

// The values of `c` as the recording sink writes them.
std::string fetched(kxtest::RecordingSink &sink, PropsResource &props, PropCase const &c) {
    if (c.meta == 0) return sink.fetch(props, c.id);
    sink.values.clear();
    sink.perform_fetch_meta(props, c.id, c.meta);
    std::string joined;
    for (auto const &v : sink.values) joined += (joined.empty() ? "" : " ") + v;
    return joined;
}

} // namespace

// The record properties a web form reads, over stored and edited demo records.
TEST_F(RecordPropsTest, RecordPropertiesOfStoredAndEditedRecords) {
    AdEntityPtr stored = record(L"ISSUE00000001");
    AdEntityPtr edited = record(L"ISSUE00000003");
    ASSERT_TRUE(stored && edited);
    EditEntity(edited, CString(L"Modify"));
    ASSERT_EQ(CString(), edited->SetFieldValue(L"Headline", L"Login page times out"));
    ASSERT_EQ(CString(), edited->SetFieldValue(L"Severity", L""));
    std::string const rt = dec(defect_->GetDbId());
    std::string const one = dec(stored->GetDbId()), three = dec(edited->GetDbId());
    std::string const attachments = dec(defect_->LookupFieldDef(L"Attachments")->GetDbId());
    std::string const modify = dec(defect_->LookupActionDef(L"Modify")->GetDbId());
    std::string const headline = "name:Headline", severity = "name:Severity";
    std::string legal = "[39";
    std::vector<CString> const names = GetLegalAccessibleActionDefNames(session_, stored);
    for (CString const &name : names)
        legal += " res39:" + rt + "," + dec(defect_->LookupActionDef(name)->GetDbId()) + ",0,0";
    legal += " ]";
    ASSERT_GT(names.size(), 1u);
    std::string all_fields = "[100010";
    for (CString const &name : stored->GetFieldNames()) all_fields += " name:" + name.ToUtf8();
    all_fields += " ]";
    int const state = F0 + 2, F_HEADLINE = F0, F_SEVERITY = F0 + 1;

    PropCase const cases[] = {
        // A stored record: nothing of an action.
        {"1", 296, 0, "empty:966"},
        {"1", 314, 0, all_fields},
        {"1", 319, 0, "[44 res44:" + rt + "," + one + "," + attachments + ",0 ]"},
        {"1", 352, 0, "[44 res44:" + rt + "," + one + "," + attachments + ",0 ]"},
        {"1", 353, 0, "[100020 qname100020:Attachments:44," + rt + "," + one + "," + attachments + ",0 ]"},
        {"1", 414, 0, "empty:967"},
        {"1", 438, 0, "empty:964"},
        {"1", 439, 0, "empty:964"},
        {"1", 440, 0, "empty:964"},
        {"1", 441, 0, "empty:964"},
        {"1", 480, 0, "empty:964"},
        {"1", 487, 0, "bool:0"},
        {"1", 507, 0, "bool:0"},
        {"1", 525, 0, legal},
        {"1", 588, 0, "empty:966"},
        {"1", 589, 0, "enum:571"},
        {"1", 683, 0, "int:" + dec(session_->GetSessionUserSiteExtension())},
        {"1", 684, 0, "bool:1"},
        {"1", 695, 0, "str:Submitted"},
        {"1", 1036, 0, "res32:" + rt + "," + one + ",0,0"},
        {"1", 1068, 0, "str:Crash when saving an empty record"},
        {"1", 1136, 0, "str:"},
        {"1", 1159, 0, "empty:964"},
        {"1", 1163, 0, "empty:971"}, // the administrator is in every group of the form's tabs
        {"1", F_HEADLINE, 931, "unavailable"},
        {"1", F_HEADLINE, 938, "enum:721"},
        {"1", F_HEADLINE, 939, "unavailable"},
        {"1", F_HEADLINE, 940, "unavailable"},
        {"1", F_HEADLINE, 944, "unsupported"},
        {"1", state, 921, "unavailable"},
        // The record being edited in Modify: its action, its changes and the invalid Severity.
        {"3", 296, 0, "res39:" + rt + "," + modify + ",0,0"},
        {"3", 438, 0, "[100010 " + headline + " " + severity + " ]"},
        {"3", 439, 0, "[100010 " + headline + " " + severity + " ]"},
        {"3", 441, 0, "[100010 " + severity + " ]"},
        {"3", 480, 0, "[100010 " + severity + " ]"},
        {"3", 525, 0, "empty:967"},
        {"3", 695, 0, "str:Opened"},
        {"3", 1068, 0, "str:Login page times out"},
        {"3", F_HEADLINE, 931, "enum:465"},
        {"3", F_HEADLINE, 938, "enum:721"},
        {"3", F_HEADLINE, 944, "bool:1"},
        {"3", F_SEVERITY, 931, "enum:465"},
        {"3", F_SEVERITY, 938, "enum:481"},
        {"3", F_SEVERITY, 939, "bool:1"},
        {"3", F_SEVERITY, 940, "bool:1"},
        {"3", F_SEVERITY, 921, "[100001 str:1-Critical str:2-Major str:3-Average str:4-Minor ]"},
        // The State field chooses among the record type's states.
        {"3", state, 921, "[100001 str:Submitted str:Assigned str:Opened str:Resolved str:Closed str:Duplicate ]"},
        {"3", F_HEADLINE, 921, "unsupported"},
    };
    kxtest::RecordingSink sink;
    for (PropCase const &c : cases) {
        RecordProps props(nullptr, std::string(c.record) == "1" ? stored : edited);
        props.set_dynamic_props(fields({L"Headline", L"Severity", L"State"}));
        EXPECT_EQ(fetched(sink, props, c), c.expected) << "record " << c.record << " id " << c.id << " meta " << c.meta;
    }
    // The validation text of the edited record names the field it refuses.
    RecordProps props(nullptr, edited);
    std::string const validation = sink.fetch(props, 1136);
    EXPECT_NE(validation.find("Severity"), std::string::npos) << validation;
    edited->Revert();
}
