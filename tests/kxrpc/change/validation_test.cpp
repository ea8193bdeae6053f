// Record validation outcomes and the handlers of validate_record_props, validate_action and
// resolve_attachment.
#include "change/validation.h"

#include "change/attachment_requests.h"
#include "change/requests.h"
#include "change/validation_handlers.h"
#include "handler_env.h"
#include "target/held_items.h"

using namespace KxRpc;
using kxtest::by_name;
using kxtest::Bytes;
using kxtest::cat;
using kxtest::str;
using kxtest::u8;
using kxtest::words;

namespace {

class Validation : public kxtest::HandlerTest {
protected:
    void SetUp() override {
        HandlerTest::SetUp();
        session_ = login(L"alice");
        api_ = AdSessionPtr(session_->session());
    }

    AdEntityPtr fresh(wchar_t const *type) { return BuildEntity(api_, LookupEntityDef(api_, CString(type))); }
    AdEntityPtr stored(wchar_t const *type, wchar_t const *name) {
        AdEntityPtr record;
        CString error;
        AdEntityMgr::Get(api_)->LookupEntityWithStatus(LookupEntityDef(api_, CString(type)), CString(name), record,
                                                       error, 1);
        return record;
    }
    void edit(AdEntityPtr const &record, int action_type) {
        EditEntity(record, record->GetEntityDef()->LookupActionDef(action_type));
    }

    // The error of validate_record and throw_invalid_fields, or none.
    std::unique_ptr<Nul::STPException> validate(AdEntityPtr const &record) {
        try {
            throw_invalid_fields(validate_record(record, api_.get()));
        } catch (Nul::STPException const &e) {
            return std::unique_ptr<Nul::STPException>(e.clone());
        }
        return nullptr;
    }
    static std::string text(std::unique_ptr<Nul::STPException> const &e) {
        return e ? u8(exception_message_text(*e)) : "";
    }
    static int code(std::unique_ptr<Nul::STPException> const &e) {
        return e ? static_cast<int>(e->stp_reason_code()) : -1;
    }

    std::shared_ptr<LoginSession> session_;
    AdSessionPtr api_;
};

KXFault text_fault(wchar_t const *text) {
    KXFault f;
    f.kind = KXFaultKind::ErrorText;
    f.text = CString(text);
    return f;
}

} // namespace

TEST_F(Validation, ValidRecordGivesNoFieldsAndThrowsNothing) {
    AdEntityPtr defect = fresh(L"Defect");
    defect->SetFieldValue(L"Headline", L"Crash on start");
    defect->SetFieldValue(L"Severity", L"2-Major");
    EXPECT_TRUE(validate_record(defect, api_.get()).empty());
    EXPECT_EQ(validate(defect), nullptr);
}

TEST_F(Validation, InvalidFieldsComeInTheProductsOrderWithTheirTypes) {
    AdEntityPtr defect = fresh(L"Defect");
    defect->SetFieldValue(L"Estimate", L"lots");
    auto e = validate(defect);
    auto const *fields = dynamic_cast<InvalidFieldsException const *>(e.get());
    ASSERT_NE(fields, nullptr) << text(e);
    EXPECT_EQ(code(e), 17);
    std::vector<std::string> names;
    for (auto const &n : fields->field_names()) names.push_back(u8(n));
    EXPECT_EQ(names, (std::vector<std::string>{"Headline", "Severity", "Estimate"}));
    EXPECT_EQ(fields->field_types(), (std::vector<int>{AD_SHORT_STRING, AD_SHORT_STRING, AD_INT}));
    // Nothing in the record changed.
    EXPECT_TRUE(defect->IsEditable());
    EXPECT_EQ(defect->GetFieldValue(L"Estimate").GetValue(), L"lots");
}

TEST_F(Validation, NewStatelessRecordWithATakenNameIsADuplicate) {
    AdEntityPtr project = fresh(L"Project");
    project->SetFieldValue(L"Name", L"Apollo");
    auto e = validate(project);
    EXPECT_EQ(code(e), 70);
    EXPECT_EQ(text(e), "TLQSV0755E Record with same displayname exists");
}

TEST_F(Validation, RenamingToATakenKeyIsADuplicateAndAnUnchangedKeyIsNotLookedFor) {
    AdEntityPtr apollo = stored(L"Project", L"Apollo");
    edit(apollo, AD_ACTION_MODIFY);
    apollo->SetFieldValue(L"Name", L"Borealis");
    EXPECT_EQ(code(validate(apollo)), 70);
    apollo->Revert();
    // Its own name is not taken by itself.
    edit(apollo, AD_ACTION_MODIFY);
    EXPECT_EQ(validate(apollo), nullptr);
    apollo->Revert();

    edit(apollo, AD_ACTION_MODIFY);
    apollo->SetFieldValue(L"Lead", L"bob");
    KXFaultInjector::Arm("AdEntity::Validate", text_fault(L"Lead may not change"));
    long looked = KXFaultInjector::CallCount("AdEntityMgr::EntityExists");
    auto e = validate(apollo);
    EXPECT_EQ(code(e), 4);
    EXPECT_EQ(text(e), "TLQSV0756E Validation error: Lead may not change");
    EXPECT_EQ(KXFaultInjector::CallCount("AdEntityMgr::EntityExists"), looked);
    apollo->Revert();
}

TEST_F(Validation, RecordWithStatesIsNeverADuplicate) {
    AdEntityPtr defect = fresh(L"Defect");
    defect->SetFieldValue(L"Headline", L"Crash on start");
    defect->SetFieldValue(L"Severity", L"2-Major");
    KXFaultInjector::Arm("AdEntity::Validate", text_fault(L"Not today"));
    long looked = KXFaultInjector::CallCount("AdEntityMgr::EntityExists");
    auto e = validate(defect);
    EXPECT_EQ(code(e), 4);
    EXPECT_EQ(text(e), "TLQSV0756E Validation error: Not today");
    EXPECT_EQ(KXFaultInjector::CallCount("AdEntityMgr::EntityExists"), looked);
}

TEST_F(Validation, AStatusClaimingARecordWithoutOneFindsNothing) {
    AdEntityPtr project = fresh(L"Project");
    project->SetFieldValue(L"Name", L"Apollo");
    KXFault found_nothing;
    found_nothing.kind = KXFaultKind::LookupStatus;
    found_nothing.status = AD_LOOKUP_FOUND;
    KXFaultInjector::Arm("AdEntityMgr::EntityExists", found_nothing);
    auto e = validate(project);
    EXPECT_EQ(code(e), 4);
    EXPECT_EQ(text(e), "TLQSV0756E Validation error: A record 'Apollo' exists already.");
}

TEST_F(Validation, RecordNotBeingEditedIsRefusedBeforeTheProductValidates) {
    long validations = KXFaultInjector::CallCount("AdEntity::Validate");
    auto e = validate(stored(L"Project", L"Apollo"));
    EXPECT_EQ(code(e), 40);
    EXPECT_EQ(text(e), "TLQSV0752E Only actionable resources are legal for Deliver");
    EXPECT_EQ(KXFaultInjector::CallCount("AdEntity::Validate"), validations);
}

TEST_F(Validation, ProductFailuresAreConflictsAndOthersInternalErrors) {
    AdEntityPtr defect = fresh(L"Defect");
    for (KXFaultKind kind : {KXFaultKind::KXException, KXFaultKind::PaMsgException, KXFaultKind::CException}) {
        KXFaultInjector::Arm("AdEntity::Validate", kxtest::fault(kind, 13260, L"store gone"));
        auto e = validate(defect);
        EXPECT_EQ(code(e), 17);
        EXPECT_EQ(text(e), "TLQSV0753E Unexpected server error during validate of temporary record: store gone");
    }
    // A failure that is not the product's: the fault injector's own complaint.
    KXFault status;
    status.kind = KXFaultKind::LookupStatus;
    KXFaultInjector::Arm("AdEntity::Validate", status);
    auto e = validate(defect);
    EXPECT_EQ(code(e), 40);
    EXPECT_EQ(text(e), "TLQSV0753E Unexpected server error during validate of temporary record: Unknown error.");
    EXPECT_TRUE(defect->IsEditable());
}

// ---- handlers

namespace {} // namespace

TEST_F(Validation, ValidateRecordPropsNamesTheMissingFieldThenPasses) {
    AdEntityPtr defect = fresh(L"Defect");
    defect->SetFieldValue(L"Headline", L"Only a headline");
    auto item = std::make_shared<RecordStateItem>(defect);
    Bytes target = cat(words({32, 3}), handle_of(item));
    kxtest::Outcome out = call<ValidateRecordPropsArgs>(kxrpc_validate_record_props, cat(header(session_), target));
    auto const *fields = dynamic_cast<InvalidFieldsException const *>(out.error.get());
    ASSERT_NE(fields, nullptr) << out.message();
    ASSERT_EQ(fields->field_names().size(), 1u);
    EXPECT_EQ(u8(fields->field_names()[0]), "Severity");

    defect->SetFieldValue(L"Severity", L"4-Minor");
    out = call<ValidateRecordPropsArgs>(kxrpc_validate_record_props, cat(header(session_), target));
    ASSERT_TRUE(out.result) << out.message();
    EXPECT_TRUE(out.reply().empty());
    remove_pointer_entry(item->oid());
}

TEST_F(Validation, ValidateRecordPropsWantsARecordHandle) {
    kxtest::Outcome out = call<ValidateRecordPropsArgs>(
        kxrpc_validate_record_props, cat(header(session_), by_name(32, {"Defect", "ISSUE00000001"})));
    EXPECT_EQ(out.reason(), 51);
    EXPECT_EQ(out.message(), "");
    // A handle of another kind of item: the session itself.
    out = call<ValidateRecordPropsArgs>(kxrpc_validate_record_props,
                                        cat(header(session_), cat(words({32, 3}), handle_of(session_))));
    EXPECT_EQ(out.reason(), 40);
    EXPECT_EQ(out.message(), "TLQSV0748E expected 'RecordStateItem' object in dynamic_cast");
}

namespace {

Bytes validate_action_body(Bytes const &record, std::string const &action, int type) {
    return cat(cat(record, by_name(40, {"Defect", action})), words({static_cast<std::uint32_t>(type)}));
}

} // namespace

TEST_F(Validation, ValidateActionOutcomes) {
    Bytes const record = by_name(32, {"Defect", "ISSUE00000001"});
    auto run = [&](Bytes const &r, std::string const &action, int type) {
        return call<ValidateActionArgs>(kxrpc_validate_action,
                                        cat(header(session_), validate_action_body(r, action, type)));
    };
    kxtest::Outcome out = run(record, "Delete", 7);
    ASSERT_TRUE(out.result) << out.message();
    EXPECT_TRUE(out.reply().empty());

    out = run(record, "Delete", 2);
    EXPECT_EQ(out.reason(), 40);
    EXPECT_EQ(out.message(), "TLQSV0766E support for this has not been implemented yet");

    out = run(record, "Modify", 7);
    EXPECT_EQ(out.reason(), 4);
    EXPECT_EQ(out.message(), "TLQSV0765E the kxaction is not a delete action");

    // Already being edited: for another action, and for this one.
    for (wchar_t const *current : {L"Modify", L"Delete"}) {
        AdEntityPtr open = stored(L"Defect", L"ISSUE00000001");
        EditEntity(open, CString(current));
        auto item = std::make_shared<RecordStateItem>(open);
        out = run(cat(words({32, 3}), handle_of(item)), "Delete", 7);
        EXPECT_EQ(out.reason(), 1) << u8(Nul::UString(current));
        EXPECT_EQ(out.message(), "");
        remove_pointer_entry(item->oid());
    }
}

TEST_F(Validation, ValidateActionConvertsEveryProductFailureAndALockedDatabase) {
    Bytes const body = validate_action_body(by_name(32, {"Defect", "ISSUE00000001"}), "Delete", 7);
    for (KXFaultKind kind : {KXFaultKind::KXException, KXFaultKind::PaMsgException, KXFaultKind::CException}) {
        KXFaultInjector::Arm("AdConnectionMgr::IsUserDatabaseLocked", kxtest::fault(kind, 13270, L"lock unknown"));
        kxtest::Outcome out = call<ValidateActionArgs>(kxrpc_validate_action, cat(header(session_), body));
        EXPECT_EQ(out.reason(), 40);
        EXPECT_EQ(out.message(), "TLQSV0751E Server error: Unexpected exception: lock unknown");
    }
    KXSmartPtr<KXAdminSession> admin = KXAdminSession::Build();
    admin->Logon(L"admin", L"admin", L"KXDEMO");
    AdConnectionMgr::SetUserDatabaseLocked(admin->GetReal(), L"ISSUE", TRUE);
    kxtest::Outcome out = call<ValidateActionArgs>(kxrpc_validate_action, cat(header(session_), body));
    AdConnectionMgr::SetUserDatabaseLocked(admin->GetReal(), L"ISSUE", FALSE);
    EXPECT_EQ(out.reason(), 31);
    admin->Unbuild();
}

TEST_F(Validation, ResolveAttachmentFindsAStoredAttachmentOrNotFound) {
    kxtest::Outcome out = call<ResolveAttachmentArgs>(
        kxrpc_resolve_attachment,
        cat(header(session_), by_name(44, {"Defect", "ISSUE00000001", "Attachments", "crash.log"})));
    ASSERT_TRUE(out.result) << out.message();
    EXPECT_TRUE(out.reply().empty());
    out = call<ResolveAttachmentArgs>(
        kxrpc_resolve_attachment,
        cat(header(session_), by_name(44, {"Defect", "ISSUE00000001", "Attachments", "none.txt"})));
    EXPECT_EQ(out.reason(), 53);
    KXFaultInjector::Arm("AdEntity::GetFieldValue", kxtest::fault(KXFaultKind::CException, 0, L"field lost"));
    out = call<ResolveAttachmentArgs>(
        kxrpc_resolve_attachment,
        cat(header(session_), by_name(44, {"Defect", "ISSUE00000001", "Attachments", "crash.log"})));
    EXPECT_TRUE(out.error);
}
