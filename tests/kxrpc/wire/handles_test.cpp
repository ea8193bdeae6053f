#include "wire/handles.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "diag_capture.h"
#include "session/delete_state.h"
#include "target/requests.h"
#include "xdr_buffer.h"

using namespace KxRpc;
using kxtest::Bytes;
using kxtest::decode;
using kxtest::encode;
using kxtest::words;

namespace {

std::atomic<int> destroyed{0};

struct Item : StateItem {
    ~Item() override { ++destroyed; }
};

Bytes handle_of(StateItemPtr item) {
    bool ok = false;
    Bytes b = encode([&](XDR *x) { return xdr_state_handle(x, item); }, &ok);
    EXPECT_TRUE(ok);
    return b;
}

bool decode_handle(Bytes const &b, StateItemPtr &out) {
    return decode(b, [&](XDR *x) { return xdr_state_handle(x, out); });
}

Bytes raw_handle(Nul::Oid const &oid) {
    Bytes b = words({16});
    for (std::uint32_t w : oid.bits().words)
        for (int j = 0; j < 4; ++j) b.push_back(static_cast<unsigned char>(w >> (8 * j)));
    return b;
}

} // namespace

TEST(StateHandle, NoneIsLengthFourAndZeros) {
    EXPECT_EQ(handle_of(nullptr), words({4, 0}));
    StateItemPtr out = std::make_shared<Item>();
    ASSERT_TRUE(decode_handle(words({4, 0}), out));
    EXPECT_EQ(out, nullptr);
}

TEST(StateHandle, FirstSendRegistersAndKeepsTheHandle) {
    auto item = std::make_shared<Item>();
    EXPECT_TRUE(item->oid().is_nil());
    Bytes first = handle_of(item);
    ASSERT_FALSE(item->oid().is_nil());
    EXPECT_EQ(first, raw_handle(item->oid()));
    EXPECT_EQ(handle_of(item), first);
    EXPECT_EQ(lookup_pointer_entry(item->oid()), item);
    StateItemPtr back;
    ASSERT_TRUE(decode_handle(first, back));
    EXPECT_EQ(back, item);
    EXPECT_TRUE(remove_pointer_entry(item->oid()));
}

TEST(StateHandle, BytesLieAsInMemory) {
    struct Nul::Oid::bits b {
        {
            0x01020304u, 0x05060708u, 0x090a0b0cu, 0x0d0e0f10u
        }
    };
    Nul::Oid oid(b);
    Bytes handle = raw_handle(oid);
    EXPECT_EQ(handle[4], 0x04);
    EXPECT_EQ(handle[5], 0x03);
    EXPECT_EQ(handle[19], 0x0d);
    // On this little-endian host the handle is the Oid's own memory.
    EXPECT_EQ(std::memcmp(handle.data() + 4, &oid.bits(), 16), 0);
}

TEST(StateHandle, UnknownHandleDecodesToNull) {
    StateItemPtr out = std::make_shared<Item>();
    ASSERT_TRUE(decode_handle(raw_handle(Nul::Oid::gen()), out));
    EXPECT_EQ(out, nullptr);
}

TEST(StateHandle, HostileLengthsFail) {
    for (std::uint32_t length : {0u, 1u, 5u, 8u, 15u, 17u, 20u, 0xFFFFFFFFu, 0x80000000u}) {
        Bytes b = words({length});
        b.resize(b.size() + 64, 0xAB);
        StateItemPtr out;
        EXPECT_FALSE(decode_handle(b, out)) << length;
    }
    StateItemPtr out;
    EXPECT_FALSE(decode_handle(words({16, 1, 2}), out)); // announced 16, only 8 bytes there
}

TEST(Registry, TraceLinesNameTheDenseText) {
    kxtest::DiagCapture diag;
    AdDiagnostic::SetFlag(66, 1);
    auto item = std::make_shared<Item>();
    Nul::Oid oid = add_pointer_entry(item);
    EXPECT_EQ(add_pointer_entry(item), oid);
    EXPECT_TRUE(remove_pointer_entry(oid));
    EXPECT_FALSE(remove_pointer_entry(oid));
    std::string dense = oid.dense_std_str();
    auto lines = diag.lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "KXRPC|add_pointer_entry: (item:" + dense + ")");
    EXPECT_EQ(lines[1], "KXRPC|remove_pointer_entry: (item:" + dense + ")");
}

namespace {

Bytes delete_state_request(std::vector<Bytes> const &handles, std::uint32_t correlator_length = 0) {
    Bytes b = words({correlator_length});
    b.resize(b.size() + ((correlator_length + 3) & ~3u), 0x11);
    kxtest::put_word(b, static_cast<std::uint32_t>(handles.size()));
    for (auto const &h : handles) b.insert(b.end(), h.begin(), h.end());
    return b;
}

Bytes reply_of(DeleteStateArgs const &args) {
    DeleteStateResp resp(args);
    bool ok = false;
    Bytes b = encode([&](XDR *x) { return resp.xdr(x); }, &ok);
    EXPECT_TRUE(ok);
    return b;
}

} // namespace

TEST(DeleteState, OneBooleanPerHandleAndNoCount) {
    auto a = std::make_shared<Item>(), b = std::make_shared<Item>();
    Bytes ha = handle_of(a), hb = handle_of(b), unknown = raw_handle(Nul::Oid::gen());
    DeleteStateArgs args;
    ASSERT_TRUE(decode(delete_state_request({ha, hb, unknown}), [&](XDR *x) { return args.xdr(x); }));
    EXPECT_FALSE(args.has_correlator());
    EXPECT_EQ(reply_of(args), words({0, 0, 1}));
    StateItemPtr out;
    ASSERT_TRUE(decode_handle(ha, out));
    EXPECT_EQ(out, nullptr);
    ASSERT_TRUE(decode_handle(hb, out));
    EXPECT_EQ(out, nullptr);
}

TEST(DeleteState, TraceText) {
    auto a = std::make_shared<Item>();
    Bytes ha = handle_of(a);
    DeleteStateArgs args;
    ASSERT_TRUE(decode(delete_state_request({ha, words({4, 0})}), [&](XDR *x) { return args.xdr(x); }));
    EXPECT_EQ(args.describe(), Nul::UString(L"(") + a->oid().dense_str() + Nul::UString(L")(null)"));
    remove_pointer_entry(a->oid());
}

TEST(DeleteState, AHandleNamedTwiceIsReleasedOnce) {
    int before = destroyed;
    {
        auto a = std::make_shared<Item>();
        Bytes ha = handle_of(a);
        a.reset();
        DeleteStateArgs args;
        ASSERT_TRUE(decode(delete_state_request({ha, ha}), [&](XDR *x) { return args.xdr(x); }));
        EXPECT_EQ(reply_of(args), words({0, 1}));
        EXPECT_EQ(destroyed, before); // the request still holds it
    }
    EXPECT_EQ(destroyed, before + 1);
}

TEST(DeleteState, NeverFreesAnItemUnderAnotherCall) {
    int before = destroyed;
    auto made = std::make_shared<Item>();
    Bytes h = handle_of(made);
    made.reset();
    // Another call decoded the same handle and is still working with it.
    StateItemPtr in_use;
    ASSERT_TRUE(decode_handle(h, in_use));
    {
        DeleteStateArgs args;
        ASSERT_TRUE(decode(delete_state_request({h}), [&](XDR *x) { return args.xdr(x); }));
        EXPECT_EQ(reply_of(args), words({0}));
    }
    EXPECT_EQ(destroyed, before);
    in_use.reset();
    EXPECT_EQ(destroyed, before + 1);
}

TEST(DeleteState, EmptyListAndHostileCounts) {
    DeleteStateArgs args;
    ASSERT_TRUE(decode(delete_state_request({}), [&](XDR *x) { return args.xdr(x); }));
    EXPECT_TRUE(args.items().empty());
    EXPECT_TRUE(reply_of(args).empty());
    for (std::uint32_t count : {0xFFFFFFFFu, 0x80000000u, 0x7FFFFFFFu, 3u}) {
        DeleteStateArgs hostile;
        Bytes b = words({0, count, 4, 0});
        EXPECT_FALSE(decode(b, [&](XDR *x) { return hostile.xdr(x); })) << count;
    }
}

TEST(Correlator, BoundedAndDroppedWhileArmIsOff) {
    DeleteStateArgs with512;
    ASSERT_TRUE(decode(delete_state_request({}, 512), [&](XDR *x) { return with512.xdr(x); }));
    EXPECT_FALSE(with512.has_correlator());
    DeleteStateArgs with513;
    EXPECT_FALSE(decode(delete_state_request({}, 513), [&](XDR *x) { return with513.xdr(x); }));
    DeleteStateArgs huge;
    EXPECT_FALSE(decode(words({0xFFFFFFFFu, 0}), [&](XDR *x) { return huge.xdr(x); }));
}

TEST(Requests, DirectionRules) {
    DeleteStateArgs args;
    bool ok = true;
    encode([&](XDR *x) { return args.xdr(x); }, &ok);
    EXPECT_FALSE(ok);
    DeleteStateResp resp(args);
    EXPECT_FALSE(decode(words({0}), [&](XDR *x) { return resp.xdr(x); }));
}

TEST(StateHandle, LibtirpcReadsAndWritesTheSameHandle) {
    auto item = std::make_shared<Item>();
    Bytes ours = handle_of(item);
    // libtirpc reads it as counted opaque bytes: the Oid as it lies in memory.
    char buffer[16] = {};
    char *p = buffer;
    u_int length = 0;
    ASSERT_TRUE(decode(ours, [&](XDR *x) { return xdr_bytes(x, &p, &length, 16); }));
    ASSERT_EQ(length, 16u);
    EXPECT_EQ(std::memcmp(buffer, &item->oid().bits(), 16), 0);
    // And a handle written by libtirpc decodes to the item.
    Bytes theirs = encode([&](XDR *x) { return xdr_bytes(x, &p, &length, 16); });
    EXPECT_EQ(theirs, ours);
    StateItemPtr back;
    ASSERT_TRUE(decode_handle(theirs, back));
    EXPECT_EQ(back, item);
    EXPECT_TRUE(remove_pointer_entry(item->oid()));
}

TEST(Registry, ConcurrentCallsKeepEveryHandleApart) {
    int before = destroyed;
    std::vector<std::thread> threads;
    std::atomic<int> wrong{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 200; ++i) {
                auto item = std::make_shared<Item>();
                Bytes h = handle_of(item);
                StateItemPtr back;
                if (!decode_handle(h, back) || back != item) ++wrong;
                if (!remove_pointer_entry(item->oid())) ++wrong;
                if (lookup_pointer_entry(item->oid())) ++wrong;
            }
        });
    }
    for (auto &t : threads) t.join();
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(destroyed, before + 800);
}

namespace {

struct FakeSession : Item {
    bool is_login_session() const override { return true; }
};

// A session registered as a login registers it, and an item registered during a call of it.
struct Owned {
    std::shared_ptr<FakeSession> session = std::make_shared<FakeSession>();
    StateItemPtr item = std::make_shared<Item>();
    Bytes session_handle, item_handle;
    Owned() {
        session_handle = handle_of(session);
        set_call_session(session.get());
        item_handle = handle_of(item);
        clear_call_session(session.get());
    }
};

StateItemPtr decoded_in_call_of(StateItem *session, Bytes const &handle) {
    set_call_session(session);
    StateItemPtr out;
    EXPECT_TRUE(decode_handle(handle, out));
    clear_call_session(session);
    return out;
}

} // namespace

TEST(Ownership, AnItemAnswersOnlyTheSessionThatMadeIt) {
    Owned alice, bob;
    EXPECT_EQ(decoded_in_call_of(alice.session.get(), alice.item_handle), alice.item);
    EXPECT_EQ(decoded_in_call_of(bob.session.get(), alice.item_handle), nullptr);
    EXPECT_EQ(decoded_in_call_of(nullptr, alice.item_handle), nullptr);
    // A session handle is its own credential, whoever's call names it.
    EXPECT_EQ(decoded_in_call_of(bob.session.get(), alice.session_handle), alice.session);
    EXPECT_TRUE(remove_pointer_entry(alice.session->oid()));
    EXPECT_TRUE(remove_pointer_entry(bob.session->oid()));
}

TEST(Ownership, DeleteStateReleasesAnItemOnlyBesideItsSession) {
    Owned alice, bob;
    DeleteStateArgs foreign;
    ASSERT_TRUE(
        decode(delete_state_request({bob.session_handle, alice.item_handle}), [&](XDR *x) { return foreign.xdr(x); }));
    // bob's session goes; alice's item is unknown to the request and stays.
    EXPECT_EQ(reply_of(foreign), words({0, 1}));
    EXPECT_EQ(lookup_pointer_entry(alice.item->oid()), alice.item);
    DeleteStateArgs alone; // no session named, no connection: nobody's request
    ASSERT_TRUE(decode(delete_state_request({alice.item_handle}), [&](XDR *x) { return alone.xdr(x); }));
    EXPECT_EQ(reply_of(alone), words({1}));
    DeleteStateArgs own;
    ASSERT_TRUE(
        decode(delete_state_request({alice.item_handle, alice.session_handle}), [&](XDR *x) { return own.xdr(x); }));
    EXPECT_EQ(reply_of(own), words({0, 0}));
    EXPECT_EQ(lookup_pointer_entry(alice.session->oid()), nullptr);
}

TEST(SessionEnd, ReleasingASessionReleasesItsItemsFirst) {
    int before = destroyed;
    {
        Owned alice;
        std::weak_ptr<StateItem> item = alice.item;
        Nul::Oid const item_oid = alice.item->oid();
        alice.item.reset();
        EXPECT_TRUE(remove_pointer_entry(alice.session->oid()));
        EXPECT_TRUE(item.expired());
        EXPECT_EQ(lookup_pointer_entry(item_oid), nullptr);
    }
    EXPECT_EQ(destroyed, before + 2);
}

TEST(SessionEnd, IdleSessionsEndWithTheirItemsAndNamedOnesStay) {
    long const saved = session_idle_seconds();
    set_session_idle_seconds(2);
    Owned idle, busy;
    std::weak_ptr<StateItem> idle_item = idle.item;
    idle.item.reset();
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    // A call names the busy session: its clock starts again.
    EXPECT_EQ(decoded_in_call_of(nullptr, busy.session_handle), busy.session);
    EXPECT_FALSE(idle_item.expired());
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    end_idle_sessions(1000);
    EXPECT_TRUE(idle_item.expired());
    EXPECT_EQ(decoded_in_call_of(nullptr, idle.session_handle), nullptr);
    EXPECT_EQ(decoded_in_call_of(busy.session.get(), busy.item_handle), busy.item);
    set_session_idle_seconds(saved);
    EXPECT_TRUE(remove_pointer_entry(busy.session->oid()));
    EXPECT_EQ(lookup_pointer_entry(busy.item->oid()), nullptr);
}

TEST(Ownership, RegisteredItemsAreThoseOfTheCallsSession) {
    Owned alice, bob;
    auto holds = [](std::vector<StateItemPtr> const &items, StateItemPtr const &item) {
        return std::find(items.begin(), items.end(), item) != items.end();
    };
    set_call_session(alice.session.get());
    std::vector<StateItemPtr> const seen = registered_items();
    clear_call_session(alice.session.get());
    EXPECT_TRUE(holds(seen, alice.item));
    EXPECT_FALSE(holds(seen, bob.item));
    EXPECT_TRUE(remove_pointer_entry(alice.session->oid()));
    EXPECT_TRUE(remove_pointer_entry(bob.session->oid()));
}

namespace {

std::string const items_full =
    "TLQSV1103E Too many items held by this session (KX_SESSION_ITEMS, 3); release some and try again.";

// Registers `item` in a call of `session`: "" when registered, else the refusal's reason and text.
std::string registered_in_call(std::shared_ptr<FakeSession> const &session, std::vector<StateItemPtr> const &items) {
    set_call_session(session.get());
    std::string outcome;
    try {
        for (auto const &item : items) add_pointer_entry(item);
    } catch (KxRpcException const &e) {
        outcome = std::to_string(e.stp_reason_code()) + " " + exception_message_text(e).utf8_str().std_str();
    }
    clear_call_session(session.get());
    return outcome;
}

StateItemPtr item() { return std::make_shared<Item>(); }

} // namespace

TEST(SessionItems, ACallPastTheBoundIsRefusedAndHoldsNothingItMade) {
    set_session_items_max(3);
    auto session = std::make_shared<FakeSession>();
    handle_of(session);
    StateItemPtr const a = item(), b = item(), c = item(), d = item();
    EXPECT_EQ(registered_in_call(session, {a, b}), "");
    EXPECT_EQ(session_item_count(*session), 2);
    // The next call fits one and is refused at the second: the one it made goes with it.
    int const before = destroyed;
    EXPECT_EQ(registered_in_call(session, {c, d}), "47 " + items_full);
    EXPECT_EQ(session_item_count(*session), 2);
    EXPECT_TRUE(c->oid().is_nil()); // never handed out: as if never registered
    EXPECT_TRUE(d->oid().is_nil());
    EXPECT_EQ(lookup_pointer_entry(a->oid()), a);
    EXPECT_EQ(lookup_pointer_entry(b->oid()), b);
    EXPECT_EQ(destroyed, before); // still held by the test, not freed by the registry under it

    // An item already registered counts once; a released one makes room.
    EXPECT_EQ(registered_in_call(session, {a, b}), "");
    EXPECT_TRUE(remove_pointer_entry(a->oid()));
    set_call_session(session.get());
    EXPECT_NO_THROW(reserve_session_items(2));
    EXPECT_THROW(reserve_session_items(3), KxRpcException);
    clear_call_session(session.get());

    // Items of no session are not bounded by it.
    std::vector<StateItemPtr> free_items;
    for (int i = 0; i < 5; ++i) free_items.push_back(item());
    for (auto const &i : free_items) add_pointer_entry(i);
    for (auto const &i : free_items) EXPECT_TRUE(remove_pointer_entry(i->oid()));

    EXPECT_TRUE(remove_pointer_entry(session->oid()));
    EXPECT_EQ(lookup_pointer_entry(b->oid()), nullptr);
    set_session_items_max(0);
    EXPECT_EQ(session_items_max(), 1024);
}

TEST(SessionItems, AReplyThatWouldPassTheBoundBecomesTheRefusal) {
    set_session_items_max(3);
    auto session = std::make_shared<FakeSession>();
    handle_of(session);
    EXPECT_EQ(registered_in_call(session, {item(), item()}), "");
    set_call_session(session.get());
    take_reply_failure();
    StateItemPtr fits = item(), over = item();
    handle_of(fits);
    bool ok = true;
    encode([&](XDR *x) { return xdr_state_handle(x, over); }, &ok);
    EXPECT_FALSE(ok);
    std::exception_ptr const failure = take_reply_failure();
    clear_call_session(session.get());
    ASSERT_TRUE(failure);
    try {
        std::rethrow_exception(failure);
    } catch (KxRpcException const &e) {
        EXPECT_EQ(e.stp_reason_code(), 47);
        EXPECT_EQ(exception_message_text(e).utf8_str().std_str(), items_full);
    }
    // The handle the same reply wrote before is taken back with it.
    EXPECT_TRUE(fits->oid().is_nil());
    EXPECT_EQ(session_item_count(*session), 2);
    EXPECT_TRUE(remove_pointer_entry(session->oid()));
    set_session_items_max(0);
}
