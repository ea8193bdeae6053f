// resolve_type and create_temp requests and replies on the wire.
#include "change/new_resources.h"

#include <string>

#include <gtest/gtest.h>

#include "target/held_items.h"
#include "wire/exceptions.h"
#include "wire_text.h"
#include "xdr_buffer.h"

using namespace KxRpc;
using kxtest::Bytes;
using kxtest::cat;
using kxtest::str;
using kxtest::words;

namespace {

std::string utf8(Nul::UString const &s) { return std::string(s.utf8_str()); }

// Correlator 0, no session, locale, trace id.
Bytes header(std::uint32_t wtid) { return cat(cat(words({0, 4, 0}), str("en_US")), words({wtid})); }

Bytes handle_of(StateItemPtr item) {
    return kxtest::encode([&](XDR *x) { return xdr_state_handle(x, item); });
}

Bytes record_target() { return cat(cat(words({32, 1}), str("Defect")), str("ISSUE1")); }

template <class Args>
bool decode_all(Bytes const &bytes, Args &args) {
    std::size_t used = 0;
    bool ok = kxtest::decode(
        bytes, [&](XDR *x) { return args.xdr(x); }, &used);
    return ok && used == bytes.size();
}

std::string const record_line =
    "target_resource_arg:(op_type(32) rectype(Defect) target_name(ISSUE1) attachment_folder(NULL) attachment(NULL))";

} // namespace

TEST(ResolveType, RequestDecodesTheTargetAndTraces) {
    ResolveTypeArg args;
    ASSERT_TRUE(decode_all(cat(header(0x1f), record_target()), args));
    EXPECT_EQ(args.resource_type(), 32);
    EXPECT_EQ(utf8(args.describe()), "wtid:1f :: no session :: " + record_line);
    EXPECT_EQ(utf8(args.trace_line()), utf8(args.describe()));
    // Its ARM target needs the session.
    EXPECT_THROW(args.arm_target_uri(), KXInternalErrorException);
}

TEST(ResolveType, TypeZeroTargetFailsTheRequest) {
    ResolveTypeArg args;
    EXPECT_FALSE(decode_all(cat(header(1), words({0, 1})), args));
}

TEST(ResolveType, ReplyEncodesTypePathAndDbid) {
    ResolveTypeResp resp(1016, Nul::UString(L"Public Queries/Defects"), Nul::UString(L"33554433"));
    bool ok = false;
    Bytes out = kxtest::encode([&](XDR *x) { return resp.xdr(x); }, &ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(out, cat(cat(words({1016}), str("Public Queries/Defects")), str("33554433")));
    EXPECT_FALSE(kxtest::decode(out, [&](XDR *x) { return resp.xdr(x); }));
}

TEST(CreateTemp, BothFlagsFalseCarriesOnlyTheTarget) {
    CreateTempArgs args;
    ASSERT_TRUE(decode_all(cat(cat(header(2), record_target()), words({0, 0})), args));
    EXPECT_FALSE(args.has_action());
    EXPECT_FALSE(args.has_duplicate());
    EXPECT_EQ(args.duplicate_record().get(), nullptr);
    EXPECT_EQ(utf8(args.describe()), "wtid:2 :: no session :: " + record_line + " :: has_action:0 :: has_duplicate:0");
}

TEST(CreateTemp, ActionAndDuplicateTargets) {
    Bytes action = cat(cat(words({40, 1}), str("Defect")), str("Assign"));
    Bytes dup = words({32, 2, 7, 9});
    CreateTempArgs args;
    ASSERT_TRUE(
        decode_all(cat(cat(cat(cat(cat(header(3), record_target()), words({1})), action), words({1})), dup), args));
    EXPECT_TRUE(args.has_action());
    EXPECT_TRUE(args.has_duplicate());
    EXPECT_EQ(args.action().resource_type(), 40);
    EXPECT_EQ(utf8(args.action().target().second_name_segment()), "Assign");
    EXPECT_EQ(args.duplicate().target().dbid_segment(1), 9u);
    EXPECT_EQ(utf8(args.describe()),
              "wtid:3 :: no session :: " + record_line +
                  " :: has_action:1 :: action:op_type(40) rectype(Defect) target_name(Assign) attachment_folder(NULL) "
                  "attachment(NULL) :: has_duplicate:1 :: duplicate:op_type(32) rectype(7) target_name(9) "
                  "attachment_folder(0) attachment(0)");
    // Without a session the action cannot be resolved.
    EXPECT_THROW(args.action_def(), KXInternalErrorException);
}

TEST(CreateTemp, TruncatedRequestsFail) {
    Bytes full = cat(cat(cat(header(3), record_target()), words({1})), cat(cat(words({40, 1}), str("D")), str("A")));
    full = cat(full, words({0}));
    for (std::size_t cut = header(3).size(); cut < full.size(); cut += 4) {
        CreateTempArgs args;
        Bytes part(full.begin(), full.begin() + static_cast<long>(cut));
        EXPECT_FALSE(kxtest::decode(part, [&](XDR *x) { return args.xdr(x); })) << cut;
    }
}

TEST(CreateTemp, DuplicateOfAnotherKindOfStateItemFailsTheCast) {
    auto item = std::make_shared<QueryItemStateItem>(Nul::UString(L"q"), 1);
    Nul::Oid oid = add_pointer_entry(item);
    CreateTempArgs args;
    Bytes dup = cat(words({32, 3}), handle_of(item));
    ASSERT_TRUE(decode_all(cat(cat(cat(header(4), record_target()), words({0, 1})), dup), args));
    try {
        args.duplicate_record();
        FAIL();
    } catch (Nul::STPException const &e) {
        EXPECT_EQ(e.stp_reason_code(), 40);
        EXPECT_EQ(utf8(e.msg()), "TLQSV0748E expected 'RecordStateItem' object in dynamic_cast");
    }
    remove_pointer_entry(oid);
}

TEST(CreateTemp, ReplyRegistersItsItemAndSendsTheHandle) {
    auto item = std::make_shared<QueryItemStateItem>(Nul::UString(L"q"), 1);
    CreateTempResp resp(item, Nul::UString(L"Public Queries/q"), Nul::UString(L"12"));
    Bytes out = kxtest::encode([&](XDR *x) { return resp.xdr(x); });
    ASSERT_FALSE(item->oid().is_nil());
    EXPECT_EQ(lookup_pointer_entry(item->oid()).get(), item.get());
    EXPECT_EQ(out, cat(cat(handle_of(item), str("Public Queries/q")), str("12")));
    EXPECT_EQ(kxtest::word_at(out, 0), 16u);
    remove_pointer_entry(item->oid());

    CreateTempResp none{StateItemPtr(), Nul::UString(), Nul::UString()};
    EXPECT_EQ(kxtest::encode([&](XDR *x) { return none.xdr(x); }), words({4, 0, 0, 0}));
}

namespace {

struct FetcherLog {
    int deleted = 0;
};

class FixedNames : public NameIdFetcher {
public:
    FixedNames(FetcherLog &log, bool fail) : log_(log), fail_(fail) {}
    ~FixedNames() override { ++log_.deleted; }
    Nul::UString name_text() override {
        if (fail_) throw Nul::STPException(Nul::STPException::REASON_INTERNAL, Nul::UMessage::nil);
        return Nul::UString(L"Defect/ISSUE%/1");
    }
    Nul::UString id_text() override { return Nul::UString(L"16777224/33554433"); }

private:
    FetcherLog &log_;
    bool fail_;
};

} // namespace

TEST(CreateResource, QueryReplyHasNoNamesAfterThePropertyResults) {
    auto item = std::make_shared<QueryItemStateItem>(Nul::UString(L"q"), 1);
    PropValues values;
    values.push_back(std::make_unique<BasePropValue>(7, 100002));
    Bytes out;
    {
        CreateResourceResp resp(std::make_unique<PropsResource>(nullptr), values, false, item, nullptr);
        bool ok = false;
        out = kxtest::encode([&](XDR *x) { return resp.xdr(x); }, &ok);
        EXPECT_TRUE(ok);
    }
    constexpr std::uint32_t minus_one = 0xFFFFFFFFu;
    // One value that the property object refuses: its error record, then the end of the list,
    // no changed fields, and no name-and-id source.
    Bytes expect = cat(handle_of(item), words({1, 1, 64, 0, minus_one, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(out, expect);
    remove_pointer_entry(item->oid());
}

TEST(CreateResource, RecordReplyEndsWithNameAndIdAndFreesTheSource) {
    FetcherLog log;
    PropValues none;
    Bytes out;
    {
        CreateResourceResp resp(std::make_unique<PropsResource>(nullptr), none, false, StateItemPtr(),
                                std::make_unique<FixedNames>(log, false));
        // The handler reads the names: the source is done with before any reply byte.
        resp.finish();
        EXPECT_EQ(log.deleted, 1);
        out = kxtest::encode([&](XDR *x) { return resp.xdr(x); });
        EXPECT_EQ(kxtest::encode([&](XDR *x) { return resp.xdr(x); }), out);
    }
    EXPECT_EQ(log.deleted, 1);
    EXPECT_EQ(out, cat(cat(words({4, 0, 0, 0, 0, 1}), str("Defect/ISSUE%/1")), str("16777224/33554433")));
}

// The resource is made and the puts answered by then: the reply ends without the name and id
// rather than being cut short.
TEST(CreateResource, FailingNameSourceLeavesNameAndIdOut) {
    FetcherLog log;
    PropValues none;
    {
        CreateResourceResp resp(std::make_unique<PropsResource>(nullptr), none, false, StateItemPtr(),
                                std::make_unique<FixedNames>(log, true));
        bool ok = false;
        Bytes out = kxtest::encode([&](XDR *x) { return resp.xdr(x); }, &ok);
        EXPECT_TRUE(ok);
        EXPECT_EQ(out, words({4, 0, 0, 0, 0, 0}));
        EXPECT_FALSE(kxtest::decode(words({0}), [&](XDR *x) { return resp.xdr(x); }));
    }
    EXPECT_EQ(log.deleted, 1);
}
