// deliver_change_context requests decoded from hand-built bytes: every operation kind, handles
// that name registered, unknown and wrong kinds of state items, and the chain's failures.
#include "change/deliverops.h"

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/dispatch.h"
#include "target/attachments.h"
#include "target/held_items.h"
#include "tesutil/armbuffer.h"
#include "wire/exceptions.h"
#include "wire/glue.h"
#include "wire_builder.h"
#include "wire_text.h"

using namespace KxRpc;
using kxtest::Bytes;
using kxtest::cat;
using kxtest::str;
using kxtest::u8;
using kxtest::words;

namespace {

Bytes handle_of(StateItemPtr item) {
    return kxtest::encode([&](XDR *x) { return xdr_state_handle(x, item); });
}

// A 16-byte handle that names nothing registered.
Bytes const unknown_handle = words({16, 0x01020304, 0x05060708, 0x090a0b0c, 0x0d0e0f10});

// Correlator none, the session handle, locale, trace id.
Bytes header(std::uint32_t wtid, StateItemPtr session = StateItemPtr()) {
    return cat(cat(cat(words({0}), handle_of(session)), str("en_US")), words({wtid}));
}

// More, then the kind.
// The decoded operations in order, as the handler walks them.
std::vector<DeliverOperation *> operations(DeliverChangeContextArgs const &args) {
    std::vector<DeliverOperation *> ops;
    for (auto const &op : args.ops()) ops.push_back(op.get());
    return ops;
}

Bytes op(int kind) { return words({1, static_cast<std::uint32_t>(kind)}); }
Bytes const end = words({0});

Bytes record_target() { return cat(cat(words({32, 1}), str("Defect")), str("ISSUE1")); }
Bytes action_target() { return cat(cat(words({40, 1}), str("Defect")), str("Delete")); }
Bytes query_target() { return cat(words({36, 1}), str("Public Queries/Old")); }
Bytes attachment_target() { return words({44, 2, 16777217, 33554433, 5, 9}); }
Bytes list_target() { return cat(words({43, 1}), str("Priorities")); }

std::string const record_line =
    "target_resource_arg:(op_type(32) rectype(Defect) target_name(ISSUE1) attachment_folder(NULL) attachment(NULL))";

// The trace text of a target decoded on its own.
std::string target_line(Bytes const &bytes) {
    GenericOpArgs target;
    EXPECT_TRUE(kxtest::decode(bytes, [&](XDR *x) { return xdr_target(x, target); }));
    return u8(target.trace_line());
}

bool decode_request(DeliverChangeContextArgs &args, Bytes const &bytes, std::size_t *used = nullptr) {
    return kxtest::decode_args(args, bytes, used);
}

std::string cast_failure(std::function<void()> const &use) {
    try {
        use();
    } catch (Nul::STPException const &e) {
        EXPECT_EQ(e.stp_reason_code(), 40);
        return u8(e.msg());
    }
    return "no failure";
}

std::string expected(char const *name) {
    return std::string("TLQSV0748E expected '") + name + "' object in dynamic_cast";
}

class DeliverRequest : public ::testing::Test {
protected:
    void TearDown() override {
        for (StateItemPtr const *item : {&record_, &attachment_, &query_})
            if (!(*item)->oid().is_nil()) remove_pointer_entry((*item)->oid());
    }

    StateItemPtr record_ = std::make_shared<RecordStateItem>(AdEntityPtr());
    StateItemPtr attachment_ = std::make_shared<AttachmentStateItem>(std::make_unique<Attachment>(
        AttachmentFolder(AdEntityPtr(), Nul::UString(L"Attachments"), 7), Nul::UString(L"a.txt"), 0));
    StateItemPtr query_ = std::make_shared<QueryItemStateItem>(Nul::UString(L"New"), 36);

    std::string text(StateItemPtr const &item) { return u8(item->oid().dense_str()); }

    // One operation of every kind, in kind order.
    Bytes every_kind() {
        Bytes b;
        b = cat(b, cat(op(0), cat(cat(cat(str("Public Queries"), str("New")), handle_of(query_)), words({36, 1}))));
        b = cat(b, cat(op(1), cat(cat(cat(str("Personal Queries"), str("R")), unknown_handle), words({38, 0}))));
        b = cat(b, cat(op(2), cat(handle_of(query_), words({37}))));
        b = cat(b, cat(op(3), cat(handle_of(query_), words({36}))));
        b = cat(b, cat(op(4), cat(query_target(), words({1}))));
        b = cat(b, cat(op(5), handle_of(record_)));
        b = cat(b, cat(op(6), handle_of(record_)));
        b = cat(b, cat(op(7), cat(record_target(), action_target())));
        b = cat(b, cat(op(8), cat(handle_of(record_), handle_of(attachment_))));
        b = cat(b, cat(op(9), cat(handle_of(record_), unknown_handle)));
        b = cat(b, cat(op(10), attachment_target()));
        b = cat(b, cat(op(11), cat(cat(list_target(), words({0xffffffffu, 1})), str("P5"))));
        return cat(b, end);
    }
};

} // namespace

TEST_F(DeliverRequest, EmptyChain) {
    DeliverChangeContextArgs args;
    Bytes b = cat(header(7), end);
    std::size_t used = 0;
    ASSERT_TRUE(decode_request(args, b, &used));
    EXPECT_EQ(used, b.size());
    EXPECT_TRUE(args.ops().empty());
    EXPECT_EQ(u8(args.describe()), "wtid:7 :: no session :: (ops_size:0)");
    // Without a session there is no database to name.
    EXPECT_THROW(args.arm_target_uri(), KXInternalErrorException);
}

TEST_F(DeliverRequest, EveryKindInRequestOrder) {
    Bytes b = cat(header(9), every_kind());
    long const record_refs = record_.use_count();
    {
        DeliverChangeContextArgs args;
        std::size_t used = 0;
        ASSERT_TRUE(decode_request(args, b, &used));
        EXPECT_EQ(used, b.size());
        ASSERT_EQ(args.ops_size(), 12u);
        EXPECT_EQ(u8(args.describe()), "wtid:9 :: no session :: (ops_size:12)");
        std::vector<DeliverOperation *> const ops = operations(args);
        for (int i = 0; i < 12; ++i) EXPECT_EQ(ops[i]->kind(), i);

        auto *make = checked_cast<MakeQueryOperation>(ops[0]);
        EXPECT_EQ(u8(make->parent_path()), "Public Queries");
        EXPECT_EQ(u8(make->name()), "New");
        EXPECT_EQ(make->item(), query_.get());
        EXPECT_EQ(make->type(), 36);
        EXPECT_TRUE(make->overwrite());
        EXPECT_EQ(u8(make->to_string()),
                  "parant:Public Queries :: name:New :: item:" + text(query_) + " :: type:36 :: overwite:T :: op:0");

        auto *make_report = checked_cast<MakeQueryOperation>(ops[1]);
        EXPECT_EQ(make_report->item_handle(), nullptr);
        EXPECT_FALSE(make_report->overwrite());
        EXPECT_EQ(u8(make_report->to_string()),
                  "parant:Personal Queries :: name:R :: item:NULL :: type:38 :: overwite:F :: op:1");

        auto *modify = checked_cast<ModifyQueryOperation>(ops[2]);
        EXPECT_EQ(modify->item(), query_.get());
        EXPECT_EQ(modify->type(), 37);
        EXPECT_EQ(u8(modify->to_string()), "item:" + text(query_) + " :: type:37 :: op:2");
        EXPECT_EQ(u8(ops[3]->to_string()), "item:" + text(query_) + " :: type:36 :: op:3");

        auto *del_query = checked_cast<DeleteQueryOperation>(ops[4]);
        EXPECT_EQ(del_query->query().resource_type(), 36);
        EXPECT_TRUE(del_query->recursive());
        EXPECT_EQ(u8(del_query->to_string()), "query:(" + target_line(query_target()) + ") :: recursive:T :: op:4)");

        auto *make_record = checked_cast<RecordOperation>(ops[5]);
        EXPECT_EQ(make_record->record(), record_.get());
        EXPECT_EQ(u8(make_record->to_string()), "item:" + text(record_) + " :: op:5");
        EXPECT_EQ(u8(ops[6]->to_string()), "item:" + text(record_) + " :: op:6");

        auto *del_record = checked_cast<DeleteRecordOperation>(ops[7]);
        EXPECT_EQ(del_record->record().resource_type(), 32);
        EXPECT_EQ(del_record->action().resource_type(), 40);
        EXPECT_EQ(u8(del_record->action().target().second_name_segment()), "Delete");
        EXPECT_EQ(u8(del_record->to_string()),
                  "rec:(" + record_line + ") :: action:(" + target_line(action_target()) + ") :: op:7)");

        auto *make_att = checked_cast<MakeModifyAttachmentOperation>(ops[8]);
        EXPECT_EQ(make_att->record(), record_.get());
        EXPECT_EQ(make_att->attachment(), attachment_.get());
        EXPECT_EQ(u8(make_att->attachment()->attachment()->file_name()), "a.txt");
        // The attachment's handle first, then the record's.
        EXPECT_EQ(u8(make_att->to_string()),
                  "item:" + text(attachment_) + " :: rec_item:" + text(record_) + " :: op:8");
        EXPECT_EQ(u8(ops[9]->to_string()), "item:NULL :: rec_item:" + text(record_) + " :: op:9");

        auto *del_att = checked_cast<DeleteAttachmentOperation>(ops[10]);
        EXPECT_EQ(del_att->attachment().resource_type(), 44);
        EXPECT_EQ(u8(del_att->to_string()), "attach:" + target_line(attachment_target()) + " :: op:10");

        auto *list = checked_cast<ModifyDynamicListOperation>(ops[11]);
        EXPECT_TRUE(list->remove_all());
        EXPECT_TRUE(list->values_to_delete().empty());
        ASSERT_EQ(list->values_to_add().size(), 1u);
        EXPECT_EQ(u8(list->values_to_add()[0]), "P5");
        EXPECT_EQ(u8(list->to_string()), "list:(" + target_line(list_target()) + ") :: remove_all:T :: op:11");

        // The record's item is shared by the four operations that name it.
        EXPECT_EQ(record_.use_count(), record_refs + 4);
    }
    // Destroying the request lets go of every item it held.
    EXPECT_EQ(record_.use_count(), record_refs);
    EXPECT_EQ(query_.use_count(), 2);
    EXPECT_EQ(attachment_.use_count(), 2);
}

TEST_F(DeliverRequest, TargetTextsExactly) {
    Bytes b = cat(header(1), cat(cat(op(7), cat(record_target(), record_target())), end));
    DeliverChangeContextArgs args;
    ASSERT_TRUE(decode_request(args, b));
    EXPECT_EQ(u8(args.ops().front()->to_string()),
              "rec:(" + record_line + ") :: action:(" + record_line + ") :: op:7)");
}

TEST_F(DeliverRequest, HandlesOfTheWrongKindAreRefusedOnUse) {
    Bytes b =
        cat(header(2), cat(cat(op(5), handle_of(query_)), cat(op(8), cat(handle_of(attachment_), handle_of(record_)))));
    b = cat(b, cat(op(0), cat(cat(cat(str("P"), str("N")), handle_of(record_)), words({36, 0}))));
    b = cat(b, cat(op(2), cat(unknown_handle, words({36}))));
    b = cat(b, cat(op(6), unknown_handle));
    b = cat(b, end);
    DeliverChangeContextArgs args;
    ASSERT_TRUE(decode_request(args, b));
    ASSERT_EQ(args.ops_size(), 5u);
    std::vector<DeliverOperation *> const ops = operations(args);
    auto *rec = checked_cast<RecordOperation>(ops[0]);
    EXPECT_EQ(cast_failure([&] { rec->record(); }), expected("RecordStateItem"));
    auto *att = checked_cast<MakeModifyAttachmentOperation>(ops[1]);
    EXPECT_EQ(cast_failure([&] { att->record(); }), expected("RecordStateItem"));
    EXPECT_EQ(cast_failure([&] { att->attachment(); }), expected("AttachmentStateItem"));
    auto *make = checked_cast<MakeQueryOperation>(ops[2]);
    EXPECT_EQ(cast_failure([&] { make->item(); }), expected("QueryItemStateItem"));
    // An unknown handle decoded to no item at all.
    auto *modify = checked_cast<ModifyQueryOperation>(ops[3]);
    EXPECT_EQ(cast_failure([&] { modify->item(); }), expected("non-null"));
    auto *unknown = checked_cast<RecordOperation>(ops[4]);
    EXPECT_EQ(cast_failure([&] { unknown->record(); }), expected("non-null"));
    EXPECT_EQ(u8(unknown->to_string()), "item:NULL :: op:6");
}

TEST_F(DeliverRequest, KindAboveElevenIsRefused) {
    for (std::uint32_t kind : {12u, 0x7fffffffu, 0xffffffffu}) {
        try {
            make_deliver_operation(static_cast<int>(kind));
            ADD_FAILURE() << kind;
        } catch (Nul::STPException const &e) {
            EXPECT_EQ(e.stp_reason_code(), 40);
            EXPECT_TRUE(e.message().is_nil());
        }
        // Through the argument routine the refusal is a failed decode that holds the exception for
        // the dispatcher's error reply.
        DeliverChangeContextArgs args;
        Bytes b = cat(header(3), cat(cat(op(5), handle_of(record_)), cat(words({1, kind}), handle_of(record_))));
        EXPECT_FALSE(decode_request(args, cat(b, end))) << kind;
        std::exception_ptr held = take_decode_failure();
        ASSERT_TRUE(held) << kind;
        EXPECT_FALSE(take_decode_failure()); // taken once
        try {
            std::rethrow_exception(held);
        } catch (Nul::STPException const &e) {
            EXPECT_EQ(e.stp_reason_code(), 40);
            EXPECT_TRUE(e.message().is_nil());
        }
        // What came before stays with the request until it is destroyed.
        EXPECT_EQ(args.ops_size(), 1u);
    }
    EXPECT_EQ(record_.use_count(), 2);
}

TEST_F(DeliverRequest, TruncatedAnywhereFailsAndLeaksNothing) {
    Bytes full = cat(header(4), every_kind());
    std::size_t const head = header(4).size();
    for (std::size_t cut = head; cut < full.size(); cut += 4) {
        DeliverChangeContextArgs args;
        Bytes part(full.begin(), full.begin() + static_cast<long>(cut));
        EXPECT_FALSE(decode_request(args, part)) << cut;
    }
    EXPECT_EQ(record_.use_count(), 2);
    EXPECT_EQ(query_.use_count(), 2);
    EXPECT_EQ(attachment_.use_count(), 2);
}

TEST_F(DeliverRequest, DynamicListCounts) {
    auto decode_list = [&](Bytes const &operands, DeliverChangeContextArgs &args) {
        return decode_request(args, cat(header(5), cat(cat(op(11), cat(list_target(), operands)), end)));
    };
    {
        DeliverChangeContextArgs args;
        ASSERT_TRUE(decode_list(cat(cat(cat(words({2}), str("A")), str("B")), cat(words({1}), str("C"))), args));
        auto *list = checked_cast<ModifyDynamicListOperation>(args.ops().front().get());
        EXPECT_FALSE(list->remove_all());
        ASSERT_EQ(list->values_to_delete().size(), 2u);
        EXPECT_EQ(u8(list->values_to_delete()[1]), "B");
        ASSERT_EQ(list->values_to_add().size(), 1u);
        EXPECT_EQ(u8(list->values_to_add()[0]), "C");
        EXPECT_EQ(u8(list->to_string()), "list:(" + target_line(list_target()) + ") :: remove_all:F :: op:11");
    }
    {
        DeliverChangeContextArgs args;
        ASSERT_TRUE(decode_list(words({0, 0}), args));
        auto *list = checked_cast<ModifyDynamicListOperation>(args.ops().front().get());
        EXPECT_FALSE(list->remove_all());
        EXPECT_TRUE(list->values_to_add().empty());
    }
    {
        // Remove all: no values to delete follow, even when the next word looks like one.
        DeliverChangeContextArgs args;
        ASSERT_TRUE(decode_list(cat(words({0xffffffffu, 1}), str("X")), args));
        auto *list = checked_cast<ModifyDynamicListOperation>(args.ops().front().get());
        EXPECT_TRUE(list->remove_all());
        EXPECT_EQ(list->values_to_add().size(), 1u);
    }
    // Negative counts other than -1 to delete, and any negative count to add, are refused.
    for (Bytes const &bad : {words({0xfffffffeu, 0}), words({0x80000000u, 0}), words({0, 0xffffffffu}),
                             words({0xffffffffu, 0xffffffffu})}) {
        DeliverChangeContextArgs args;
        EXPECT_FALSE(decode_list(bad, args));
    }
    // A huge count with little behind it fails on the missing strings, not on memory.
    for (Bytes const &huge : {cat(words({0x7fffffffu}), str("A")), cat(words({0, 0x7fffffffu}), str("A")),
                              cat(words({0, 0x00ffffffu}), str("A"))}) {
        DeliverChangeContextArgs args;
        EXPECT_FALSE(decode_list(huge, args));
    }
}

TEST_F(DeliverRequest, OperationCasts) {
    Bytes b = cat(header(6), every_kind());
    DeliverChangeContextArgs args;
    ASSERT_TRUE(decode_request(args, b));
    std::vector<DeliverOperation *> const ops = operations(args);
    // Each cast passes its own class and names it for any other.
    EXPECT_EQ(cast_failure([&] { checked_cast<RecordOperation>(ops[0]); }), expected("RecordOperation"));
    EXPECT_EQ(cast_failure([&] { checked_cast<MakeQueryOperation>(ops[2]); }), expected("MakeQueryOperation"));
    EXPECT_EQ(cast_failure([&] { checked_cast<ModifyQueryOperation>(ops[0]); }), expected("ModifyQueryOperation"));
    EXPECT_EQ(cast_failure([&] { checked_cast<DeleteQueryOperation>(ops[5]); }), expected("DeleteQueryOperation"));
    EXPECT_EQ(cast_failure([&] { checked_cast<DeleteRecordOperation>(ops[4]); }), expected("DeleteRecordOperation"));
    EXPECT_EQ(cast_failure([&] { checked_cast<MakeModifyAttachmentOperation>(ops[10]); }),
              expected("MakeModifyAttachmentOperation"));
    EXPECT_EQ(cast_failure([&] { checked_cast<DeleteAttachmentOperation>(ops[8]); }),
              expected("DeleteAttachmentOperation"));
    EXPECT_EQ(cast_failure([&] { checked_cast<ModifyDynamicListOperation>(ops[7]); }),
              expected("ModifyDynamicListOperation"));
    EXPECT_EQ(cast_failure([&] { checked_cast<RecordOperation>(static_cast<DeliverOperation *>(nullptr)); }),
              expected("non-null"));
    EXPECT_EQ(checked_cast<DeliverChangeContextArgs>(&args), &args);
}

TEST_F(DeliverRequest, ProcedureTenDecodesInTheDispatchersStorage) {
    ProcedureRow const *g = procedure_row(10);
    ASSERT_NE(g->construct, nullptr);
    EXPECT_EQ(g->request_size, sizeof(DeliverChangeContextArgs));
    EXPECT_NE(g->xdr_result, nullptr);
    EXPECT_NE(g->handler, nullptr);
    alignas(std::max_align_t) unsigned char storage[sizeof(DeliverChangeContextArgs)];
    XdrObject *request = g->construct(storage);
    auto decode = reinterpret_cast<bool_t (*)(XDR *, void *)>(g->xdr_args);
    EXPECT_TRUE(kxtest::decode(cat(header(8), cat(cat(op(6), handle_of(record_)), end)),
                               [&](XDR *x) { return decode(x, request); }));
    auto *typed = dynamic_cast<DeliverChangeContextArgs *>(request);
    ASSERT_NE(typed, nullptr);
    EXPECT_EQ(typed->ops_size(), 1u);
    EXPECT_EQ(record_.use_count(), 3);
    request->~XdrObject();
    EXPECT_EQ(record_.use_count(), 2);
}
