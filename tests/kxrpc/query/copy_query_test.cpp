// copy_query against the demo workspace: what a folder copy holds, the do-not-copy list, items
// added under the source meanwhile, and the refusals.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "handler_env.h"
#include "props/wsprops.h"
#include "query/copy_query.h"
#include "query/requests.h"
#include "target/held_items.h"
#include "target/queryutil.h"

using namespace KxRpc;
using kxtest::by_name;
using kxtest::Bytes;
using kxtest::cat;
using kxtest::str;
using kxtest::words;

namespace {

class CopyQuery : public kxtest::HandlerTest {
protected:
    void SetUp() override {
        HandlerTest::SetUp();
        alice_ = login(L"alice");
    }
    void TearDown() override {
        for (StateItemPtr const &item : held_) remove_pointer_entry(item->oid());
        held_.clear();
        HandlerTest::TearDown();
    }
    // A copy of `source` to `dest`, leaving out `skip` and adding the held items `added`.
    kxtest::Outcome copy(Bytes const &source, std::string const &dest, std::vector<std::uint32_t> skip = {},
                         std::vector<StateItemPtr> added = {}) {
        Bytes b = cat(cat(cat(words({0, 0}), handle_of(alice_)), str("en_US")), words({1}));
        b = cat(cat(b, source), str(dest));
        b = cat(b, words({static_cast<std::uint32_t>(skip.size())}));
        for (std::uint32_t id : skip) b = cat(b, words({id}));
        b = cat(b, words({static_cast<std::uint32_t>(added.size())}));
        for (StateItemPtr const &item : added) b = cat(cat(b, words({37, 3})), handle_of(item));
        return call<CopyQueryArgs>(kxrpc_copy_query, cat(b, words({0, 0, 0, 0})));
    }
    std::shared_ptr<QueryItemStateItem> held(std::wstring const &name) {
        auto item = std::make_shared<QueryItemStateItem>(Nul::UString(name.c_str()), AD_BUCKET_FOLDER);
        add_pointer_entry(item);
        held_.push_back(item);
        return item;
    }
    std::uint32_t dbid_of(wchar_t const *uri) {
        AdBucketPtr b;
        QueryUtil::get_bucket_for_uri(AdSessionPtr(alice_->session()), Nul::UString(uri), b);
        return b ? static_cast<std::uint32_t>(b->GetDbId()) : 0;
    }
    static std::vector<std::string> paths(std::vector<CopyQueryResp::Entry> const &entries) {
        std::vector<std::string> out;
        for (auto const &e : entries) out.push_back(kxtest::u8(e.path) + "=" + std::to_string(e.type_code));
        return out;
    }

    std::shared_ptr<LoginSession> alice_;
    std::vector<StateItemPtr> held_;
};

} // namespace

TEST_F(CopyQuery, AFolderCopyHoldsItsSubtreeLessTheLeftOutItems) {
    kxtest::Outcome all = copy(by_name(37, {"Public Queries"}), "Personal Queries/All");
    ASSERT_TRUE(all.result) << all.message();
    std::vector<std::string> const copied = paths(static_cast<CopyQueryResp *>(all.result.get())->copied());
    EXPECT_EQ(copied.front(), "Personal Queries/All=37");
    EXPECT_NE(std::find(copied.begin(), copied.end(), "Personal Queries/All/Defects/Open Defects=36"), copied.end());
    // Report formats stay behind, their folder comes along.
    EXPECT_NE(std::find(copied.begin(), copied.end(), "Personal Queries/All/Report Formats=37"), copied.end());
    for (std::string const &p : copied) EXPECT_EQ(p.find("Summary Format"), std::string::npos) << p;

    kxtest::Outcome less =
        copy(by_name(37, {"Public Queries"}), "Personal Queries/All", {dbid_of(L"Public Queries/Defects")});
    ASSERT_TRUE(less.result) << less.message();
    for (std::string const &p : paths(static_cast<CopyQueryResp *>(less.result.get())->copied()))
        EXPECT_EQ(p.find("/Defects"), std::string::npos) << p;
}

TEST_F(CopyQuery, CopiesAreRegisteredByTheHandlerAndTheReplyOnlyWritesTheirHandles) {
    kxtest::Outcome one = copy(by_name(36, {"Public Queries/Defects/Open Defects"}), "Personal Queries/Held");
    ASSERT_TRUE(one.result) << one.message();
    auto const &entries = static_cast<CopyQueryResp *>(one.result.get())->copied();
    ASSERT_EQ(entries.size(), 1u);
    StateItemPtr const item = entries[0].item;
    held_.push_back(item);
    EXPECT_EQ(lookup_pointer_entry(item->oid()), item);
    // A stream that ends inside the handle fails the reply and leaves the registration as it was.
    bool ok = true;
    kxtest::encode([&](XDR *x) { return one.result->xdr(x); }, &ok, 8);
    EXPECT_FALSE(ok);
    EXPECT_EQ(lookup_pointer_entry(item->oid()), item);
    Bytes const reply = one.reply();
    EXPECT_EQ(Bytes(reply.begin() + 4, reply.begin() + 24), handle_of(item));
}

TEST_F(CopyQuery, AddedItemsMustLieUnderTheSource) {
    auto inside = held(L"Public Queries/Defects/New");
    kxtest::Outcome ok = copy(by_name(37, {"Public Queries/Defects"}), "Public Queries/Copy", {}, {inside});
    ASSERT_TRUE(ok.result) << ok.message();
    EXPECT_EQ(paths(static_cast<CopyQueryResp *>(ok.result.get())->new_or_modified()),
              std::vector<std::string>{"Public Queries/Copy/New=37"});
    // Only the prefix "Public Queries/Defects" is shared: not a path under the source.
    auto beside = held(L"Public Queries/DefectsOther/X");
    kxtest::Outcome refused = copy(by_name(37, {"Public Queries/Defects"}), "Public Queries/Copy", {}, {beside});
    EXPECT_EQ(refused.reason(), 4);
    EXPECT_NE(refused.message().find("does not lie under"), std::string::npos) << refused.message();
}

TEST_F(CopyQuery, AQueryCopyIsItsOwnDefinitionAndFailuresAreCopyErrors) {
    kxtest::Outcome one = copy(by_name(36, {"Public Queries/Defects/Open Defects"}), "Personal Queries/Mine");
    ASSERT_TRUE(one.result) << one.message();
    auto const &entries = static_cast<CopyQueryResp *>(one.result.get())->copied();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_FALSE(entries[0].item->is_startup()); // the source is a start-up query
    EXPECT_TRUE(entries[0].item->query_def());
    EXPECT_FALSE(entries[0].item->bucket());

    for (KXFaultKind kind : {KXFaultKind::PaMsgException, KXFaultKind::KXException}) {
        KXFaultInjector::Arm("CopyQueryDef", kxtest::fault(kind, 13240, L"no copies today"));
        kxtest::Outcome failed = copy(by_name(36, {"Public Queries/Defects/Open Defects"}), "Personal Queries/Mine");
        EXPECT_EQ(failed.reason(), 40);
        EXPECT_EQ(failed.message(), "TLQSV0807E Unexpected server error during copy of query: no copies today");
    }
    // The client's type code must match the item.
    EXPECT_EQ(copy(by_name(38, {"Public Queries/All Defects"}), "Personal Queries/X").reason(), 4);
}
