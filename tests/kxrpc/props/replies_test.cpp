// The put_props reply: per-value results, the changed-field block, and what it always undoes.
#include "props/replies.h"

#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "kxwin/cexception.h"
#include "wire/exceptions.h"
#include "xdr_buffer.h"

using namespace KxRpc;
using kxtest::Bytes;
using kxtest::words;

namespace {

enum class Fail { none, stp, cexception, other };

struct CallLog {
    std::vector<int> applied;
    int starts = 0, stops = 0, deleted = 0;
};

class FakeProps : public PropsResource {
public:
    FakeProps(CallLog &log, std::vector<Fail> fails) : PropsResource(nullptr), log_(log), fails_(std::move(fails)) {}
    ~FakeProps() override { ++log_.deleted; }
    void put_prop(BasePropValue &value) override {
        log_.applied.push_back(value.prop_id());
        Fail f = fails_.at(log_.applied.size() - 1);
        if (f == Fail::stp)
            throw Nul::STPException(static_cast<Nul::STPException::stp_reason_code_t>(9), Nul::UMessage::nil);
        if (f == Fail::cexception) throw new CException();
        if (f == Fail::other) throw 42;
    }
    void start_field_change_tracking() override { ++log_.starts; }
    AdEntityPtr entity() override {
        if (entity_fails)
            throw Nul::STPException(static_cast<Nul::STPException::stp_reason_code_t>(39), Nul::UMessage::nil);
        return AdEntityPtr();
    }
    bool entity_fails = false;
    void stop_field_change_tracking() override { ++log_.stops; }

private:
    CallLog &log_;
    std::vector<Fail> fails_;
};

PropValues values(int n) {
    PropValues v;
    for (int i = 0; i < n; ++i) v.push_back(std::make_unique<BasePropValue>(100 + i, 100002));
    return v;
}

} // namespace

TEST(PutPropsIter, NoValuesWritesFalseThenTheBlock) {
    CallLog log;
    auto v = values(0);
    {
        PutPropsIter reply(std::make_unique<FakeProps>(log, std::vector<Fail>{}), v, false);
        bool ok = false;
        Bytes b = kxtest::encode([&](XDR *x) { return reply.xdr(x); }, &ok);
        ASSERT_TRUE(ok);
        EXPECT_EQ(b, words({0, 0, 0}));
    }
    EXPECT_EQ(log.deleted, 1);
    EXPECT_EQ(log.starts, 0);
    EXPECT_EQ(log.stops, 1);
}

TEST(PutPropsIter, AFailingMiddleValueDoesNotStopTheOthers) {
    CallLog log;
    auto v = values(3);
    PutPropsIter reply(std::make_unique<FakeProps>(log, std::vector<Fail>{Fail::none, Fail::stp, Fail::none}), v, true);
    bool ok = false;
    Bytes b = kxtest::encode([&](XDR *x) { return reply.xdr(x); }, &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(b, words({1, 0, 1, 1, 9, 0, 0xFFFFFFFFu, 0, 0, 1, 0, 0, 0, 0}));
    EXPECT_EQ(log.applied, (std::vector<int>{100, 101, 102}));
    EXPECT_EQ(log.starts, 1);
    EXPECT_EQ(log.stops, 1);
}

TEST(PutPropsIter, ProductAndUnknownFailuresBecomeReason39AndSaySo) {
    CallLog log;
    auto v = values(2);
    long live = CException::LiveCount();
    PutPropsIter reply(std::make_unique<FakeProps>(log, std::vector<Fail>{Fail::cexception, Fail::other}), v, false);
    bool ok = false;
    Bytes b = kxtest::encode([&](XDR *x) { return reply.xdr(x); }, &ok);
    ASSERT_TRUE(ok);
    // The product's own text goes to the trace; the result still says what kind of failure it was.
    std::string const text = "TLQSV0751E Server error: Unexpected exception: ";
    Bytes result = words({1, 1, 39, static_cast<std::uint32_t>(text.size())});
    kxtest::put_bytes(result, text);
    result.resize((result.size() + 3) / 4 * 4);
    for (std::uint32_t w : {0xFFFFFFFFu, 0u, 0u}) kxtest::put_word(result, w);
    Bytes expected;
    for (int i = 0; i < 2; ++i) expected.insert(expected.end(), result.begin(), result.end());
    for (std::uint32_t w : {0u, 0u, 0u}) kxtest::put_word(expected, w);
    EXPECT_EQ(b, expected);
    EXPECT_EQ(CException::LiveCount(), live);
}

TEST(PutPropsIter, AFailedWriteStillStopsTracking) {
    for (std::size_t room : {0u, 4u, 12u, 20u}) {
        CallLog log;
        auto v = values(2);
        PutPropsIter reply(std::make_unique<FakeProps>(log, std::vector<Fail>{Fail::stp, Fail::none}), v, true);
        bool ok = true;
        kxtest::encode([&](XDR *x) { return reply.xdr(x); }, &ok, room);
        EXPECT_FALSE(ok) << room;
        EXPECT_EQ(log.stops, 1) << room;
    }
}

TEST(PutPropsIter, AWriteFailingAfterTheValuesAreSetFailsTheReplyWithoutSettingThemAgain) {
    CallLog log;
    int completed = 0;
    int names_read = 0;
    struct Counted : FakeProps {
        Counted(CallLog &log, int &completed, int &names_read)
            : FakeProps(log, {Fail::none, Fail::stp}), completed_(completed), names_read_(names_read) {}
        void complete_put_props(PropValues const &) override { ++completed_; }
        void read_changed_fields() override { ++names_read_; }
        int &completed_;
        int &names_read_;
    };
    auto v = values(2);
    PutPropsIter reply(std::make_unique<Counted>(log, completed, names_read), v, true);
    reply.open();
    reply.apply();
    // All set, tracking stopped and the scope closed before a byte is written.
    EXPECT_TRUE(reply.applied());
    EXPECT_EQ(log.applied, (std::vector<int>{100, 101}));
    EXPECT_EQ(log.starts, 1);
    EXPECT_EQ(log.stops, 1);
    EXPECT_EQ(completed, 1);
    EXPECT_EQ(names_read, 1);

    // The stream fails inside the second value's error record: the reply fails (the runtime answers
    // a system error, as for any reply that cannot be written) and nothing is set again.
    bool ok = true;
    kxtest::encode([&](XDR *x) { return reply.xdr(x); }, &ok, 20);
    EXPECT_FALSE(ok);
    EXPECT_EQ(log.applied.size(), 2u);
    EXPECT_EQ(completed, 1);

    // Written again in full, from the kept results.
    Bytes b = kxtest::encode([&](XDR *x) { return reply.xdr(x); }, &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(b, words({1, 0, 1, 1, 9, 0, 0xFFFFFFFFu, 0, 0, 0, 0, 0}));
    EXPECT_EQ(log.applied.size(), 2u);
    EXPECT_EQ(log.starts, 1);
    EXPECT_EQ(log.stops, 1);
    EXPECT_EQ(completed, 1);
    EXPECT_EQ(names_read, 1);
}

// A failure of the resource itself, not of one value, is the call's error: the encoder holds it
// for the dispatcher instead of failing the reply without a word.
TEST(PutPropsIter, AFailingResourceFailsTheReplyAfterClosingWithItsError) {
    CallLog log;
    auto v = values(1);
    auto props = std::make_unique<FakeProps>(log, std::vector<Fail>{Fail::none});
    props->entity_fails = true;
    PutPropsIter reply(std::move(props), v, true);
    reply.apply();
    EXPECT_TRUE(log.applied.empty());
    EXPECT_EQ(log.stops, 1);
    take_reply_failure();
    bool ok = true;
    kxtest::encode([&](XDR *x) { return reply.xdr(x); }, &ok);
    EXPECT_FALSE(ok);
    EXPECT_TRUE(log.applied.empty());
    std::exception_ptr held = take_reply_failure();
    ASSERT_TRUE(held);
    try {
        std::rethrow_exception(held);
    } catch (Nul::STPException const &e) {
        EXPECT_EQ(e.stp_reason_code(), 39);
    }
}

TEST(PutPropsIter, DecodeIsRefused) {
    CallLog log;
    auto v = values(1);
    PutPropsIter reply(std::make_unique<FakeProps>(log, std::vector<Fail>{Fail::none}), v, false);
    EXPECT_FALSE(kxtest::decode(words({1, 0, 0}), [&](XDR *x) { return reply.xdr(x); }));
    EXPECT_TRUE(log.applied.empty());
}

TEST(PropsResource, BaseRefusesPutsAndHasNoChangedFields) {
    PropsResource base(nullptr);
    BasePropValue v(1, 100002);
    try {
        base.put_prop(v);
        FAIL() << "put_prop succeeded";
    } catch (Nul::STPException const &e) {
        EXPECT_EQ(static_cast<int>(e.stp_reason_code()), 64);
    }
    bool ok = false;
    EXPECT_EQ(kxtest::encode([&](XDR *x) { return base.xdr_changed_fields(x); }, &ok), words({0, 0}));
    EXPECT_TRUE(ok);
    EXPECT_FALSE(base.entity());
}

TEST(MRUContext, KeyTableAndEmptyRecord) {
    int n = 0;
    for (auto k = MRU_context::keys(); *k; ++k) ++n;
    EXPECT_EQ(n, 16);
    EXPECT_STREQ(MRU_context::keys()[0], L"_KXXE_ACCEPT");
    EXPECT_STREQ(MRU_context::keys()[15], L"_KXXE_OPEN_URL");
    MRU_context scope{AdEntityPtr()};
    EXPECT_FALSE(scope.saved());
}

TEST(PutPropsIter, AScopeThatCannotOpenStillStopsTracking) {
    CallLog log;
    auto v = values(1);
    auto props = std::make_unique<FakeProps>(log, std::vector<Fail>{Fail::none});
    props->entity_fails = true;
    PutPropsIter reply(std::move(props), v, true);
    bool ok = true;
    kxtest::encode([&](XDR *x) { return reply.xdr(x); }, &ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(log.starts, 1);
    EXPECT_EQ(log.stops, 1);
    EXPECT_TRUE(log.applied.empty());
}
