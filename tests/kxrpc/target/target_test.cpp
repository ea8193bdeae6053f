// Target resources: every wire form, copies, trace text and selectors.
#include "target/target.h"

#include <string>

#include <gtest/gtest.h>

#include "target/held_items.h"
#include "tesutil/selector.h"
#include "wire/exceptions.h"
#include "wire_text.h"
#include "xdr_buffer.h"

using namespace KxRpc;
using kxtest::Bytes;
using kxtest::cat;
using kxtest::str;
using kxtest::words;

namespace {

// Decodes a body for the type; returns the stream position afterwards (or -1 on failure).
long decode_into(TargetResourceArg &t, int type, Bytes const &body) {
    t.set_type(type);
    std::size_t used = 0;
    bool ok = kxtest::decode(
        body, [&](XDR *x) { return t.xdr(x); }, &used);
    return ok ? static_cast<long>(used) : -1;
}

std::string utf8(Nul::UString const &s) { return std::string(s.utf8_str()); }

class DummyItem : public StateItem {};

} // namespace

TEST(TargetWire, TypeZeroNeverDecodes) {
    TargetResourceArg t;
    EXPECT_EQ(decode_into(t, 0, words({1})), -1);
    bool ok = true;
    kxtest::encode([&](XDR *x) { return t.xdr(x); }, &ok);
    EXPECT_FALSE(ok);
}

TEST(TargetWire, DbsetAndUserdbHaveNoBody) {
    for (int type : {29, 30}) {
        TargetResourceArg t;
        EXPECT_EQ(decode_into(t, type, words({1, 2, 3})), 0) << type;
        EXPECT_EQ(t.marshall_type(), 0);
        bool ok = false;
        Bytes out = kxtest::encode([&](XDR *x) { return t.xdr(x); }, &ok);
        EXPECT_TRUE(ok);
        EXPECT_TRUE(out.empty());
    }
}

TEST(TargetWire, RecordByNameByDbidByStateItem) {
    TargetResourceArg byname;
    Bytes body = cat(cat(words({1}), str("Defect")), str("ISSUE00000001"));
    EXPECT_EQ(decode_into(byname, 32, cat(body, words({0xdead}))), static_cast<long>(body.size()));
    EXPECT_TRUE(byname.is_marshalled_by_name());
    EXPECT_EQ(utf8(byname.first_name_segment()), "Defect");
    EXPECT_EQ(utf8(byname.second_name_segment()), "ISSUE00000001");
    EXPECT_EQ(utf8(byname.first_dbid_text()), "");
    EXPECT_EQ(utf8(byname.trace_line()),
              "op_type(32) rectype(Defect) target_name(ISSUE00000001) attachment_folder(NULL) attachment(NULL)");

    TargetResourceArg bydbid;
    EXPECT_EQ(decode_into(bydbid, 32, words({2, 16777217, 33554433, 7})), 12);
    EXPECT_TRUE(bydbid.is_marshalled_by_dbid());
    EXPECT_EQ(utf8(bydbid.first_dbid_text()), "16777217");
    EXPECT_EQ(utf8(bydbid.second_dbid_text()), "33554433");
    EXPECT_EQ(utf8(bydbid.first_name_segment()), "");
    EXPECT_EQ(utf8(bydbid.trace_line()),
              "op_type(32) rectype(16777217) target_name(33554433) attachment_folder(0) attachment(0)");

    auto item = std::make_shared<DummyItem>();
    Nul::Oid oid = add_pointer_entry(item);
    Bytes handle = kxtest::encode([&](XDR *x) {
        StateItemPtr p = item;
        return xdr_state_handle(x, p);
    });
    ASSERT_EQ(handle.size(), 20u);
    TargetResourceArg bystate;
    EXPECT_EQ(decode_into(bystate, 32, cat(words({3}), handle)), 24);
    EXPECT_EQ(bystate.state_item().get(), item.get());
    EXPECT_TRUE(bystate.is_state_item_target());
    EXPECT_EQ(utf8(bystate.trace_line()), "op_type(32) stateitem(" + utf8(oid.dense_str()) + ") aux_marshall_type(0)");
    remove_pointer_entry(oid);
}

TEST(TargetWire, SegmentsPerTypeByName) {
    struct Case {
        int type;
        int strings;
    };
    for (Case c : {Case{31, 1}, Case{33, 0}, Case{34, 1}, Case{35, 2}, Case{36, 1}, Case{39, 1}, Case{40, 2},
                   Case{41, 2}, Case{42, 2}, Case{43, 1}, Case{44, 4}, Case{45, 3}, Case{46, 1}, Case{47, 1},
                   Case{48, 1}, Case{49, 0}, Case{50, 0}, Case{51, 1}, Case{52, 0}}) {
        Bytes body = words({1});
        for (int i = 0; i < c.strings; ++i) body = cat(body, str("s" + std::to_string(i)));
        TargetResourceArg t;
        EXPECT_EQ(decode_into(t, c.type, cat(body, words({9, 9}))), static_cast<long>(body.size())) << c.type;
        // Encoding gives back exactly the same bytes.
        bool ok = false;
        Bytes out = kxtest::encode([&](XDR *x) { return t.xdr(x); }, &ok);
        EXPECT_TRUE(ok);
        EXPECT_EQ(out, body) << c.type;
    }
}

TEST(TargetWire, SegmentsPerTypeByDbid) {
    struct Case {
        int type;
        int numbers;
    };
    for (Case c : {Case{31, 1}, Case{32, 2}, Case{33, 0}, Case{34, 1}, Case{35, 2}, Case{37, 1}, Case{42, 2},
                   Case{43, 1}, Case{44, 4}, Case{45, 3}, Case{48, 1}, Case{49, 0}, Case{51, 0}}) {
        Bytes body = words({2});
        for (int i = 0; i < c.numbers; ++i) kxtest::put_word(body, 100u + static_cast<unsigned>(i));
        TargetResourceArg t;
        EXPECT_EQ(decode_into(t, c.type, cat(body, words({9}))), static_cast<long>(body.size())) << c.type;
        Bytes out = kxtest::encode([&](XDR *x) { return t.xdr(x); });
        EXPECT_EQ(out, body) << c.type;
    }
}

TEST(TargetWire, GlobalHookByDbidCarriesNoNumberAndHasNoName) {
    TargetResourceArg t;
    EXPECT_EQ(decode_into(t, 51, words({2, 77})), 4);
    EXPECT_EQ(utf8(t.hook_name()), "");
    TargetResourceArg named;
    EXPECT_EQ(decode_into(named, 51, cat(words({1}), str("Notify"))), 16);
    EXPECT_EQ(utf8(named.hook_name()), "Notify");
}

TEST(TargetWire, HookNameOnOtherTypeFails) {
    TargetResourceArg t(32, Nul::UString(L"Defect"), Nul::UString(L"x"));
    EXPECT_THROW(t.hook_name(), KXInternalErrorException);
}

TEST(TargetWire, AttachmentFolderByStateItemWithNameOrDbid) {
    auto item = std::make_shared<DummyItem>();
    Nul::Oid oid = add_pointer_entry(item);
    Bytes handle = kxtest::encode([&](XDR *x) {
        StateItemPtr p = item;
        return xdr_state_handle(x, p);
    });
    TargetResourceArg named;
    Bytes body = cat(cat(cat(words({3}), handle), words({1})), str("Attachments"));
    EXPECT_EQ(decode_into(named, 45, body), static_cast<long>(body.size()));
    EXPECT_FALSE(named.is_state_item_target());
    EXPECT_EQ(named.aux_marshall_type(), 1);
    EXPECT_EQ(utf8(named.trace_line()),
              "op_type(45) stateitem(" + utf8(oid.dense_str()) + ") aux_marshall_type(1) aux_info_name(Attachments)");
    Bytes out = kxtest::encode([&](XDR *x) { return named.xdr(x); });
    EXPECT_EQ(out, body);

    for (std::uint32_t aux : {2u, 5u}) {
        TargetResourceArg numbered;
        Bytes nbody = cat(cat(words({3}), handle), words({aux, 4242}));
        EXPECT_EQ(decode_into(numbered, 45, nbody), static_cast<long>(nbody.size()));
        EXPECT_EQ(numbered.dbid_segment(2), 4242u);
        std::string expect = "op_type(45) stateitem(" + utf8(oid.dense_str()) + ") aux_marshall_type(" +
                             std::to_string(aux) + ")" + (aux == 2 ? " aux_info_dbid(4242)" : "");
        EXPECT_EQ(utf8(numbered.trace_line()), expect);
    }
    remove_pointer_entry(oid);
}

TEST(TargetWire, UnknownHandleIsNotADecodingFailure) {
    Bytes body = words({3, 16, 1, 2, 3, 4});
    TargetResourceArg t;
    EXPECT_EQ(decode_into(t, 36, body), 24);
    EXPECT_EQ(t.state_item(), nullptr);
    EXPECT_EQ(utf8(t.trace_line()), "op_type(36) stateitem(NULL) aux_marshall_type(0)");
    EXPECT_THROW(t.state_item_or_fail(), KXInternalErrorException);
}

TEST(TargetWire, HighMarshallTypeReadsNothingMore) {
    TargetResourceArg t;
    EXPECT_EQ(decode_into(t, 32, words({4, 1, 2})), 4);
    EXPECT_EQ(utf8(t.trace_line()), "op_type(32)");
    EXPECT_EQ(utf8(t.to_selector()), "");
}

TEST(TargetWire, TruncatedBodiesFailAndFreeCleanly) {
    Bytes full = cat(cat(cat(words({1}), str("Defect")), str("ISSUE1")), str("Attachments"));
    for (std::size_t cut = 0; cut < full.size(); cut += 4) {
        Bytes part(full.begin(), full.begin() + static_cast<long>(cut));
        TargetResourceArg t;
        EXPECT_EQ(decode_into(t, 45, part), -1) << cut;
    }
}

TEST(TargetWire, NotMarshalledEncodesZero) {
    TargetResourceArg t(32);
    Bytes out = kxtest::encode([&](XDR *x) { return t.xdr(x); });
    EXPECT_EQ(out, words({0}));
    EXPECT_EQ(utf8(t.trace_line()), "op_type(32) not_marshalled");
}

TEST(TargetWire, FreeDirectionTouchesNothing) {
    TargetResourceArg t(32, Nul::UString(L"A"), Nul::UString(L"B"));
    XDR x;
    x.x_op = XDR_FREE;
    EXPECT_TRUE(t.xdr(&x));
    EXPECT_EQ(utf8(t.second_name_segment()), "B");
}

TEST(TargetCopy, DeepCopiesSegmentsAndAssignmentIsSelfSafe) {
    TargetResourceArg a(44, Nul::UString(L"Defect"), Nul::UString(L"ISSUE1"));
    ASSERT_EQ(
        decode_into(a, 44, cat(cat(cat(cat(words({1}), str("Defect")), str("ISSUE1")), str("Att")), str("f.txt"))), 48);
    TargetResourceArg b(a);
    EXPECT_EQ(utf8(b.trace_line()), utf8(a.trace_line()));
    ASSERT_NE(b.name_segment(3), nullptr);
    EXPECT_NE(b.name_segment(3), a.name_segment(3));
    TargetResourceArg c;
    c = a;
    EXPECT_EQ(utf8(c.trace_line()), utf8(a.trace_line()));
    TargetResourceArg &self = c;
    c = self;
    EXPECT_EQ(utf8(c.trace_line()), utf8(a.trace_line()));
    c.clear();
    EXPECT_EQ(utf8(c.trace_line()), "op_type(44) not_marshalled");
    EXPECT_EQ(utf8(a.name_segment(3) ? *a.name_segment(3) : Nul::UString()), "f.txt");
}

TEST(TargetCopy, CloneIsATargetOfKindOne) {
    TargetResourceArg a(31, Nul::UString(L"Defect"));
    std::unique_ptr<Nul::Resource> r(a.clone());
    EXPECT_EQ(r->kind(), 1);
    auto *t = dynamic_cast<TargetResourceArg *>(r.get());
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(utf8(t->first_name_segment()), "Defect");
}

TEST(TargetText, SelectorsByNameParseBack) {
    struct Case {
        int type;
        Nul::Selector::namespace_t ns;
        std::vector<std::string> segments;
    };
    std::vector<Case> cases = {
        {31, Nul::Selector::NS_RECORD, {"Defect"}},
        {32, Nul::Selector::NS_RECORD, {"Defect", "ISSUE/1:%"}},
        {35, Nul::Selector::NS_FIELD, {"Defect", "Headline"}},
        {40, Nul::Selector::NS_ACTION, {"Defect", "Assign"}},
        {41, Nul::Selector::NS_FORM, {"Defect", "Defect_Form"}},
        {42, Nul::Selector::NS_HOOK, {"Defect", "Check"}},
        {51, Nul::Selector::NS_HOOK, {"Notify"}},
        {43, Nul::Selector::NS_CHOICELIST, {"Priorities"}},
        {36, Nul::Selector::NS_QUERY, {"Public Queries/All"}},
        {37, Nul::Selector::NS_QUERY, {"Public Queries"}},
        {38, Nul::Selector::NS_QUERY, {"R"}},
        {39, Nul::Selector::NS_QUERY, {"F"}},
        {45, Nul::Selector::NS_RECORD, {"Defect", "ISSUE1", "Attachments"}},
        {44, Nul::Selector::NS_RECORD, {"Defect", "ISSUE1", "Attachments", "a\\b.txt"}},
        {46, Nul::Selector::NS_USER, {"alice"}},
        {47, Nul::Selector::NS_USER, {"bob"}},
        {48, Nul::Selector::NS_GROUP, {"QA"}},
        {34, Nul::Selector::NS_REPLICA, {"site2"}},
    };
    for (auto const &c : cases) {
        Bytes body = words({1});
        for (auto const &s : c.segments) body = cat(body, str(s));
        TargetResourceArg t;
        ASSERT_GT(decode_into(t, c.type, body), 0) << c.type;
        t.set_repository_names(Nul::UString(L"SET"), Nul::UString(L"D/B"));
        Nul::UString text = t.to_selector();
        Nul::Selector parsed(text);
        EXPECT_EQ(parsed.nmspace(), c.ns) << utf8(text);
        EXPECT_EQ(parsed.provider_domain(), Nul::Selector::DOMAIN_KX) << utf8(text);
        auto repo = parsed.repository_name_segments();
        ASSERT_EQ(repo.size(), 2u) << utf8(text);
        EXPECT_EQ(utf8(repo[0]), "SET");
        EXPECT_EQ(utf8(Nul::Selector::decode_string(repo[1])), "D/B");
        std::vector<Nul::UString> segs = parsed.object_name_segments();
        // A workspace path is one escaped segment holding its own separators.
        ASSERT_EQ(segs.size(), c.segments.size()) << utf8(text);
        for (std::size_t i = 0; i < segs.size(); ++i)
            EXPECT_EQ(utf8(Nul::Selector::decode_string(segs[i])), c.segments[i]) << utf8(text);
    }
}

TEST(TargetText, SelectorsByDbidNameTheResourceTag) {
    struct Case {
        int type;
        int tag;
        int numbers;
    };
    for (Case c : {Case{31, 1018, 1}, Case{32, 1017, 2}, Case{34, 1019, 1}, Case{35, 1011, 2}, Case{36, 1015, 1},
                   Case{37, 1016, 1}, Case{38, 1020, 1}, Case{39, 1021, 1}, Case{40, 1006, 2}, Case{41, 1012, 2},
                   Case{42, 1014, 2}, Case{43, 1009, 1}, Case{44, 1007, 4}, Case{45, 1008, 3}, Case{46, 1022, 1},
                   Case{47, 1022, 1}, Case{48, 1013, 1}}) {
        Bytes body = words({2});
        for (int i = 0; i < c.numbers; ++i) kxtest::put_word(body, 16777200u + static_cast<unsigned>(i));
        TargetResourceArg t;
        ASSERT_GT(decode_into(t, c.type, body), 0);
        t.set_repository_names(Nul::UString(L"SET"), Nul::UString());
        Nul::UString text = t.to_selector();
        EXPECT_EQ(utf8(text).substr(utf8(text).size() - 4), "@SET");
        Nul::Selector parsed(text);
        EXPECT_EQ(parsed.resource_type(), static_cast<Nul::XmlTag::Id>(c.tag)) << utf8(text);
        EXPECT_EQ(parsed.provider_domain(), Nul::Selector::DOMAIN_KX);
        auto segs = parsed.object_name_segments();
        ASSERT_EQ(static_cast<int>(segs.size()), c.numbers) << utf8(text);
        for (int i = 0; i < c.numbers; ++i) EXPECT_EQ(utf8(segs[i]), std::to_string(16777200 + i));
    }
}

TEST(TargetText, NoneAndNotMarshalled) {
    TargetResourceArg byname(0, Nul::UString(L"x"));
    EXPECT_EQ(utf8(byname.to_selector()), "NONE");
    TargetResourceArg bydbid(0, 1u, 2u);
    EXPECT_EQ(utf8(bydbid.to_selector()), "NONE");
    TargetResourceArg none(32);
    EXPECT_EQ(utf8(none.to_selector()), "");
    TargetResourceArg unknown(33, 1u, 2u);
    EXPECT_EQ(utf8(unknown.to_selector()), "");
}

TEST(TargetText, StateItemOfWrongKindAndUnknownHandle) {
    auto item = std::make_shared<DummyItem>();
    TargetResourceArg wrong(32, StateItemPtr(item));
    try {
        wrong.to_selector();
        FAIL();
    } catch (Nul::STPException const &e) {
        EXPECT_EQ(e.stp_reason_code(), 40);
        EXPECT_NE(utf8(e.msg()).find("RecordStateItem"), std::string::npos);
    }
    TargetResourceArg unknown(36, StateItemPtr());
    EXPECT_THROW(unknown.to_selector(), KXInternalErrorException);
}

TEST(TargetText, QueryStateItemWithoutBucketUsesItsOwnName) {
    auto item = std::make_shared<QueryItemStateItem>(Nul::UString(L"New Query"), 1);
    TargetResourceArg t(36, StateItemPtr(item));
    t.set_repository_names(Nul::UString(L"SET"), Nul::UString(L"DB"));
    EXPECT_EQ(utf8(t.arm_target_uri(nullptr)), "kx.query:New Query@SET/DB");
    Nul::Selector parsed(t.to_selector());
    EXPECT_EQ(parsed.nmspace(), Nul::Selector::NS_QUERY);
    EXPECT_EQ(utf8(parsed.object_name()), "New Query");
}

TEST(TargetText, AttachmentFolderByStateItemIsABarePath) {
    auto item = std::make_shared<RecordStateItem>(AdEntityPtr());
    Nul::Oid oid = add_pointer_entry(item);
    Bytes handle = kxtest::encode([&](XDR *x) {
        StateItemPtr p = item;
        return xdr_state_handle(x, p);
    });
    TargetResourceArg t;
    ASSERT_GT(decode_into(t, 45, cat(cat(words({3}), handle), words({2, 17}))), 0);
    t.set_repository_names(Nul::UString(L"SET"), Nul::UString(L"DB"));
    EXPECT_EQ(utf8(t.to_selector()), "0/0/17");
    remove_pointer_entry(oid);
}
