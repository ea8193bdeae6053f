// deliver_change_context in-process: batches of record, delete and dynamic-list operations
// against a private demo set, with their result records read back from the reply's bytes.
#include "change/deliver.h"
#include "change/deliver_attach.h"

#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "handler_env.h"
#include "kxproduct/lists.h"
#include "support/private_tmp.h"
#include "target/attachments.h"
#include "target/held_items.h"
#include "tesutil/fileutl.h"

using namespace KxRpc;
using kxtest::by_name;
using kxtest::Bytes;
using kxtest::cat;
using kxtest::str;
using kxtest::u8;
using kxtest::words;

namespace {

// One result record as the client reads it.
struct Record {
    int kind = -1;
    std::string first, second; // kind 1; kind 0: second is the message; kind 2: "type:dbid " each
    int reason = 0;            // kind 0
    std::vector<std::string> invalid_fields;
};

bool_t read_text(XDR *x, std::string &out) {
    char *p = nullptr;
    if (!xdr_string(x, &p, 1 << 20)) return FALSE;
    out = p;
    ::free(p);
    return TRUE;
}

// The records of a reply and whether its end marker came right after them.
std::vector<Record> read_reply(Bytes const &reply, bool *ended) {
    std::vector<Record> out;
    *ended = false;
    bool whole = kxtest::decode(reply, [&](XDR *x) {
        for (;;) {
            bool_t more = FALSE;
            if (!xdr_bool(x, &more)) return FALSE;
            if (!more) return *ended = true, TRUE;
            Record r;
            if (!xdr_int(x, &r.kind)) return FALSE;
            if (r.kind == 1) {
                if (!read_text(x, r.first) || !read_text(x, r.second)) return FALSE;
            } else if (r.kind == 0) {
                int resource = 0, causes = 0, extension = 0;
                if (!xdr_int(x, &r.reason) || !read_text(x, r.second) || !xdr_int(x, &resource) || resource != -1 ||
                    !xdr_int(x, &causes) || causes != 0 || !xdr_int(x, &extension))
                    return FALSE;
                if (extension == 1) {
                    int n = 0;
                    if (!xdr_int(x, &n)) return FALSE;
                    for (int i = 0; i < n; ++i) {
                        std::string name;
                        int tag = 0;
                        if (!read_text(x, name) || !xdr_int(x, &tag)) return FALSE;
                        r.invalid_fields.push_back(name);
                    }
                } else if (extension != 0) {
                    return FALSE;
                }
            } else if (r.kind == 2) {
                int n = 0;
                if (!xdr_int(x, &n)) return FALSE;
                for (int i = 0; i < n; ++i) {
                    int type = 0;
                    std::string dbid;
                    if (!xdr_int(x, &type) || !read_text(x, dbid)) return FALSE;
                    r.first += std::to_string(type) + ":" + dbid + " ";
                }
            } else {
                return FALSE;
            }
            out.push_back(r);
        }
    });
    if (!whole) *ended = false;
    return out;
}

class Deliver : public kxtest::HandlerTest {
protected:
    void SetUp() override {
        HandlerTest::SetUp();
        alice_ = login(L"alice");
        api_ = AdSessionPtr(alice_->session());
    }
    void TearDown() override {
        for (auto const &item : items_) remove_pointer_entry(item->oid());
        items_.clear();
        HandlerTest::TearDown();
    }

    AdEntityPtr stored(AdSessionPtr const &s, wchar_t const *name) {
        AdEntityPtr record;
        CString error;
        AdEntityMgr::Get(s)->LookupEntityWithStatus(LookupEntityDef(s, CString(L"Defect")), CString(name), record,
                                                    error, 1);
        return record;
    }
    // A registered record state item: the record opened for Modify with its headline set.
    std::shared_ptr<RecordStateItem> editing(wchar_t const *name, wchar_t const *headline) {
        AdEntityPtr record = stored(api_, name);
        EditEntity(record, CString(L"Modify"));
        EXPECT_EQ(record->SetFieldValue(CString(L"Headline"), CString(headline)), L"");
        auto item = std::make_shared<RecordStateItem>(record);
        add_pointer_entry(item);
        items_.push_back(item);
        return item;
    }
    std::string key(AdEntityPtr const &r) {
        return std::to_string(r->GetEntityDef()->GetDbId()) + "/" + std::to_string(r->GetDbId());
    }
    std::string headline(wchar_t const *name) {
        KXSmartPtr<KXSession> s = KXSession::Build();
        s->WebUserLogon(CString(L"bob"), CString(L"bob"), CString(), CString(), CString(L"ISSUE"), CString(L"KXDEMO"));
        return stored(AdSessionPtr(s->GetReal()), name)->GetFieldValue(CString(L"Headline")).GetValue().ToUtf8();
    }

    static Bytes op(int kind, Bytes const &operands) {
        return cat(words({1, static_cast<std::uint32_t>(kind)}), operands);
    }
    Bytes record_op(int kind, StateItemPtr const &item) { return op(kind, handle_of(item)); }
    static Bytes list_op(std::string const &list, int to_delete, std::vector<std::string> const &del,
                         std::vector<std::string> const &add) {
        Bytes b = cat(by_name(43, {list}), words({static_cast<std::uint32_t>(to_delete)}));
        for (auto const &v : del) b = cat(b, str(v));
        b = cat(b, words({static_cast<std::uint32_t>(add.size())}));
        for (auto const &v : add) b = cat(b, str(v));
        return op(11, b);
    }

    // Runs a batch on `session`; the records of the reply, which must end with its marker.
    std::vector<Record> batch(std::shared_ptr<LoginSession> const &session, std::vector<Bytes> const &ops) {
        Bytes body = header(session);
        for (auto const &o : ops) body = cat(body, o);
        body = cat(body, words({0}));
        last_ = call<DeliverChangeContextArgs>(kxrpc_deliver_change_context, body);
        if (!last_.result) return {};
        bool ended = false;
        reply_ = last_.reply();
        auto records = read_reply(reply_, &ended);
        EXPECT_TRUE(ended) << "the reply did not end with its marker";
        return records;
    }

    std::shared_ptr<LoginSession> alice_;
    AdSessionPtr api_;
    std::vector<StateItemPtr> items_;
    kxtest::Outcome last_;
    Bytes reply_;
};

} // namespace

TEST_F(Deliver, EmptyBatchAnswersOnlyTheEndMarker) {
    auto records = batch(alice_, {});
    ASSERT_TRUE(last_.result);
    EXPECT_TRUE(records.empty());
    EXPECT_EQ(reply_, words({0}));
}

TEST_F(Deliver, SecondOfThreeFailsAndTheThirdNeverRuns) {
    auto first = editing(L"ISSUE00000011", L"first of three");
    auto second = editing(L"ISSUE00000012", L"second of three");
    EXPECT_EQ(second->entity()->SetFieldValue(CString(L"Severity"), CString(L"9-Unknown")), L""); // invalid
    auto third = editing(L"ISSUE00000006", L"third of three");
    std::string const third_before = headline(L"ISSUE00000006");

    auto records = batch(alice_, {record_op(6, first), record_op(6, second), record_op(6, third)});
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].kind, 1);
    EXPECT_EQ(records[0].first, key(first->entity()));
    EXPECT_EQ(records[0].second, "");
    EXPECT_EQ(records[1].kind, 0);
    EXPECT_EQ(records[1].reason, 17);
    EXPECT_EQ(records[1].invalid_fields, std::vector<std::string>{"Severity"});

    EXPECT_EQ(headline(L"ISSUE00000011"), "first of three");
    EXPECT_EQ(lookup_pointer_entry(first->oid()), nullptr); // consumed
    // The failed and the unperformed records keep their edits and their handles.
    EXPECT_EQ(lookup_pointer_entry(second->oid()), second);
    EXPECT_TRUE(second->entity()->IsEditable());
    EXPECT_EQ(headline(L"ISSUE00000006"), third_before);
    EXPECT_TRUE(third->entity()->IsEditable());
}

TEST_F(Deliver, FailedCommitIsAFailureAndKeepsTheEdits) {
    // Bob commits the record after alice opened it: her commit finds it changed.
    auto item = editing(L"ISSUE00000013", L"alice's headline");
    KXSmartPtr<KXSession> bob = KXSession::Build();
    bob->WebUserLogon(CString(L"bob"), CString(L"bob"), CString(), CString(), CString(L"ISSUE"), CString(L"KXDEMO"));
    AdEntityPtr theirs = stored(AdSessionPtr(bob->GetReal()), L"ISSUE00000013");
    EditEntity(theirs, CString(L"Modify"));
    theirs->SetFieldValue(CString(L"Headline"), CString(L"bob's headline"));
    ASSERT_EQ(theirs->Commit(), L"");

    auto records = batch(alice_, {record_op(6, item)});
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].kind, 0);
    EXPECT_EQ(records[0].reason, 49);
    EXPECT_EQ(records[0].second.rfind("TLQSV0999E The attempt to save the record failed; got: ", 0), 0u)
        << records[0].second;
    EXPECT_NE(records[0].second.find("changed by another session"), std::string::npos);
    EXPECT_EQ(headline(L"ISSUE00000013"), "bob's headline");
    EXPECT_TRUE(item->entity()->IsEditable());
    EXPECT_EQ(item->entity()->GetFieldValue(CString(L"Headline")).GetValue(), L"alice's headline");
    EXPECT_EQ(lookup_pointer_entry(item->oid()), item);

    // Any other refusal of the product is reason 17 with the product's text.
    auto other = editing(L"ISSUE00000014", L"refused");
    KXFaultInjector::Arm("AdEntity::Commit:store",
                         kxtest::fault(KXFaultKind::PaMsgException, KX_MSG_COMMIT_FAILED, L"disk full"));
    records = batch(alice_, {record_op(6, other)});
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].reason, 17);
    EXPECT_EQ(records[0].second, "TLQSV0999E The attempt to save the record failed; got: disk full");
    // A commit with an information text reports it as the second text.
    KXFaultInjector::Arm("AdEntity::Commit", kxtest::fault(KXFaultKind::ErrorText, 0, L"note from the product"));
    records = batch(alice_, {record_op(6, other)});
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].kind, 1);
    EXPECT_EQ(records[0].second, "note from the product");
    EXPECT_EQ(headline(L"ISSUE00000014"), "refused");
}

TEST_F(Deliver, HandleConsumedEarlierInTheBatchFailsSafely) {
    auto item = editing(L"ISSUE00000007", L"once only");
    auto records = batch(alice_, {record_op(6, item), record_op(6, item)});
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].kind, 1);
    EXPECT_EQ(records[1].kind, 0);
    EXPECT_EQ(records[1].second, "TLQSV0748E expected 'non-null' object in dynamic_cast");
    EXPECT_EQ(headline(L"ISSUE00000007"), "once only");
    // The same for a record target given by the handle of a record committed before it.
    auto next = editing(L"ISSUE00000008", L"then deleted?");
    Bytes by_handle = cat(words({32, 3}), handle_of(next));
    records = batch(alice_, {record_op(6, next), op(7, cat(by_handle, by_name(40, {"Defect", "Delete"})))});
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[1].second, "TLQSV0748E expected 'non-null' object in dynamic_cast");
    EXPECT_TRUE(stored(api_, L"ISSUE00000008"));
}

TEST_F(Deliver, LockedDatabaseIsRefusedBeforeAnyOperation) {
    auto item = editing(L"ISSUE00000016", L"while locked");
    auto admin = KXAdminSession::Build();
    admin->Logon(CString(L"admin"), CString(L"admin"), CString(L"KXDEMO"));
    AdConnectionMgr::SetUserDatabaseLocked(AdSessionPtr(admin->GetReal()), CString(L"ISSUE"), TRUE);
    batch(alice_, {record_op(6, item)});
    AdConnectionMgr::SetUserDatabaseLocked(AdSessionPtr(admin->GetReal()), CString(L"ISSUE"), FALSE);
    EXPECT_FALSE(last_.result);
    EXPECT_EQ(last_.reason(), 31);
    EXPECT_EQ(KXFaultInjector::CallCount("AdEntity::Commit"), 0);
    EXPECT_EQ(lookup_pointer_entry(item->oid()), item);
}

TEST_F(Deliver, AReplyThatCannotBeWrittenIsAMarshallingErrorAndTheCommitStays) {
    auto item = editing(L"ISSUE00000011", L"before the reply");
    last_ = call<DeliverChangeContextArgs>(kxrpc_deliver_change_context,
                                           cat(cat(header(alice_), record_op(6, item)), words({0})));
    ASSERT_TRUE(last_.result);
    // The handler did the work: committed and consumed before a byte of the reply exists.
    EXPECT_EQ(headline(L"ISSUE00000011"), "before the reply");
    EXPECT_EQ(lookup_pointer_entry(item->oid()), nullptr);
    long const commits = KXFaultInjector::CallCount("AdEntity::Commit");
    // Streams that end before the marker, inside the kind and inside the first text.
    for (std::size_t capacity : {4u, 8u, 12u}) {
        EXPECT_THROW(kxtest::encode([&](XDR *x) { return last_.result->xdr(x); }, nullptr, capacity),
                     PropertyValueMarshallingException)
            << capacity;
    }
    EXPECT_EQ(KXFaultInjector::CallCount("AdEntity::Commit"), commits); // nothing performed again
    // The reply holds what the batch reported: written whole, it names the committed record.
    bool ended = false;
    auto records = read_reply(last_.reply(), &ended);
    EXPECT_TRUE(ended);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].kind, 1);
    EXPECT_EQ(records[0].first, key(item->entity()));
}

TEST_F(Deliver, DeleteRecordAnswersItsKeys) {
    AdEntityPtr gone = stored(api_, L"ISSUE00000017");
    std::string const want = key(gone);
    auto records =
        batch(alice_, {op(7, cat(by_name(32, {"Defect", "ISSUE00000017"}), by_name(40, {"Defect", "Delete"})))});
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].kind, 1);
    EXPECT_EQ(records[0].first, want);
    EXPECT_EQ(records[0].second, "");
    EXPECT_FALSE(stored(api_, L"ISSUE00000017"));
    // Deleting with an action that deletes nothing is refused by the product.
    records = batch(alice_, {op(7, cat(by_name(32, {"Defect", "ISSUE00000018"}), by_name(40, {"Defect", "Modify"})))});
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].reason, 40);
    EXPECT_EQ(records[0].second.rfind("TLQSV0757E Unexpected server error during deliver of temporary record: ", 0),
              0u);
    EXPECT_TRUE(stored(api_, L"ISSUE00000018"));
}

TEST_F(Deliver, DynamicListsNeedThePrivilegeAndChangeAtOnce) {
    auto records = batch(alice_, {list_op("Platforms", -1, {}, {"Amiga"})});
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].reason, 31);
    EXPECT_EQ(records[0].second.rfind("TLQSV0796E Insufficient privilege: ", 0), 0u) << records[0].second;

    auto carol = login(L"carol");
    AdSessionPtr carol_api(carol->session());
    records =
        batch(carol, {list_op("Platforms", -1, {}, {"Amiga", "BeOS"}), list_op("Platforms", 1, {"Amiga"}, {"OS/2"})});
    ASSERT_EQ(records.size(), 2u);
    std::string const dbid = std::to_string(LookupListDef(carol_api, CString(L"Platforms"))->GetDbId());
    EXPECT_EQ(records[0].first, dbid);
    EXPECT_EQ(records[1].first, dbid);
    std::vector<std::wstring> values;
    for (CString const &v : LookupListDef(carol_api, CString(L"Platforms"))->GetValues()) values.push_back(v.str());
    EXPECT_EQ(values, (std::vector<std::wstring>{L"BeOS", L"OS/2"}));

    // Deleting a value the list does not hold changes nothing and says why.
    records = batch(carol, {list_op("Platforms", 1, {"Amiga"}, {"Irix"})});
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].reason, 40);
    EXPECT_EQ(records[0].second.rfind("TLQSV0792E Could not edit list: ", 0), 0u);
    EXPECT_EQ(LookupListDef(carol_api, CString(L"Platforms"))->GetValues().size(), 2u);
}

TEST_F(Deliver, TraceLinesNameTheCallAndEachStep) {
    auto item = editing(L"ISSUE00000019", L"traced");
    kxtest::DiagCapture diag;
    AdDiagnostic::Configure("66=1");
    batch(alice_, {record_op(6, item)});
    std::string const handle = u8(item->oid().dense_str());
    bool call = false, step = false;
    for (auto const &line : diag.lines()) {
        if (line.find("Info: (kxrpc_deliver_change_context ") != std::string::npos &&
            line.find("(ops_size:1)") != std::string::npos)
            call = true;
        if (line.find("DeliverChangeContextResp::perform_record_op: (item:" + handle + " :: op:6)") !=
            std::string::npos)
            step = true;
    }
    EXPECT_TRUE(call);
    EXPECT_TRUE(step);
}

namespace {

class DeliverQueries : public Deliver {
protected:
    AdBucketPtr item_at(wchar_t const *path) {
        AdWorkspaceMgrPtr ws = GetWorkspaceMgr(api_);
        ws->RefreshEntireWorkspace(1);
        return ws->LookupBucketByPathName(0, CString(path));
    }
    std::shared_ptr<QueryItemStateItem> registered_item(std::shared_ptr<QueryItemStateItem> item) {
        add_pointer_entry(item);
        items_.push_back(item);
        return item;
    }
    // A new query over Defect showing the given field.
    std::shared_ptr<QueryItemStateItem> new_query(wchar_t const *field) {
        AdQueryDefPtr def = BuildQueryDef(api_, LookupEntityDef(api_, CString(L"Defect")), 0);
        def->BuildField(CString(field));
        return registered_item(
            std::make_shared<QueryItemStateItem>(Nul::UString(L"new"), def, AdBucketPtr(), AD_BUCKET_QUERY));
    }
    Bytes make_op(std::string const &parent, std::string const &name, StateItemPtr const &item, int type,
                  bool overwrite) {
        return op(0, cat(cat(cat(str(parent), str(name)), handle_of(item)),
                         words({static_cast<std::uint32_t>(type), overwrite ? 1u : 0u})));
    }
    static Bytes delete_op(std::string const &path, bool recursive) {
        return op(4, cat(by_name(36, {path}), words({recursive ? 1u : 0u})));
    }
};

} // namespace

TEST_F(DeliverQueries, ModifyWritesTheDefinitionAndTheStartUpMark) {
    AdBucketPtr stored = item_at(L"Public Queries/Defects/Open Defects");
    ASSERT_TRUE(stored);
    ASSERT_TRUE(AdBucketMgr::IsQueryStartUp(stored));
    AdQueryDefPtr def = CopyQueryDef(api_, GetQueryDef(api_, stored));
    def->BuildField(CString(L"Severity"));
    auto item = registered_item(std::make_shared<QueryItemStateItem>(
        Nul::UString(L"Public Queries/Defects/Open Defects"), def, stored, stored->GetType()));
    item->set_is_startup(false);
    auto records = batch(alice_, {op(2, cat(handle_of(item), words({36})))});
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].kind, 1);
    EXPECT_EQ(records[0].first, std::to_string(stored->GetDbId()));
    AdBucketPtr now = item_at(L"Public Queries/Defects/Open Defects");
    EXPECT_EQ(now->GetData(), def->GetDefinition());
    EXPECT_FALSE(AdBucketMgr::IsQueryStartUp(now));
    EXPECT_EQ(lookup_pointer_entry(item->oid()), nullptr);
}

TEST_F(DeliverQueries, OverwriteReplacesTheOldItemOnlyOnceTheNewOneIsWritten) {
    std::int64_t const old_dbid = item_at(L"Public Queries/Defects/Defects by Severity")->GetDbId();
    auto item = new_query(L"Severity");
    auto records = batch(alice_, {make_op("Public Queries/Defects", "Defects by Severity", item, 36, false)});
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].reason, 73);
    EXPECT_EQ(records[0].second,
              "TLQSV0734E The query resource with name 'Public Queries/Defects/Defects by Severity' already exists");

    KXFaultInjector::Arm("AdWorkspaceMgr::BuildBucket:store",
                         kxtest::fault(KXFaultKind::KXException, KX_MSG_COMMIT_FAILED, L"disk gone"));
    records = batch(alice_, {make_op("Public Queries/Defects", "Defects by Severity", item, 36, true)});
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].reason, 40);
    EXPECT_EQ(records[0].second, "TLQSV0735E Failed to deliver query resource "
                                 "'Public Queries/Defects/Defects by Severity'; got error: 'disk gone'");
    EXPECT_EQ(item_at(L"Public Queries/Defects/Defects by Severity")->GetDbId(), old_dbid);

    records = batch(alice_, {make_op("Public Queries/Defects", "Defects by Severity", item, 36, true)});
    ASSERT_EQ(records.size(), 1u);
    ASSERT_EQ(records[0].kind, 1);
    AdBucketPtr now = item_at(L"Public Queries/Defects/Defects by Severity");
    EXPECT_EQ(records[0].first, std::to_string(now->GetDbId()));
    EXPECT_NE(now->GetDbId(), old_dbid);
    EXPECT_EQ(now->GetType(), AD_BUCKET_QUERY);
    EXPECT_EQ(now->GetData(), item->query_def()->GetDefinition());
    // Without the right to write the folder, nothing is made.
    records = batch(login(L"dave"), {make_op("Public Queries/Defects", "Dave's", new_query(L"Headline"), 36, false)});
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].reason, 40);
    EXPECT_FALSE(item_at(L"Public Queries/Defects/Dave's"));
}

TEST_F(DeliverQueries, FoldersAreMadeAndDeletedWithWhatTheyHold) {
    auto folder = registered_item(std::make_shared<QueryItemStateItem>(Nul::UString(L"Scratch"), AD_BUCKET_FOLDER));
    auto query = new_query(L"Headline");
    auto records = batch(alice_, {make_op("Public Queries/Defects", "Scratch", folder, 37, false),
                                  make_op("Public Queries/Defects/Scratch", "Inside", query, 36, false)});
    ASSERT_EQ(records.size(), 2u);
    ASSERT_EQ(records[1].kind, 1);
    AdBucketPtr made = item_at(L"Public Queries/Defects/Scratch");
    ASSERT_TRUE(made);
    EXPECT_EQ(records[0].first, std::to_string(made->GetDbId()));
    std::string const inside = records[1].first;

    records = batch(alice_, {delete_op("Public Queries/Defects/Scratch", false)});
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].reason, 51);
    EXPECT_EQ(records[0].second, "TLQSV0738E Illegal to DELETE a non-empty queryfolder");
    EXPECT_TRUE(item_at(L"Public Queries/Defects/Scratch"));

    // The deleted items are listed as (wire resource type, dbid), the folder first.
    batch(alice_, {delete_op("Public Queries/Defects/Scratch", true)});
    Bytes want = cat(cat(words({1, 2, 2, 36}), str(std::to_string(made->GetDbId()))), cat(words({35}), str(inside)));
    EXPECT_EQ(reply_, cat(want, words({0})));
    EXPECT_FALSE(item_at(L"Public Queries/Defects/Scratch"));

    records = batch(alice_, {delete_op("Public Queries/Defects/Scratch", true)});
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].first, "-1");
    EXPECT_EQ(records[0].second, "");
}

// ---- attachment operations (kinds 8 to 10), on a set of their own

namespace {

class DeliverAttachments : public Deliver {
protected:
    AttachmentFolder folder_of(AdEntityPtr const &record) {
        return AttachmentFolder(record, Nul::UString(L"Attachments"),
                                record->GetEntityDef()->LookupFieldDef(CString(L"Attachments"))->GetDbId());
    }
    // An upload as make_attachment leaves it: a server file in a private directory, or the
    // client's own file.
    std::shared_ptr<AttachmentStateItem> upload(AdEntityPtr const &record, std::string const &bytes, bool server_file,
                                                std::string const &client_path = std::string()) {
        Nul::UString path = server_file ? Nul::Fileutl::create_tmp_file(Nul::UString(L"notes.txt"), 0)
                                        : Nul::UString(client_path.c_str(), "UTF-8");
        std::ofstream(u8(path), std::ios::binary) << bytes;
        auto attachment = std::make_unique<Attachment>(folder_of(record), Nul::UString(L"notes.txt"), 0);
        attachment->set_file_path(path);
        attachment->set_description(Nul::UString(L"meeting notes"));
        return held(std::make_shared<AttachmentStateItem>(std::move(attachment), server_file));
    }
    template <class Item>
    std::shared_ptr<Item> held(std::shared_ptr<Item> item) {
        add_pointer_entry(item);
        items_.push_back(item);
        return item;
    }
    std::vector<std::string> entries(wchar_t const *name) {
        std::vector<std::string> out;
        AdFieldInfo const field = stored(api_, name)->GetFieldValue(CString(L"Attachments"));
        for (CString const &e : field.GetValueAsList()) out.push_back(e.ToUtf8());
        return out;
    }
    Bytes attach_op(int kind, StateItemPtr const &record, StateItemPtr const &attachment) {
        return op(kind, cat(handle_of(record), handle_of(attachment)));
    }
    std::string keys(AdEntityPtr const &r, std::int64_t dbid) {
        return key(r) + "/" + std::to_string(r->GetEntityDef()->LookupFieldDef(CString(L"Attachments"))->GetDbId()) +
               "/" + std::to_string(dbid);
    }
};

bool exists(Nul::UString const &path) { return ::access(u8(path).c_str(), F_OK) == 0; }

} // namespace

TEST_F(DeliverAttachments, AddedWithTheRecordsCommitAndTheUploadFileGoesWithTheRecord) {
    auto record = editing(L"ISSUE00000002", L"with notes");
    auto att = upload(record->entity(), "first line\nsecond line\n", true);
    Nul::UString const path = att->file_path();
    auto records = batch(alice_, {attach_op(8, record, att), record_op(6, record)});
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].kind, 1);
    EXPECT_EQ(records[0].first, keys(record->entity(), 0)); // stored by the record's commit
    EXPECT_EQ(records[0].second, "");
    EXPECT_EQ(records[1].first, key(record->entity()));
    auto stored_entries = entries(L"ISSUE00000002");
    ASSERT_EQ(stored_entries.size(), 1u);
    EXPECT_NE(stored_entries[0].find("\nnotes.txt\n23\nmeeting notes"), std::string::npos) << stored_entries[0];
    // Both items are consumed; the upload file went to the record item and goes with it.
    EXPECT_EQ(lookup_pointer_entry(att->oid()), nullptr);
    EXPECT_EQ(lookup_pointer_entry(record->oid()), nullptr);
    EXPECT_TRUE(att->file_path().empty());
    EXPECT_TRUE(exists(path));
    // The last holders of the record item: the fixture and the batch's request.
    items_.clear();
    record.reset();
    last_ = kxtest::Outcome();
    EXPECT_FALSE(exists(path));
}

TEST_F(DeliverAttachments, AnAttachmentAlreadyAddedToTheEditIsNotAddedAgain) {
    auto record = editing(L"ISSUE00000004", L"added at upload");
    auto att = upload(record->entity(), "uploaded into the edit", true);
    Nul::UString const path = att->file_path();
    long const adds = KXFaultInjector::CallCount("AdEntity::AddAttachmentFieldValue");
    // What the upload's handler does when the record is being edited.
    add_to_edit(*att, *record);
    EXPECT_EQ(KXFaultInjector::CallCount("AdEntity::AddAttachmentFieldValue"), adds + 1);
    EXPECT_EQ(att->added_to().get(), record->entity().get());
    // Both hold the file now: the edit reads it at commit, the handle until it goes.
    EXPECT_EQ(att->file_path(), path);
    EXPECT_EQ(record->temp_files(), std::vector<Nul::UString>{path});
    add_to_edit(*att, *record);
    EXPECT_EQ(KXFaultInjector::CallCount("AdEntity::AddAttachmentFieldValue"), adds + 1);

    auto records = batch(alice_, {attach_op(8, record, att), record_op(6, record)});
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].kind, 1);
    EXPECT_EQ(records[0].first, keys(record->entity(), 0));
    EXPECT_EQ(records[1].kind, 1);
    EXPECT_EQ(KXFaultInjector::CallCount("AdEntity::AddAttachmentFieldValue"), adds + 1);
    ASSERT_EQ(entries(L"ISSUE00000004").size(), 1u);
    EXPECT_TRUE(exists(path)); // until the record item goes
}

TEST_F(DeliverAttachments, AnAttachmentAddedToTheEditIsCommittedWithTheRecordAlone) {
    auto record = editing(L"ISSUE00000031", L"record only");
    auto att = upload(record->entity(), "kept", true);
    add_to_edit(*att, *record);
    auto records = batch(alice_, {record_op(6, record)});
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].kind, 1);
    auto stored_entries = entries(L"ISSUE00000031");
    ASSERT_EQ(stored_entries.size(), 1u);
    EXPECT_NE(stored_entries[0].find("\nnotes.txt\n4\nmeeting notes"), std::string::npos) << stored_entries[0];
}

TEST_F(DeliverAttachments, AClientsOwnFileIsNeverDeleted) {
    std::string const mine = dir_ + "/client-notes.txt";
    auto record = editing(L"ISSUE00000003", L"client file");
    auto att = upload(record->entity(), "abc", false, mine);
    auto records = batch(alice_, {attach_op(8, record, att), record_op(6, record)});
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[1].kind, 1);
    ASSERT_EQ(entries(L"ISSUE00000003").size(), 1u);
    items_.clear();
    record.reset();
    att.reset();
    last_ = kxtest::Outcome();
    EXPECT_EQ(::access(mine.c_str(), F_OK), 0);
}

TEST_F(DeliverAttachments, DescriptionAndDeleteOfStoredAttachments) {
    // Items made over another copy of the record, as create_temp makes them.
    AdEntityPtr copy = stored(api_, L"ISSUE00000001");
    AttachmentFolder folder = folder_of(copy);
    std::unique_ptr<Attachment> crash = folder.find(Nul::UString(L"crash.log"));
    ASSERT_TRUE(crash);
    std::int64_t const crash_dbid = crash->dbid(), steps_dbid = folder.find(Nul::UString(L"steps.txt"))->dbid();
    crash->set_description(Nul::UString(L"the log, annotated"));
    auto att = held(std::make_shared<AttachmentStateItem>(std::move(crash)));
    auto record = editing(L"ISSUE00000001", L"described");
    Bytes steps = by_name(44, {"Defect", "ISSUE00000001", "Attachments", "steps.txt"});
    auto records = batch(alice_, {attach_op(9, record, att), record_op(6, record), op(10, steps)});
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].first, keys(record->entity(), crash_dbid));
    EXPECT_EQ(records[2].kind, 1);
    EXPECT_EQ(records[2].first, keys(record->entity(), steps_dbid));
    auto now = entries(L"ISSUE00000001");
    ASSERT_EQ(now.size(), 1u);
    EXPECT_EQ(now[0], std::to_string(crash_dbid) + "\ncrash.log\n36\nthe log, annotated");
    EXPECT_EQ(lookup_pointer_entry(att->oid()), nullptr);
    // The deleted attachment is gone: a second delete names nothing and fails (a failure record
    // that names the resource).
    Bytes body = cat(header(alice_), cat(op(10, steps), words({0})));
    last_ = call<DeliverChangeContextArgs>(kxrpc_deliver_change_context, body);
    ASSERT_TRUE(last_.result);
    Bytes const reply = last_.reply();
    ASSERT_GE(reply.size(), 8u);
    EXPECT_EQ(Bytes(reply.begin(), reply.begin() + 8), words({1, 0}));
    EXPECT_EQ(entries(L"ISSUE00000001").size(), 1u);
}

TEST_F(DeliverAttachments, RefusalsAreReportedAndKeepTheItems) {
    auto record = editing(L"ISSUE00000013", L"refused");
    auto att = upload(record->entity(), "x", true);
    KXFaultInjector::Arm("AdEntity::AddAttachmentFieldValue", kxtest::fault(KXFaultKind::ErrorText, 0, L"no room"));
    auto records = batch(alice_, {attach_op(8, record, att), record_op(6, record)});
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].reason, 40);
    EXPECT_EQ(records[0].second, "TLQSV0772E Cannot make the attachment: no room");
    EXPECT_EQ(lookup_pointer_entry(att->oid()), att);
    EXPECT_TRUE(exists(att->file_path()));

    // A product exception is an unexpected failure, converted and deleted.
    KXFaultInjector::Arm("AdEntity::AddAttachmentFieldValue", kxtest::fault(KXFaultKind::CException, 0, L"boom"));
    records = batch(alice_, {attach_op(8, record, att)});
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].reason, 40);
    EXPECT_NE(records[0].second.find("boom"), std::string::npos);

    // The attachment of another record than the operation's is refused.
    auto elsewhere = upload(stored(api_, L"ISSUE00000009"), "y", true);
    records = batch(alice_, {attach_op(8, record, elsewhere)});
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].reason, 40);
    EXPECT_EQ(lookup_pointer_entry(elsewhere->oid()), elsewhere);

    auto described = std::make_unique<Attachment>(folder_of(record->entity()), Nul::UString(L"a.txt"), 7);
    described->set_kx_name_id(Nul::UString(L"7\na.txt\n1\n"));
    auto item = held(std::make_shared<AttachmentStateItem>(std::move(described)));
    KXFaultInjector::Arm("AdEntity::SetAttachmentFieldDescription",
                         kxtest::fault(KXFaultKind::ErrorText, 0, L"locked"));
    records = batch(alice_, {attach_op(9, record, item)});
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].second, "TLQSV0973E Cannot modify the attachment: locked");
    EXPECT_EQ(lookup_pointer_entry(item->oid()), item);

    std::size_t const before = entries(L"ISSUE00000001").size();
    KXFaultInjector::Arm("AdEntity::DeleteAttachmentFieldValue", kxtest::fault(KXFaultKind::ErrorText, 0, L"kept"));
    records = batch(alice_, {op(10, by_name(44, {"Defect", "ISSUE00000001", "Attachments", "crash.log"}))});
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].second, "TLQSV0772E Cannot make the attachment: kept");
    EXPECT_EQ(entries(L"ISSUE00000001").size(), before);
    // An attachment item given as the record operand is refused like any wrong handle.
    records = batch(alice_, {attach_op(8, att, att)});
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].kind, 0);
}

TEST_F(DeliverAttachments, TraceLinesNameEachStep) {
    auto record = editing(L"ISSUE00000009", L"traced");
    auto att = upload(record->entity(), "t", true);
    kxtest::DiagCapture diag;
    AdDiagnostic::Configure("66=1");
    batch(alice_, {attach_op(8, record, att)});
    std::string const want = "DeliverChangeContextResp::make_attachment: (item:" + u8(att->oid().dense_str()) +
                             " :: rec_item:" + u8(record->oid().dense_str()) + " :: op:8)";
    bool found = false;
    for (auto const &line : diag.lines()) found = found || line.find(want) != std::string::npos;
    EXPECT_TRUE(found) << want;
}
