// find_record's reply over a real record of the demo set.
#include "query/replies.h"

#include "handler_env.h"
#include "kxproduct/kxproduct.h"

using namespace KxRpc;

namespace {

using FindRecord = kxtest::HandlerTest;

TEST_F(FindRecord, TheReplyWritesTheRecordByDbids) {
    AdSessionPtr session(login(L"alice")->session());
    AdEntityPtr record;
    CString error;
    ASSERT_EQ(AdEntityMgr::Get(session)->LookupEntityWithStatus(LookupEntityDefOrFamily(session, L"Defect"),
                                                                L"ISSUE00000001", record, error, 1),
              AD_LOOKUP_FOUND);
    FindRecordResp found(record);
    bool ok = false;
    kxtest::Bytes b = kxtest::encode([&](XDR *x) { return found.xdr(x); }, &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(b, kxtest::words({1, 2, static_cast<std::uint32_t>(record->GetEntityDef()->GetDbId()),
                                static_cast<std::uint32_t>(record->GetDbId())}));
    FindRecordResp none{AdEntityPtr()};
    EXPECT_EQ(kxtest::encode([&](XDR *x) { return none.xdr(x); }, &ok), kxtest::words({0}));
    EXPECT_TRUE(ok);
}

} // namespace
