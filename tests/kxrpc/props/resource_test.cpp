// What every property object answers alike: the common ids, metas, dynamic names and refusals.
#include "props/resource.h"

#include <gtest/gtest.h>

#include "recording_sink.h"
#include "tesutil/xmltag.h"

using namespace KxRpc;

namespace {

// The base alone, with record-field names of its own when given some.
class Base : public PropsResource {
public:
    explicit Base(std::vector<Nul::UString> names = {}) : PropsResource(nullptr), names_(std::move(names)) {}
    std::unique_ptr<std::vector<Nul::UString>> dynamic_prop_names() override {
        if (names_.empty()) return nullptr;
        return std::make_unique<std::vector<Nul::UString>>(names_);
    }

private:
    std::vector<Nul::UString> names_;
};

int put_refusal(PropsResource &resource, int id) {
    BasePropValue value(id, 100002);
    try {
        resource.put_prop(value);
    } catch (Nul::STPException const &e) {
        EXPECT_TRUE(e.msg().empty());
        return static_cast<int>(e.stp_reason_code());
    }
    return 0;
}

} // namespace

TEST(PropsResource, CommonIds) {
    Base base;
    kxtest::RecordingSink sink;
    EXPECT_EQ(sink.fetch(base, 595), "empty:967");
    // Only the parent list is public: 656 and 1103 are in the private namespace.
    EXPECT_EQ(Nul::XmlTag::lookup(static_cast<Nul::XmlTag::Id>(656)).ns_id(), 17);
    EXPECT_EQ(sink.fetch(base, 1032), "[100010 name:595 ]");
    EXPECT_EQ(sink.fetch(base, 1103), "[100010 name:595 name:656 name:1103 ]");
    for (int id : {0, 578, 999999, 1000000}) EXPECT_EQ(sink.fetch(base, id), "unsupported") << id;
}

TEST(PropsResource, SupportedSetEndsWithTheResourcesOwnNames) {
    Base record({Nul::UString(L"Headline"), Nul::UString(L"Owner")});
    kxtest::RecordingSink sink;
    EXPECT_EQ(sink.fetch(record, 1103), "[100010 name:595 name:656 name:1103 name:Headline name:Owner ]");
    EXPECT_EQ(sink.fetch(record, 1032), "[100010 name:595 ]");
}

TEST(PropsResource, MetaValueIsThePropertyItself) {
    Base base;
    kxtest::RecordingSink sink;
    for (int id : {595, 1032, 4711}) {
        std::string plain = sink.fetch(base, id);
        sink.values.clear();
        sink.perform_fetch_meta(base, id, 942);
        std::string joined;
        for (auto const &v : sink.values) joined += (joined.empty() ? "" : " ") + v;
        EXPECT_EQ(joined, plain) << id;
        sink.values.clear();
        sink.perform_fetch_meta(base, id, 943);
        EXPECT_EQ(sink.values, std::vector<std::string>{"unsupported"}) << id;
    }
}

TEST(PropsResource, PutsAreRefusedByWhetherThePropertyExists) {
    Base base;
    EXPECT_EQ(put_refusal(base, 656), 9);
    EXPECT_EQ(put_refusal(base, 595), 9);
    EXPECT_EQ(put_refusal(base, 578), 64);
    EXPECT_EQ(put_refusal(base, 1000000), 64);
}

TEST(PropsResource, DynamicNamesOfDeclaredIdsOnly) {
    Base base;
    base.set_dynamic_props(
        DynamicPropMap{{1000000, {8, Nul::UString(L"Headline")}}, {1000002, {3, Nul::UString(L"x")}}});
    EXPECT_EQ(base.dynamic_prop_name(1000000).utf8_str().std_str(), "Headline");
    EXPECT_EQ(base.dynamic_prop_ns(1000002), 3);
    EXPECT_EQ(base.dynamic_prop(1000002).second.utf8_str().std_str(), "x");
    EXPECT_TRUE(base.has_dynamic_prop(1000000));
    EXPECT_FALSE(base.has_dynamic_prop(1000001));
    EXPECT_TRUE(base.dynamic_prop_name(1000001).empty());
    EXPECT_EQ(base.dynamic_prop_ns(1000001), no_namespace);
    EXPECT_EQ(base.dynamic_prop_names(), nullptr);
}
