#include <atomic>
#include <set>
#include <thread>
#include <vector>

#include "kxproduct/kxproduct.h"
#include "store_failures.h"
#include "test_support.h"

namespace {

KXSmartPtr<KXSession> logon(const wchar_t *user, const wchar_t *db = L"ISSUE") {
    auto s = KXSession::Build();
    s->WebUserLogon(user, user, L"server", L"", db, L"KXDEMO");
    return s;
}

AdEntityPtr find(const AdSessionPtr &s, const wchar_t *type, const wchar_t *name) {
    AdEntityPtr e;
    CString error;
    int st = AdEntityMgr::Get(s)->LookupEntityWithStatus(LookupEntityDefOrFamily(s, type), name, e, error, 1);
    EXPECT_EQ(st, AD_LOOKUP_FOUND) << CString(name).ToUtf8();
    return e;
}

struct Seen {
    std::vector<std::pair<std::wstring, int>> calls; // field, flags (1 value, 2 validity)
};

void on_set(AdEntity *, const AdFieldInfo &info, void *ctx) {
    int flags = (info.ValueChangedThisSetValue() ? 1 : 0) | (info.ValidityChangedThisSetValue() ? 2 : 0);
    static_cast<Seen *>(ctx)->calls.emplace_back(info.GetName().str(), flags);
}

class EntityTest : public ProductTest {
protected:
    void SetUp() override {
        ProductTest::SetUp();
        ::setenv("TZ", "UTC", 1);
        ::tzset();
    }
};

} // namespace

TEST_F(EntityTest, LookupByNameAndDbidWithStatuses) {
    auto s = logon(L"alice");
    AdSessionPtr real = s->GetReal();
    auto mgr = AdEntityMgr::Get(real);
    AdEntityDef *defect = LookupEntityDefOrFamily(real, L"Defect");
    AdEntityPtr e = find(real, L"Defect", L"ISSUE00000001");
    ASSERT_TRUE(e);
    EXPECT_EQ(e->GetDisplayName(), L"ISSUE00000001");
    EXPECT_EQ(e->GetStateName(), L"Submitted");
    EXPECT_EQ(e->GetEntityDef(), defect);
    EXPECT_FALSE(e->IsEditable());
    EXPECT_EQ(e->GetFieldValue(L"Headline").GetValue(), L"Crash when saving an empty record");
    EXPECT_EQ(e->GetFieldValue(L"Severity").GetValueStatus(), AD_HAS_VALUE);
    EXPECT_EQ(e->GetFieldValue(L"Owner").GetValueStatus(), AD_HAS_NO_VALUE);
    EXPECT_EQ(e->GetFieldValue(L"Due").GetValue(), L"2026-02-15 17:00:00");
    EXPECT_EQ(e->GetFieldValue(L"dbid").GetValue(), CString(std::to_wstring(e->GetDbId())));
    EXPECT_EQ(e->GetFieldValue(L"State").GetValue(), L"Submitted");
    EXPECT_EQ(expect_kx([&] { e->GetFieldValue(L"NoSuchField"); }).first, KX_MSG_NOT_FOUND);

    AdEntityPtr by_id;
    CString error;
    EXPECT_EQ(mgr->LookupEntityByDbIdWithStatus(defect, e->GetDbId(), by_id, error, 1), AD_LOOKUP_FOUND);
    ASSERT_TRUE(by_id);
    EXPECT_EQ(by_id->GetDisplayName(), L"ISSUE00000001");
    EXPECT_EQ(mgr->LookupEntityByDbIdWithStatus(defect, 12345, by_id, error, 1), AD_LOOKUP_NOT_FOUND);
    EXPECT_FALSE(by_id);
    AdEntityPtr enh = find(real, L"Enhancement", L"ISSUE00000021");
    EXPECT_EQ(mgr->LookupEntityByDbIdWithStatus(defect, enh->GetDbId(), by_id, error, 1), AD_LOOKUP_WRONG_TYPE);
    EXPECT_NE(error.Find(L"Enhancement"), -1);
    // Through the family both are found.
    AdEntityDef *family = LookupEntityDefOrFamily(real, L"AllIssues");
    EXPECT_EQ(mgr->LookupEntityByDbIdWithStatus(family, enh->GetDbId(), by_id, error, 1), AD_LOOKUP_FOUND);
    EXPECT_EQ(by_id->GetEntityDef()->GetName(), L"Enhancement");
    EXPECT_TRUE(mgr->EntityExists(family, L"ISSUE00000001"));
    EXPECT_FALSE(mgr->EntityExists(defect, L"ISSUE00000021"));
    // Records of the other user database are not seen.
    EXPECT_FALSE(mgr->EntityExists(defect, L"TEST00000001"));
    EXPECT_EQ(find(real, L"Project", L"Apollo")->GetFieldValue(L"Lead").GetValue(), L"alice");
}

TEST_F(EntityTest, NewRecordCallbacksRequirednessAndCommit) {
    auto s = logon(L"carol");
    AdSessionPtr real = s->GetReal();
    AdEntityDef *defect = LookupEntityDefOrFamily(real, L"Defect");
    AdEntityPtr e = BuildEntity(real, defect);
    EXPECT_TRUE(e->IsEditable());
    EXPECT_TRUE(e->IsNew());
    EXPECT_EQ(e->GetActionType(), AD_ACTION_SUBMIT);
    EXPECT_EQ(e->GetFieldRequiredness(L"Headline"), AD_MANDATORY);
    EXPECT_EQ(e->GetFieldRequiredness(L"Owner"), AD_OPTIONAL);
    EXPECT_EQ(e->GetFieldRequiredness(L"id"), AD_READONLY);
    Seen seen;
    e->SetFieldUpdateCallback(L"Headline", on_set, &seen);
    e->SetFieldUpdateCallback(L"Severity", on_set, &seen);
    EXPECT_EQ(e->SetFieldValue(L"Headline", L"New crash"), L"");  // value and validity change
    EXPECT_EQ(e->SetFieldValue(L"Headline", L"New crash"), L"");  // no change at all
    EXPECT_EQ(e->SetFieldValue(L"Severity", L"9-Whatever"), L""); // value changes, still invalid
    EXPECT_EQ(e->SetFieldValue(L"Severity", L"2-Major"), L"");    // both
    EXPECT_EQ(e->SetFieldValue(L"Owner", L"bob"), L"");           // no callback registered
    std::vector<std::pair<std::wstring, int>> want = {
        {L"Headline", 3}, {L"Headline", 0}, {L"Severity", 1}, {L"Severity", 3}};
    EXPECT_EQ(seen.calls, want);
    EXPECT_NE(e->SetFieldValue(L"id", L"X"), L"");
    EXPECT_NE(e->SetFieldValue(L"Attachments", L"x"), L"");
    EXPECT_NE(e->SetFieldValue(L"Nope", L"x"), L"");
    EXPECT_EQ(e->SetFieldValue(L"Estimate", L"12x"), L"");
    EXPECT_NE(e->Validate().Find(L"Estimate"), -1);
    EXPECT_EQ(expect_pamsg([&] { e->Commit(); }).first,
              KX_MSG_COMMIT_FAILED); // invalid: nothing written, still editable
    EXPECT_TRUE(e->IsEditable());
    EXPECT_EQ(e->SetFieldValue(L"Estimate", L"12"), L"");
    EXPECT_EQ(e->SetFieldValue(L"Project", L"Nowhere"), L"");
    EXPECT_EQ(e->GetFieldValue(L"Project").GetValidity(), AD_INVALID);
    EXPECT_EQ(e->SetFieldValue(L"Project", L"Cygnus"), L"");
    EXPECT_EQ(e->SetFieldValue(L"Due", L"2026-05-01 12:30:00"), L"");
    auto updated = e->GetFieldValuesUpdatedThisAction();
    EXPECT_EQ(updated.size(), 6u);
    EXPECT_EQ(e->Validate(), L"");
    EXPECT_EQ(e->Commit(), L"");
    EXPECT_FALSE(e->IsEditable());
    EXPECT_EQ(e->GetDisplayName(), L"ISSUE00000032");
    EXPECT_EQ(e->GetStateName(), L"Submitted");
    e->ClearAllFieldUpdateCallbacks();

    // Persisted: another session reads the same record.
    auto other = logon(L"bob");
    AdEntityPtr again = find(other->GetReal(), L"Defect", L"ISSUE00000032");
    ASSERT_TRUE(again);
    EXPECT_EQ(again->GetFieldValue(L"Headline").GetValue(), L"New crash");
    EXPECT_EQ(again->GetFieldValue(L"Due").GetValue(), L"2026-05-01 12:30:00");
    EXPECT_EQ(again->GetFieldValue(L"Project").GetValue(), L"Cygnus");
    EXPECT_EQ(again->GetVersion(), 1);
}

TEST_F(EntityTest, ActionsFollowStatesAndRequiredness) {
    auto s = logon(L"alice");
    AdSessionPtr real = s->GetReal();
    AdEntityPtr e = find(real, L"Defect", L"ISSUE00000001"); // Submitted, no owner
    auto r = expect_pamsg([&] { EditEntity(e, L"Close"); });
    EXPECT_EQ(r.first, KX_MSG_ACTION_NOT_ALLOWED);
    EXPECT_EQ(expect_pamsg([&] { EditEntity(e, L"Fly"); }).first, KX_MSG_ACTION_NOT_ALLOWED);
    EXPECT_EQ(expect_pamsg([&] { EditEntity(e, L"Submit"); }).first, KX_MSG_ACTION_NOT_ALLOWED);
    EXPECT_NE(e->SetFieldValue(L"Headline", L"x"), L""); // not being edited
    EditEntity(e, L"Assign");
    EXPECT_TRUE(e->IsEditable());
    EXPECT_EQ(e->GetActionType(), AD_ACTION_CHANGE_STATE);
    EXPECT_EQ(e->GetFieldRequiredness(L"Owner"), AD_MANDATORY);
    EXPECT_EQ(expect_pamsg([&] { EditEntity(e, L"Modify"); }).first, KX_MSG_ACTION_NOT_ALLOWED);
    EXPECT_NE(expect_pamsg([&] { e->Commit(); }).second.find(L"Owner"), std::wstring::npos);
    e->Revert();
    EXPECT_FALSE(e->IsEditable());
    EXPECT_EQ(e->GetFieldRequiredness(L"Owner"), AD_OPTIONAL);
    EditEntity(e, L"Assign");
    EXPECT_EQ(e->SetFieldValue(L"Owner", L"bob"), L"");
    EXPECT_EQ(e->Commit(), L"");
    EXPECT_EQ(e->GetStateName(), L"Assigned");
    EXPECT_EQ(e->GetFieldRequiredness(L"Owner"), AD_MANDATORY); // by state now
    // A closed record keeps its headline.
    AdEntityPtr closed = find(real, L"Defect", L"ISSUE00000005");
    ASSERT_EQ(closed->GetStateName(), L"Closed");
    EditEntity(closed, L"Modify");
    EXPECT_EQ(closed->GetFieldRequiredness(L"Headline"), AD_READONLY);
    EXPECT_NE(closed->SetFieldValue(L"Headline", L"changed"), L"");
    EXPECT_EQ(closed->GetFieldValue(L"Headline").GetValue(), L"Chart legend overlaps the axis");
    closed->Revert();
    // Revert restores stored values.
    EditEntity(e, L"Modify");
    EXPECT_EQ(e->SetFieldValue(L"Headline", L"temporary"), L"");
    e->Revert();
    EXPECT_EQ(e->GetFieldValue(L"Headline").GetValue(), L"Crash when saving an empty record");
}

TEST_F(EntityTest, ConcurrentChangeIsRefusedNotLost) {
    auto a = logon(L"alice");
    auto b = logon(L"bob");
    AdEntityPtr ea = find(a->GetReal(), L"Defect", L"ISSUE00000003");
    AdEntityPtr eb = find(b->GetReal(), L"Defect", L"ISSUE00000003");
    EditEntity(ea, L"Modify");
    EditEntity(eb, L"Modify");
    EXPECT_EQ(ea->SetFieldValue(L"Priority", L"1-Resolve Immediately"), L"");
    EXPECT_EQ(eb->SetFieldValue(L"Priority", L"4-Low Priority"), L"");
    EXPECT_EQ(ea->Commit(), L"");
    auto refused = expect_pamsg([&] { eb->Commit(); });
    EXPECT_EQ(refused.first, KX_MSG_RECORD_CHANGED);
    EXPECT_NE(refused.second.find(L"changed by another session"), std::wstring::npos);
    // The refused record keeps its edits and may be committed once the conflict is resolved.
    EXPECT_TRUE(eb->IsEditable());
    EXPECT_EQ(eb->GetFieldValue(L"Priority").GetValue(), L"4-Low Priority");
    eb->Revert();
    EditEntity(eb, L"Modify"); // reloads
    EXPECT_EQ(eb->GetFieldValue(L"Priority").GetValue(), L"1-Resolve Immediately");
    eb->Revert();
}

TEST_F(EntityTest, FailureHalfwayLeavesNoHalfRecord) {
    auto s = logon(L"alice");
    AdSessionPtr real = s->GetReal();
    AdEntityPtr e = find(real, L"Defect", L"ISSUE00000002");
    EditEntity(e, L"Open");
    EXPECT_EQ(e->SetFieldValue(L"Owner", L"carol"), L"");
    EXPECT_EQ(e->SetFieldValue(L"Headline", L"half written"), L"");
    KXFaultInjector::Arm("AdEntity::Commit:store",
                         KXFault{KXFaultKind::KXException, KX_MSG_COMMIT_FAILED, CString(L"disk gone"), 0});
    EXPECT_EQ(expect_kx([&] { e->Commit(); }).second, L"disk gone");
    auto other = logon(L"bob");
    AdEntityPtr seen = find(other->GetReal(), L"Defect", L"ISSUE00000002");
    EXPECT_EQ(seen->GetStateName(), L"Assigned"); // unchanged: state, version and values together
    EXPECT_EQ(seen->GetVersion(), 1);
    EXPECT_EQ(seen->GetFieldValue(L"Headline").GetValue(), L"Search ignores accented letters");
    // A new record that fails halfway does not exist afterwards.
    AdEntityPtr n = BuildEntity(real, LookupEntityDefOrFamily(real, L"Defect"));
    n->SetFieldValue(L"Headline", L"never");
    n->SetFieldValue(L"Severity", L"4-Minor");
    KXFaultInjector::Arm("AdEntity::Commit:store",
                         KXFault{KXFaultKind::PaMsgException, KX_MSG_COMMIT_FAILED, CString(L"boom"), 0});
    expect_pamsg([&] { n->Commit(); });
    AdEntityPtr none;
    CString error;
    EXPECT_EQ(
        AdEntityMgr::Get(other->GetReal())
            ->LookupEntityByDbIdWithStatus(LookupEntityDefOrFamily(real, L"Defect"), n->GetDbId(), none, error, 1),
        AD_LOOKUP_NOT_FOUND);
    // The record is still being edited and commits once the store is back.
    EXPECT_EQ(e->Commit(), L"");
    EXPECT_EQ(e->GetStateName(), L"Opened");
    EXPECT_EQ(find(other->GetReal(), L"Defect", L"ISSUE00000002")->GetFieldValue(L"Headline").GetValue(),
              L"half written");
}

// What a failure that repeats writes: the first, then the first after each interval with how many
// went unsaid since; nothing in between.
TEST(RepeatedFailures, TheFirstThenOneLinePerIntervalWithTheCount) {
    using namespace std::chrono_literals;
    kxp::RepeatedFailures failures(60s);
    const kxp::RepeatedFailures::Clock::time_point t0{};
    struct Step {
        std::chrono::seconds at;
        const char *said;
    } const steps[] = {
        {0s, "a"},      {1s, nullptr},
        {59s, nullptr}, {60s, "a (and 2 more since the last report)"},
        {61s, nullptr}, {200s, "a (and 1 more since the last report)"},
        {260s, "a"},
    };
    for (const Step &s : steps) {
        auto line = failures.line("a", t0 + s.at);
        EXPECT_EQ(line.value_or("<none>"), s.said ? s.said : "<none>") << s.at.count();
    }
}

// A full disk refuses every commit: the diagnostics say the first refusal, then at most one line
// per interval with how many more (the interval is made longer than the test here).
TEST_F(EntityTest, CommitsRefusedForWantOfSpaceAreSaidOnce) {
    std::vector<std::string> reported;
    AdDiagnostic::SetSink([&](const CString &, const CString &text) { reported.push_back(text.ToUtf8()); });
    kxp::set_full_report_interval(std::chrono::hours(1));
    auto s = logon(L"alice");
    AdEntityPtr e = find(s->GetReal(), L"Defect", L"ISSUE00000003");
    EditEntity(e, L"Modify");
    EXPECT_EQ(e->SetFieldValue(L"Headline", L"kept back"), L"");
    for (int i = 0; i < 5; ++i) {
        KXFaultInjector::Arm("AdEntity::Commit:store",
                             KXFault{KXFaultKind::ErrorText, 0, CString(L"database or disk is full"), 0});
        EXPECT_EQ(expect_pamsg([&] { e->Commit(); }).first, KX_MSG_COMMIT_FAILED) << i;
    }
    EXPECT_EQ(reported, std::vector<std::string>{"commit ISSUE00000003: database or disk is full"});
    // Once there is space the record, still being edited, commits.
    kxp::set_full_report_interval(std::chrono::minutes(1));
    EXPECT_EQ(e->Commit(), L"");
}

TEST_F(EntityTest, DeleteDuplicateAndUnduplicate) {
    auto s = logon(L"alice");
    AdSessionPtr real = s->GetReal();
    AdEntityPtr original = find(real, L"Defect", L"ISSUE00000003"); // Opened
    AdEntityPtr dup = find(real, L"Defect", L"ISSUE00000002");      // Assigned
    MarkEntityAsDuplicate(dup, original);
    EXPECT_EQ(dup->GetActionType(), AD_ACTION_DUPLICATE);
    EXPECT_EQ(dup->Commit(), L"");
    EXPECT_EQ(dup->GetStateName(), L"Duplicate");
    EXPECT_EQ(dup->GetDuplicateOf(), original->GetDbId());
    EXPECT_EQ(expect_pamsg([&] { MarkEntityAsDuplicate(original, dup); }).first, KX_MSG_ACTION_NOT_ALLOWED);
    UnmarkEntityAsDuplicate(dup);
    EXPECT_EQ(dup->Commit(), L"");
    EXPECT_FALSE(dup->IsDuplicate());
    EXPECT_EQ(dup->GetStateName(), L"Opened");
    EditEntity(dup, L"Delete");
    EXPECT_EQ(dup->Commit(), L"");
    EXPECT_FALSE(AdEntityMgr::Get(real)->EntityExists(dup->GetEntityDef(), L"ISSUE00000002"));
}

TEST_F(EntityTest, StatelessRecordsAreNamedByTheirKey) {
    auto s = logon(L"alice");
    AdSessionPtr real = s->GetReal();
    AdEntityDef *project = LookupEntityDefOrFamily(real, L"Project");
    AdEntityPtr p = BuildEntity(real, project);
    EXPECT_EQ(expect_pamsg([&] { p->Commit(); }).first, KX_MSG_COMMIT_FAILED); // key missing
    EXPECT_EQ(p->SetFieldValue(L"Name", L"Apollo"), L"");
    EXPECT_NE(expect_pamsg([&] { p->Commit(); }).second.find(L"exists already"), std::wstring::npos);
    EXPECT_EQ(p->SetFieldValue(L"Name", L"Draco"), L"");
    EXPECT_EQ(p->Commit(), L"");
    EXPECT_EQ(p->GetDisplayName(), L"Draco");
    EXPECT_EQ(p->GetStateName(), L"");
}

TEST_F(EntityTest, InjectedAnswers) {
    auto s = logon(L"alice");
    AdSessionPtr real = s->GetReal();
    AdEntityDef *defect = LookupEntityDefOrFamily(real, L"Defect");
    KXFaultInjector::Arm("AdEntityMgr::LookupEntityByDbIdWithStatus",
                         KXFault{KXFaultKind::LookupStatus, 0, CString(L"locked by replica"), 3});
    AdEntityPtr e;
    CString error;
    EXPECT_EQ(AdEntityMgr::Get(real)->LookupEntityByDbIdWithStatus(defect, 1, e, error, 1), 3);
    EXPECT_EQ(error, L"locked by replica");
    EXPECT_FALSE(e);
    AdEntityPtr r = find(real, L"Defect", L"ISSUE00000004");
    EditEntity(r, L"Modify");
    KXFaultInjector::Arm("AdEntity::SetFieldValue", KXFault{KXFaultKind::ErrorText, 0, CString(L"value refused"), 0});
    EXPECT_EQ(r->SetFieldValue(L"Owner", L"bob"), L"value refused");
    EXPECT_EQ(r->SetFieldValue(L"Owner", L"bob"), L"");
    KXFaultInjector::Arm("AdEntity::Commit", KXFault{KXFaultKind::ErrorText, 0, CString(L"hook says hello"), 0});
    EXPECT_EQ(r->Commit(), L"hook says hello"); // information only: the record is stored
    EXPECT_FALSE(r->IsEditable());
    EXPECT_EQ(find(real, L"Defect", L"ISSUE00000004")->GetFieldValue(L"Owner").GetValue(), L"bob");
    EXPECT_EQ(KXFaultInjector::CallCount("AdEntity::SetFieldValue"), 2);
}

TEST_F(EntityTest, ConcurrentSubmitsGetDistinctIds) {
    KXProductStore::EnsureDataDirectory();
    std::vector<std::thread> threads;
    std::mutex mu;
    std::set<std::wstring> names;
    std::atomic<int> failures{0};
    for (int t = 0; t < 6; ++t) {
        threads.emplace_back([&, t] {
            try {
                auto s = logon(t % 2 ? L"alice" : L"bob");
                AdSessionPtr real = s->GetReal();
                for (int i = 0; i < 4; ++i) {
                    AdEntityPtr e = BuildEntity(real, LookupEntityDefOrFamily(real, L"Defect"));
                    e->SetFieldValue(L"Headline", L"threaded");
                    e->SetFieldValue(L"Severity", L"3-Average");
                    CString err = e->Commit();
                    std::lock_guard<std::mutex> lock(mu);
                    if (!err.IsEmpty())
                        ++failures;
                    else
                        names.insert(e->GetDisplayName().str());
                }
            } catch (KXException *e) {
                ++failures;
                e->Delete();
            } catch (PaMsgException *e) {
                ++failures;
                e->Delete();
            }
        });
    }
    for (auto &t : threads) t.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(names.size(), 24u);
}

TEST_F(EntityTest, AttachmentFieldListsItsEntries) {
    auto s = logon(L"alice");
    AdEntityPtr e = find(s->GetReal(), L"Defect", L"ISSUE00000001");
    ASSERT_TRUE(e);
    AdFieldInfo info = e->GetFieldValue(L"Attachments");
    EXPECT_EQ(info.GetType(), AD_ATTACHMENT_LIST);
    const auto &entries = info.GetValueAsList();
    ASSERT_EQ(entries.size(), 2u);
    // dbid, file name, size in bytes, description; in the order they were stored.
    auto lines = [](const CString &entry) {
        std::vector<std::wstring> out;
        std::wstring text = entry.str(), line;
        for (wchar_t ch : text) {
            if (ch == L'\n')
                out.push_back(line), line.clear();
            else
                line += ch;
        }
        out.push_back(line);
        return out;
    };
    auto first = lines(entries[0]), second = lines(entries[1]);
    ASSERT_EQ(first.size(), 4u);
    ASSERT_EQ(second.size(), 4u);
    EXPECT_LT(std::stoll(first[0]), std::stoll(second[0]));
    EXPECT_EQ(first[1], L"crash.log");
    EXPECT_EQ(first[2], L"36");
    EXPECT_EQ(first[3], L"Log of the crash");
    EXPECT_EQ(second[1], L"steps.txt");
    EXPECT_EQ(second[2], L"49");
    EXPECT_EQ(second[3], L"");
    // Another record has none, and the field is not settable.
    AdEntityPtr other = find(s->GetReal(), L"Defect", L"ISSUE00000002");
    EXPECT_EQ(other->GetFieldValue(L"Attachments").GetValueStatus(), AD_HAS_NO_VALUE);
    EditEntity(e, L"Modify");
    EXPECT_FALSE(e->SetFieldValue(L"Attachments", L"x").IsEmpty());
    e->Revert();
}
