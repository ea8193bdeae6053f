// What a record item is charged for its unsaved values: a put past the session's or the user's
// memory bound is refused naming it and changes nothing, the charge covers what the heap really
// gained, and the bytes come back when the item goes.
#include <malloc.h>

#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "demo_session.h"
#include "props/recordprops.h"
#include "props/values.h"
#include "refusal.h"
#include "target/held_items.h"
#include "wire/handles.h"
#include "wire/ledger.h"

using namespace KxRpc;
using kxtest::refusal_of;

namespace {

constexpr int description = dynamic_prop_id_base;
constexpr std::uint64_t MiB = std::uint64_t(1) << 20;

std::unique_ptr<BasePropValue> text_value(std::size_t length, wchar_t fill) {
    auto value = std::make_unique<PropValue<Nul::UString>>(description, STPRPC_STRING_VALUE);
    value->value = Nul::UString(std::wstring(length, fill).c_str());
    return value;
}

// Bytes the allocator has handed out and not had back.
std::uint64_t heap_in_use() {
    struct mallinfo2 const m = mallinfo2();
    return m.uordblks + m.hblkhd;
}

class HeldMemory : public kxtest::DemoSession {
protected:
    void SetUp() override {
        DemoSession::SetUp();
        second_ = login();
        ASSERT_EQ(SessionAdmission::admitted, add_login_session(session_, "KXDEMO/alice"));
        ASSERT_EQ(SessionAdmission::admitted, add_login_session(second_, "KXDEMO/alice"));
        use(session_);
    }
    void TearDown() override {
        set_call_session(nullptr);
        remove_pointer_entry(second_->oid());
        remove_pointer_entry(session_->oid());
        second_.reset();
        for (LedgerOwner owner : {LedgerOwner::session, LedgerOwner::user}) set_ledger_bound(Holding::memory, owner, 0);
        DemoSession::TearDown();
    }

    static std::shared_ptr<LoginSession> login() {
        KXSmartPtr<KXSession> s = KXSession::Build();
        s->WebUserLogon(CString(L"alice"), CString(L"alice"), CString(), CString(), CString(L"ISSUE"),
                        CString(L"KXDEMO"));
        return std::make_shared<LoginSession>(s, Nul::UString(L"KXDEMO/ISSUE"), Nul::UString());
    }
    static void use(std::shared_ptr<LoginSession> const &session) { set_call_session(session.get()); }

    // A record of the session, opened for an edit and held by an item, with a put resource over it.
    struct Held {
        std::shared_ptr<RecordStateItem> item;
        std::unique_ptr<RecordProps> props;
    };
    Held hold(std::shared_ptr<LoginSession> const &session, wchar_t const *name) {
        use(session);
        AdEntityPtr record;
        CString error;
        AdSessionPtr api(session->session());
        AdEntityMgr::Get(api)->LookupEntityWithStatus(LookupEntityDef(api, L"Defect"), name, record, error, 0);
        EditEntity(record, CString(L"Modify"));
        Held held{std::make_shared<RecordStateItem>(record), nullptr};
        held.props = std::make_unique<RecordProps>(session.get(), held.item, false);
        held.props->set_dynamic_props({{description, {8, Nul::UString(L"Description")}}});
        return held;
    }
    static std::string description_of(Held const &held) {
        return held.item->entity()->GetFieldValue(L"Description").GetValue().ToUtf8();
    }

    std::shared_ptr<LoginSession> second_;
};

} // namespace

TEST_F(HeldMemory, APutPastTheSessionBoundIsRefusedAndTheItemKeepsItsValueAndCharge) {
    Held held = hold(session_, L"ISSUE00000004");
    std::uint64_t const opened = held.item->held_bytes();
    ASSERT_GT(opened, 0u);
    EXPECT_EQ(opened, ledger_held(Holding::memory, session_->oid()));
    set_ledger_bound(Holding::memory, LedgerOwner::session, opened + MiB);

    // Within the bound: the charge covers what the heap gained, and the value is held as UTF-8,
    // not at four bytes a character.
    auto kept = text_value(256 * 1024, L'a');
    std::uint64_t const before = heap_in_use();
    held.props->put_prop(*kept);
    std::uint64_t const gained = heap_in_use() - before;
    std::uint64_t const charged = held.item->held_bytes();
    EXPECT_GE(charged - opened, gained);
    EXPECT_GE(charged - opened, 256u * 1024);
    EXPECT_LT(charged - opened, 2u * 256 * 1024);
    EXPECT_EQ(std::string(256 * 1024, 'a'), description_of(held));

    // Past it: refused naming the bound, before the record changes.
    auto refused = text_value(1024 * 1024, L'b');
    auto [reason, message] = refusal_of([&] { held.props->put_prop(*refused); });
    EXPECT_EQ(40, reason);
    EXPECT_NE(std::string::npos, message.find("KX_SESSION_MEMORY_BYTES")) << message;
    EXPECT_EQ(std::string(256 * 1024, 'a'), description_of(held));
    EXPECT_EQ(charged, held.item->held_bytes());
    EXPECT_EQ(charged, ledger_held(Holding::memory, session_->oid()));

    // An emptied field gives its bytes back; the item gives back the rest when it goes.
    BasePropValue empty(description, STPRPC_EMPTY_VALUE);
    held.props->put_prop(empty);
    EXPECT_LT(held.item->held_bytes(), opened + 4096);
    held = Held();
    EXPECT_EQ(0u, ledger_held(Holding::memory, session_->oid()));
    EXPECT_EQ(0u, ledger_user_held(Holding::memory, "KXDEMO/alice"));
}

TEST_F(HeldMemory, TwoSessionsOfOneUserMeetTheUserBound) {
    Held first = hold(session_, L"ISSUE00000004");
    auto large = text_value(512 * 1024, L'c');
    first.props->put_prop(*large);
    Held other = hold(second_, L"ISSUE00000006");
    std::uint64_t const both = first.item->held_bytes() + other.item->held_bytes();
    EXPECT_EQ(both, ledger_user_held(Holding::memory, "KXDEMO/alice"));
    // Each session alone is far below the user's bound; the two together pass it.
    set_ledger_bound(Holding::memory, LedgerOwner::user, both + 256 * 1024);
    std::string const untouched = description_of(other);
    auto [reason, message] = refusal_of([&] { other.props->put_prop(*large); });
    EXPECT_EQ(40, reason);
    EXPECT_NE(std::string::npos, message.find("KX_USER_MEMORY_BYTES")) << message;
    EXPECT_EQ(untouched, description_of(other));

    // The first session's item gone, the second's put fits.
    first = Held();
    use(second_);
    other.props->put_prop(*large);
    EXPECT_EQ(std::string(512 * 1024, 'c'), description_of(other));
}

TEST_F(HeldMemory, PutsFromTwoThreadsOnOneItemLeaveItChargedForWhatItHolds) {
    Held held = hold(session_, L"ISSUE00000004");
    // Each thread a call of its own: its own put resource over the shared item.
    auto put_many = [&](wchar_t fill) {
        use(session_);
        RecordProps props(session_.get(), held.item, false);
        props.set_dynamic_props({{description, {8, Nul::UString(L"Description")}}});
        auto value = text_value(64 * 1024, fill);
        for (int i = 0; i < 20; ++i) props.put_prop(*value);
    };
    std::thread other(put_many, L'p');
    put_many(L'q');
    other.join();
    std::string const kept = description_of(held);
    EXPECT_TRUE(kept == std::string(64 * 1024, 'p') || kept == std::string(64 * 1024, 'q'));
    // One value held, charged once: not two, and not the transient reservations of either thread.
    std::uint64_t const charged = held.item->held_bytes();
    EXPECT_EQ(charged, ledger_held(Holding::memory, session_->oid()));
    BasePropValue empty(description, STPRPC_EMPTY_VALUE);
    held.props->put_prop(empty);
    EXPECT_GE(charged - held.item->held_bytes(), 64u * 1024);
    EXPECT_LT(charged - held.item->held_bytes(), 2u * 64 * 1024);
}

TEST_F(HeldMemory, AQueryItemIsChargedForItsDefinitionAndARefusedOneKeepsItsOwn) {
    AdSessionPtr api(session_->session());
    AdEntityDef *defect = LookupEntityDef(api, L"Defect");
    auto filtered = [&](std::size_t length) {
        AdQueryDefPtr def = BuildQueryDef(api, defect, 0);
        def->BuildField(CString(L"Headline"));
        def->BuildFilter(nullptr, CString(L"Headline"), AD_COMP_OP_EQ, {CString(std::wstring(length, L'x').c_str())},
                         1);
        return def;
    };
    std::uint64_t const before = heap_in_use();
    AdQueryDefPtr const kept = filtered(256 * 1024);
    std::uint64_t const gained = heap_in_use() - before;
    auto item =
        std::make_shared<QueryItemStateItem>(Nul::UString(L"Personal Queries/Q"), kept, AdBucketPtr(), AD_BUCKET_QUERY);
    std::uint64_t const charged = item->held_bytes();
    // The filter's constant is kept wide: the charge covers it, and the heap's real growth, without
    // counting it twice.
    std::uint64_t const constant = 256 * 1024 * sizeof(wchar_t);
    EXPECT_GE(charged, gained);
    EXPECT_GE(charged, constant);
    EXPECT_LT(charged, 2 * constant);
    EXPECT_EQ(charged, ledger_held(Holding::memory, session_->oid()));

    // A definition that would pass the bound is refused before it replaces the one held.
    set_ledger_bound(Holding::memory, LedgerOwner::session, charged + 512 * 1024);
    AdQueryDefPtr const larger = filtered(512 * 1024);
    auto [reason, message] = refusal_of([&] { item->set_query_def(larger); });
    EXPECT_EQ(40, reason);
    EXPECT_NE(std::string::npos, message.find("KX_SESSION_MEMORY_BYTES")) << message;
    EXPECT_EQ(kept.get(), item->query_def().get());
    EXPECT_EQ(charged, item->held_bytes());
    item.reset();
    EXPECT_EQ(0u, ledger_held(Holding::memory, session_->oid()));
}
