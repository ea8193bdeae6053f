// The fetch_props reply: the exact bytes of every value kind, failures reported in place of the
// failed property, and the product's exceptions deleted exactly once.
#include "props/replies.h"

#include <functional>
#include <map>
#include <set>
#include <string>
#include <type_traits>

#include <stdexcept>

#include <gtest/gtest.h>

#include "kxproduct/exceptions.h"
#include "kxwin/cexception.h"
#include "kxwin/cstring.h"
#include "product_env.h"
#include "tesutil/oid.h"
#include "tesutil/xmltag.h"
#include "wexxml/xmldoc.h"
#include "wire/exceptions.h"
#include "wire_text.h"
#include "xdr_buffer.h"

using namespace KxRpc;
using kxtest::Bytes;
using kxtest::cat;
using kxtest::str;
using kxtest::words;

namespace {

using Fetch = std::function<void(FetchPropResponses &)>;
constexpr std::uint32_t none = 0xFFFFFFFFu; // no resource in an error record

// A property object whose properties the test scripts.
class ScriptedProps : public PropsResource {
public:
    ScriptedProps(std::map<int, Fetch> props, int &calls)
        : PropsResource(nullptr), props_(std::move(props)), calls_(calls) {}
    void fetch_prop(FetchPropResponses &out, int id) override {
        ++calls_;
        auto found = props_.find(id);
        if (found == props_.end())
            PropsResource::fetch_prop(out, id);
        else
            found->second(out);
    }

private:
    std::map<int, Fetch> props_;
    int &calls_;
};

struct Fetched {
    Bytes bytes;
    bool ok = false;
    int calls = 0;
};

Fetched fetch(std::map<int, Fetch> props, std::vector<PropRequest> const &requested, std::size_t room = 1 << 16,
              DynamicPropMap const &declared = {}) {
    Fetched result;
    auto resource = std::make_unique<ScriptedProps>(std::move(props), result.calls);
    resource->set_dynamic_props(declared);
    FetchPropsIter reply(std::move(resource), requested);
    result.bytes = kxtest::encode([&](XDR *x) { return reply.xdr(x); }, &result.ok, room);
    return result;
}

std::vector<PropRequest> ids(std::initializer_list<int> list) {
    std::vector<PropRequest> out;
    for (int id : list) out.push_back(PropRequest{id, {}});
    return out;
}

// One entry: TRUE, its values, then the closing FALSE.
Bytes reply_of(Bytes const &values) { return cat(cat(words({1}), values), words({0})); }

// An error record without resource, causes or extension.
Bytes record(std::uint32_t reason, std::string const &message) {
    return cat(cat(words({reason}), str(message)), words({none, 0, 0}));
}

FullAttachment attachment() {
    FullAttachment a;
    a.rectype_id = 1;
    a.record_id = 2;
    a.field_id = 3;
    a.attachment_id = 4;
    a.rectype_name = Nul::UString(L"Defect");
    a.record_name = Nul::UString(L"KXDEMO00000001");
    a.field_name = Nul::UString(L"Attachments");
    a.attachment_name = Nul::UString(L"log.txt");
    a.size = 120;
    a.description = Nul::UString(L"first log");
    return a;
}

Bytes attachment_body() {
    return cat(cat(cat(cat(cat(words({55, 1, 2, 3, 4}), str("Defect")), str("KXDEMO00000001")),
                       cat(str("Attachments"), str("log.txt"))),
                   words({120})),
               str("first log"));
}

struct ValueCase {
    char const *name;
    Fetch fetch;
    Bytes expected;
};

std::vector<ValueCase> value_cases() {
    struct Nul::Oid::bits words_of_oid {
        {
            0x01020304u, 0xA0B0C0D0u, 5u, 0xFFFFFFFFu
        }
    };
    Nul::Oid oid(words_of_oid);
    return {
        {"empty", [](auto &o) { o.record_empty(970); }, words({100002, 970})},
        {"unavailable", [](auto &o) { o.unavailable_property(); }, words({100012})},
        {"unsupported", [](auto &o) { o.unsupported_property(); }, words({100011})},
        {"ustring", [](auto &o) { o.record_ustring(Nul::UString(L"h\u00e9llo")); },
         cat(words({100001}), str("h\xc3\xa9llo"))},
        {"enum", [](auto &o) { o.record_enum(571); }, words({100003, 571})},
        {"name text", [](auto &o) { o.record_property_name(Nul::UString(L"Headline")); },
         cat(words({100010, 0}), str("Headline"))},
        {"name id", [](auto &o) { o.record_property_name(385); }, words({100010, 1, 385})},
        {"oid", [oid](auto &o) { o.record_oid(oid); }, words({100004, 0x01020304u, 0xA0B0C0D0u, 5u, 0xFFFFFFFFu})},
        {"int", [](auto &o) { o.record_int(-5); }, words({100005, 0xFFFFFFFBu})},
        {"bool", [](auto &o) { o.record_bool(true); }, words({100006, 1})},
        {"time text", [](auto &o) { o.record_time_value(Nul::UString(L"2024-02-29 13:45:07")); },
         cat(words({100007}), str("2024-02-29T08:15:07Z"))},
        {"time value", [](auto &o) { o.record_time_value(std::int64_t{1709214307}); },
         cat(words({100007}), str("2024-02-29T13:45:07Z"))},
        {"property type", [](auto &o) { o.record_property_type(34); }, words({100010, 34})},
        {"int64", [](auto &o) { o.record_int64(std::int64_t{0x100000002}); }, words({100017, 1, 2})},
        {"cstring", [](auto &o) { o.record_cstring(CString(L"abc")); }, cat(words({100001}), str("abc"))},
        {"resource as cstring", [](auto &o) { o.record_resource_as_cstring(27, CString(L"site")); },
         cat(words({27}), str("site"))},
        {"query obj name", [](auto &o) { o.record_query_obj_name(36, Nul::UString(L"q")); },
         cat(words({36}), str("q"))},
        {"query obj binding", [](auto &o) { o.record_query_obj_binding(7, Nul::UString(L"leaf"), 31, 5); },
         cat(cat(words({7}), str("leaf")), words({31, 5}))},
        {"resource one segment", [](auto &o) { o.record_resource(31, 5, 6, 7, 8); }, words({31, 5})},
        {"resource two segments", [](auto &o) { o.record_resource(40, 5, 6, 7, 8); }, words({40, 5, 6})},
        {"resource three segments", [](auto &o) { o.record_resource(44, 5, 6, 7, 8); }, words({44, 5, 6, 7})},
        {"resource four segments", [](auto &o) { o.record_resource(55, 5, 6, 7, 8); }, words({55, 5, 6, 7, 8})},
        {"resource no segment", [](auto &o) { o.record_resource(7, 5, 6, 7, 8); }, words({7})},
        {"record name selector",
         [](auto &o) {
             o.record_record_name_selector(Nul::UString(L"Defect"), Nul::UString(L"KX1"), Nul::UString(L"16777224"),
                                           Nul::UString(L"33554433"));
         },
         cat(cat(words({33}), cat(str("Defect"), str("KX1"))), cat(str("16777224"), str("33554433")))},
        {"query obj name with reference",
         [](auto &o) { o.record_query_obj_name(8, Nul::UString(L"leaf"), 43, 1, 2, 3, 4); },
         cat(cat(words({8}), str("leaf")), words({43, 1, 2, 3, 4}))},
        {"attachment binding",
         [](auto &o) { o.record_attachment_full_binding(9, Nul::UString(L"leaf"), attachment()); },
         cat(cat(words({9}), str("leaf")), attachment_body())},
        {"attachment", [](auto &o) { o.record_attachment_full(attachment()); }, attachment_body()},
        {"activity selector", [](auto &o) { o.record_activity_selector(Nul::UString(L"sel")); },
         cat(words({45}), str("sel"))},
        {"range", [](auto &o) { o.record_range(3, 0xFFFFFFF0u); }, words({100022, 3, 0xFFFFFFF0u})},
        {"list",
         [](auto &o) {
             o.start_list_property_values(100001);
             o.record_ustring(Nul::UString(L"a"));
             o.record_property_name(385);
             o.end_list_property_values();
         },
         cat(cat(words({100008, 100001, 1, 100001}), str("a")), words({1, 100010, 1, 385, 1, 100009}))},
        {"empty list",
         [](auto &o) {
             o.start_list_property_values(34);
             o.end_list_property_values();
         },
         words({100008, 34, 1, 100009})},
    };
}

} // namespace

TEST(FetchPropsIter, NoPropertiesIsOneFalse) {
    Fetched f = fetch({}, {});
    ASSERT_TRUE(f.ok);
    EXPECT_EQ(f.bytes, words({0}));
}

TEST(FetchPropsIter, EveryValueKindByteForByte) {
    for (ValueCase const &c : value_cases()) {
        Fetched f = fetch({{1061, c.fetch}}, ids({1061}));
        EXPECT_TRUE(f.ok) << c.name;
        EXPECT_EQ(f.bytes, reply_of(c.expected)) << c.name;
    }
}

TEST(FetchPropsIter, XmlIsTheFinishedDocument) {
    Nul::XmlDoc doc{Nul::XmlDoc::Elem(static_cast<Nul::XmlTag::Id>(578), Nul::UString(L"a<b"), true)};
    std::string text = doc.str().utf8_str().std_str();
    Fetched f = fetch({{1061, [&](FetchPropResponses &o) { o.record_xml(doc); }}}, ids({1061}));
    ASSERT_TRUE(f.ok);
    EXPECT_EQ(f.bytes, reply_of(cat(words({100019}), str(text))));
    EXPECT_NE(text.find("a&lt;b"), std::string::npos) << text;
}

TEST(FetchPropsIter, AFailedPropertyIsReportedAndTheNextOneStillComes) {
    Fetched f = fetch({{1061, [](auto &) { throw KXImplementationErrorException(Nul::UString(L"broken")); }},
                       {385, [](auto &o) { o.record_int(7); }}},
                      ids({1061, 385}));
    ASSERT_TRUE(f.ok);
    EXPECT_EQ(f.bytes, cat(cat(words({1, 100013}), record(40, "TLQSV1093E broken")), words({1, 100005, 7, 0})));
}

// Whatever a property throws is answered in its place, with a message that says why, and the
// next property still comes: never a reply cut short.
TEST(FetchPropsIter, AnyFailureOfAPropertyIsAnsweredInItsPlace) {
    std::string const unexpected = "TLQSV0751E Server error: Unexpected exception: ";
    struct Case {
        char const *name;
        Fetch fetch;
        Bytes error;
    };
    Case const cases[] = {
        {"product failure", [](auto &) { throw new KXException(KX_MSG_BAD_VALUE, CString(L"bad value")); },
         record(39, unexpected + "bad value")},
        {"product refusal", [](auto &) { throw new KXException(KX_MSG_NOT_PRIVILEGED, CString(L"Not for you.")); },
         record(80, "TLQSV0796E Insufficient privilege: Not for you.")},
        {"standard exception", [](auto &) { throw std::runtime_error("/srv/kx/secret"); }, record(39, unexpected)},
    };
    long const live = KXException::LiveCount();
    for (Case const &c : cases) {
        Fetched f = fetch({{1061, c.fetch}, {385, [](auto &o) { o.record_int(7); }}}, ids({1061, 385}));
        ASSERT_TRUE(f.ok) << c.name;
        EXPECT_EQ(f.bytes, cat(cat(words({1, 100013}), c.error), words({1, 100005, 7, 0}))) << c.name;
    }
    EXPECT_EQ(KXException::LiveCount(), live);
}

TEST(FetchPropsIter, AFailureInsideAListKeepsTheElementsAndClosesTheList) {
    Fetched f = fetch({{1061,
                        [](auto &o) {
                            o.start_list_property_values(100001);
                            o.record_enum(3);
                            throw Nul::STPException(stp_code(Reason::illegal_value), Nul::UMessage::nil);
                        }}},
                      ids({1061}));
    ASSERT_TRUE(f.ok);
    EXPECT_EQ(f.bytes,
              reply_of(cat(cat(words({100008, 100001, 1, 100003, 3, 1, 100013}), record(4, "")), words({1, 100009}))));
}

TEST(FetchPropsIter, AFailureInANestedListClosesEveryOpenList) {
    Fetched f = fetch({{1061,
                        [](auto &o) {
                            o.start_list_property_values(100008);
                            o.start_list_property_values(100001);
                            throw Nul::STPException(stp_code(Reason::illegal_value), Nul::UMessage::nil);
                        }},
                       {385, [](auto &o) { o.record_bool(false); }}},
                      ids({1061, 385}));
    ASSERT_TRUE(f.ok);
    Bytes first =
        cat(cat(words({1, 100008, 100008, 1, 100008, 100001, 1, 100013}), record(4, "")), words({1, 100009, 100009}));
    EXPECT_EQ(f.bytes, cat(first, words({1, 100006, 0, 0})));
}

TEST(FetchPropsIter, MetasComeInAscendingOrderOnceEach) {
    // 942 is the value itself; any other meta is unsupported by the base.
    Fetched f = fetch({{1061, [](auto &o) { o.record_int(1); }}}, {PropRequest{1061, {942, 17, 942}}});
    ASSERT_TRUE(f.ok);
    EXPECT_EQ(f.bytes, reply_of(words({100011, 100005, 1})));
}

TEST(FetchPropsIter, AFailedMetaEndsItsEntry) {
    Fetched f =
        fetch({{1061, [](auto &) { throw Nul::STPException(stp_code(Reason::illegal_value), Nul::UMessage::nil); }}},
              {PropRequest{1061, {942, 943}}, PropRequest{385, {}}});
    ASSERT_TRUE(f.ok);
    EXPECT_EQ(f.calls, 2); // the failed meta, then 385; meta 943 is never asked
    EXPECT_EQ(f.bytes, cat(cat(words({1, 100013}), record(4, "")), words({1, 100011, 0})));
}

TEST(FetchPropsIter, UndeclaredDynamicIdsAreUnsupportedWithoutAskingTheResource) {
    DynamicPropMap declared{{1000000, {8, Nul::UString(L"Headline")}}};
    Fetched f = fetch(
        {{1000000, [](auto &o) { o.record_ustring(Nul::UString(L"h")); }}, {1000001, [](auto &) { throw 1; }}},
        {PropRequest{1000001, {}}, PropRequest{1000002, {942, 950}}, PropRequest{1000000, {}}}, 1 << 16, declared);
    ASSERT_TRUE(f.ok);
    EXPECT_EQ(f.calls, 1);
    EXPECT_EQ(f.bytes, cat(cat(words({1, 100011, 1, 100011, 100011, 1, 100001}), str("h")), words({0})));
}

TEST(FetchPropsIter, ProductExceptionsAreConvertedAndDeletedOnce) {
    struct Case {
        char const *name;
        Fetch fetch;
        Bytes expected;
    };
    std::string const prefix = "TLQSV0751E Server error: Unexpected exception: ";
    std::vector<Case> cases = {
        {"KXException", [](auto &) { throw new KXException(KX_MSG_NOT_FOUND, CString(L"no such thing")); },
         record(39, prefix + "no such thing")},
        {"PaMsgException", [](auto &) { throw new PaMsgException(KX_MSG_BAD_VALUE, CString(L"bad value")); },
         record(40, prefix + "bad value")},
        {"CException", [](auto &) { throw new CException(CString(L"class library")); }, record(39, prefix)},
        {"other", [](auto &) { throw 42; }, record(39, prefix)},
    };
    for (Case const &c : cases) {
        kxtest::ExceptionCounts counts;
        Fetched f = fetch({{1061, c.fetch}, {385, [](auto &o) { o.record_int(2); }}}, ids({1061, 385}));
        ASSERT_TRUE(f.ok) << c.name;
        EXPECT_EQ(f.bytes, cat(cat(words({1, 100013}), c.expected), words({1, 100005, 2, 0}))) << c.name;
        counts.expect_unchanged();
    }
}

TEST(FetchPropsIter, AnUnparsableDateIsAPropertyError) {
    Fetched f = fetch({{1061, [](auto &o) { o.record_time_value(Nul::UString(L"yesterday")); }}}, ids({1061}));
    ASSERT_TRUE(f.ok);
    EXPECT_EQ(f.bytes,
              reply_of(cat(words({100013}),
                           record(4, "TLQSV0723E 'yesterday' is not a legal ISO 8601 format date/time string"))));
}

// Nothing is written while the properties are read: a marshalling error a property raises is that
// property's failure, answered in its place, and the next property still comes.
TEST(FetchPropsIter, AMarshallingErrorOfAPropertyIsRecordedInItsPlace) {
    struct Case {
        char const *text;
        std::string message;
    } const cases[] = {
        {nullptr, ""},
        {"string", "TLQSV1095E Property value marshalling error: string"},
    };
    for (Case const &c : cases) {
        Fetch failing = [&](auto &) {
            if (c.text) throw PropertyValueMarshallingException(Nul::UString(c.text, "UTF-8"));
            throw_marshalling_error();
        };
        Fetched f = fetch({{1061, failing}, {385, [](auto &o) { o.record_int(7); }}}, ids({1061, 385}));
        ASSERT_TRUE(f.ok) << c.message;
        EXPECT_EQ(f.bytes, cat(cat(words({1, 100013}), record(40, c.message)), words({1, 100005, 7, 0}))) << c.message;
    }
}

TEST(FetchPropsIter, AFailedWriteEndsTheReplyWithAFatalError) {
    std::string const big(600, 'x');
    Fetch long_text = [&](auto &o) { o.record_ustring(Nul::UString(big.c_str(), "UTF-8")); };
    Fetched f = fetch({{1061, long_text}, {385, [](auto &o) { o.record_int(1); }}}, ids({1061, 385}), 200);
    ASSERT_TRUE(f.ok);
    // The string's length went out before its bytes failed; nothing of 385 and no final FALSE.
    Bytes expected = cat(words({1, 100001, 600, 100014}),
                         record(40, "TLQSV1093E TLQSV1095E Property value marshalling error: string"));
    EXPECT_EQ(f.bytes, expected);
}

TEST(FetchPropsIter, AWriteFailureWithNoRoomForTheFatalErrorFails) {
    for (std::size_t room : {0u, 4u, 8u, 20u}) {
        Fetched f =
            fetch({{1061, [](auto &o) { o.record_ustring(Nul::UString(L"abcdefghijklmnop")); }}}, ids({1061}), room);
        EXPECT_FALSE(f.ok) << room;
    }
}

TEST(FetchPropsIter, OwnsAndDeletesItsResource) {
    int calls = 0;
    struct Counted : ScriptedProps {
        Counted(int &calls, int &deleted) : ScriptedProps({}, calls), deleted_(deleted) {}
        ~Counted() override { ++deleted_; }
        int &deleted_;
    };
    int deleted = 0;
    {
        std::vector<PropRequest> requested;
        FetchPropsIter reply(std::make_unique<Counted>(calls, deleted), requested);
    }
    EXPECT_EQ(deleted, 1);
}

TEST(FetchPropsIter, DecodeIsRefused) {
    int calls = 0;
    std::vector<PropRequest> requested = ids({1061});
    FetchPropsIter reply(std::make_unique<ScriptedProps>(std::map<int, Fetch>{}, calls), requested);
    EXPECT_FALSE(kxtest::decode(words({1, 100011, 0}), [&](XDR *x) { return reply.xdr(x); }));
    EXPECT_EQ(calls, 0);
}

namespace {

// An encode stream into memory whose `fail_at`-th word write (counting from 0) fails, once; the
// writes before and after it succeed, so whatever the reply writes after a failure is seen.
struct FlakyStream {
    using Ops = std::remove_const_t<std::remove_pointer_t<decltype(XDR::x_ops)>>;
    static inline Ops const *memory_ops = nullptr;
    static inline int writes = 0;
    static inline int fail_at = -1;

    static bool_t putlong(XDR *x, long const *value) {
        if (writes++ == fail_at) return FALSE;
        return memory_ops->x_putlong(x, value);
    }

    template <class Fn>
    static Bytes encode(Fn fn, int fail, bool *ok) {
        Bytes buf(1 << 12);
        XDR x;
        xdrmem_create(&x, reinterpret_cast<char *>(buf.data()), static_cast<u_int>(buf.size()), XDR_ENCODE);
        memory_ops = x.x_ops;
        static Ops ops;
        ops = *x.x_ops;
        ops.x_putlong = putlong;
        x.x_ops = &ops;
        writes = 0;
        fail_at = fail;
        *ok = fn(&x) != 0;
        buf.resize(xdr_getpos(&x));
        x.x_ops = memory_ops;
        xdr_destroy(&x);
        return buf;
    }
};

} // namespace

TEST(FetchPropsIter, AWriteFailingAfterTheFetchEndsTheReplyWithoutReadingAgain) {
    int calls = 0;
    int deleted = 0;
    struct Counted : ScriptedProps {
        Counted(std::map<int, Fetch> props, int &calls, int &deleted)
            : ScriptedProps(std::move(props), calls), deleted_(deleted) {}
        ~Counted() override { ++deleted_; }
        int &deleted_;
    };
    std::vector<PropRequest> requested = ids({1061, 385});
    FetchPropsIter reply(std::make_unique<Counted>(std::map<int, Fetch>{{1061, [](auto &o) { o.record_int(7); }},
                                                                        {385, [](auto &o) { o.record_int(8); }}},
                                                   calls, deleted),
                         requested);
    reply.fetch();
    // Everything was read, and the property object let go, before a byte is written.
    EXPECT_TRUE(reply.fetched());
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(deleted, 1);
    EXPECT_EQ(reply.resource(), nullptr);

    // The third word (the first value) fails: what went before stays, then the fatal error.
    bool ok = false;
    Bytes bytes = FlakyStream::encode([&](XDR *x) { return reply.xdr(x); }, 2, &ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(bytes, cat(words({1, 100005, 100014}),
                         record(40, "TLQSV1093E TLQSV1095E Property value marshalling error: int")));
    EXPECT_EQ(calls, 2);

    // A failure in the closing words fails the reply, which the runtime answers as a system error.
    bytes = FlakyStream::encode([&](XDR *x) { return reply.xdr(x); }, 0, &ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(calls, 2);

    // Written again in full, from what was recorded.
    bytes = FlakyStream::encode([&](XDR *x) { return reply.xdr(x); }, -1, &ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(bytes, words({1, 100005, 7, 1, 100005, 8, 0}));
    EXPECT_EQ(calls, 2);
}
