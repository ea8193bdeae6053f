// fetch_props of 20 properties of the record type "Defect", and of 20 of the record
// ISSUE00000001, over one libtirpc connection to the real program, and the same 20 reads made
// in-process through the product. The RPC benchmarks report their time as a multiple of the
// in-process one ("x_in_process").
#include <benchmark/benchmark.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <memory>
#include <string>

#include "kxproduct/metadata.h"
#include "kxproduct/session.h"
#include "props/replies.h"
#include "props_client.h"
#include "server_process.h"
#include "target/login_session.h"
#include "target/target.h"

namespace {

// Identity, kind, flags, the definition lists, states, members and forms.
std::vector<e2e::Prop> const twenty = {{1061, {}}, {236, {}}, {578, {}}, {385, {}}, {576, {}}, {515, {}}, {490, {}},
                                       {512, {}},  {342, {}}, {516, {}}, {261, {}}, {297, {}}, {442, {}}, {456, {}},
                                       {522, {}},  {558, {}}, {637, {}}, {642, {}}, {549, {}}, {699, {}}};

// Of the record ISSUE00000001: its names and ids, state, headline, duplicates, actions, forms.
// (The creation date is left out: the server finds it by a query of the history, which the
// in-process reads do not make.)
std::vector<e2e::Prop> const record_twenty = {
    {1061, {}}, {385, {}}, {576, {}}, {578, {}}, {695, {}}, {1070, {}}, {1068, {}}, {635, {}}, {488, {}}, {487, {}},
    {460, {}},  {507, {}}, {526, {}}, {387, {}}, {319, {}}, {313, {}},  {414, {}},  {588, {}}, {589, {}}, {1160, {}}};

// Seconds per iteration of the in-process reads, measured first.
double in_process_seconds = 0;
double record_in_process_seconds = 0;

template <class T>
std::size_t sum_dbids(AdIterator<T> const &items) {
    std::size_t sum = 0;
    for (int i = 0; i < items.GetLength(); ++i) sum += static_cast<std::size_t>(items.GetItem(i)->GetDbId());
    return sum;
}

// A user session of a fresh demo set under `dir`.
KXSmartPtr<KXSession> demo_logon(e2e::TempDir const &dir) {
    ::setenv("KX_PRODUCT_DATA", dir.file("data").c_str(), 1);
    KXSmartPtr<KXSession> session = KXSession::Build();
    session->WebUserLogon(CString(L"alice"), CString(L"alice"), CString(), CString(), CString(L"ISSUE"),
                          CString(L"KXDEMO"));
    return session;
}

// Times `reads(api)` on a fresh demo set's session; its seconds per iteration go to `*seconds`.
template <class Reads>
void in_process(benchmark::State &state, double *seconds, Reads reads) {
    e2e::TempDir dir;
    KXSmartPtr<KXSession> session = demo_logon(dir);
    AdSessionPtr api = session->GetReal();
    auto start = std::chrono::steady_clock::now();
    for (auto _ : state)
        if (!reads(api)) {
            state.SkipWithError("no record");
            break;
        }
    double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (state.iterations() > 0) *seconds = elapsed / static_cast<double>(state.iterations());
    session->Unbuild();
}

void InProcess(benchmark::State &state) {
    in_process(state, &in_process_seconds, [](AdSessionPtr const &api) {
        // The same reads the server makes for the 20 properties, from the lookup on.
        AdEntityDef *def = LookupEntityDefOrFamily(api, CString(L"Defect"));
        benchmark::DoNotOptimize(def->GetName());  // 1061, 236, 578
        benchmark::DoNotOptimize(def->GetDbId());  // 385, 576
        benchmark::DoNotOptimize(def->GetType());  // 515
        benchmark::DoNotOptimize(def->IsFamily()); // 490
        benchmark::DoNotOptimize(def->IsSecurityContext());
        benchmark::DoNotOptimize(def->CanBeSecurityContext());
        benchmark::DoNotOptimize(api->CanSubmit(def));
        benchmark::DoNotOptimize(api->GetEntityDefsEnabledForPackage(CString(L"Zarminflow"), CString()));
        benchmark::DoNotOptimize(sum_dbids(def->GetActionDefs()));
        benchmark::DoNotOptimize(sum_dbids(def->GetFieldDefs()));
        benchmark::DoNotOptimize(sum_dbids(def->GetFormDefs()));
        benchmark::DoNotOptimize(sum_dbids(def->GetUniqueKeyFieldDefs()));
        benchmark::DoNotOptimize(sum_dbids(def->GetHookDefs()));
        benchmark::DoNotOptimize(def->GetStateNames().size());
        benchmark::DoNotOptimize(sum_dbids(def->GetFamilyMembers()));
        benchmark::DoNotOptimize(def->GetDefaultFormDef());
        AdActionDef *submit = def->LookupActionDef(static_cast<int>(AD_ACTION_SUBMIT));
        benchmark::DoNotOptimize(submit ? submit->GetFormDef() : nullptr);
        return true;
    });
}

// The product reads behind the 20 record properties: the lookup by name, then the record's own.
void RecordInProcess(benchmark::State &state) {
    in_process(state, &record_in_process_seconds, [](AdSessionPtr const &api) {
        AdEntityDef *def = LookupEntityDefOrFamily(api, CString(L"Defect"));
        AdEntityPtr record;
        CString error;
        AdEntityMgr::Get(api)->LookupEntityWithStatus(def, CString(L"ISSUE00000001"), record, error, 1);
        if (!record) return false;
        benchmark::DoNotOptimize(record->GetDisplayName()); // 1061, 578
        benchmark::DoNotOptimize(record->GetDbId());        // 385, 576
        benchmark::DoNotOptimize(record->GetStateName());   // 695
        benchmark::DoNotOptimize(record->GetDisplayName()); // 1070
        benchmark::DoNotOptimize(record->GetFieldValue(CString(L"Headline")).GetValue());
        benchmark::DoNotOptimize(record->GetType());                 // 635
        benchmark::DoNotOptimize(record->IsEditable());              // 488
        benchmark::DoNotOptimize(record->IsDuplicate());             // 487
        benchmark::DoNotOptimize(record->HasDuplicates());           // 460
        benchmark::DoNotOptimize(record->IsOriginal());              // 507
        benchmark::DoNotOptimize(def->GetActionDefs().GetLength());  // 526
        benchmark::DoNotOptimize(record->GetDefaultActionName());    // 387
        benchmark::DoNotOptimize(def->GetFieldDefs().GetLength());   // 319
        benchmark::DoNotOptimize(record->GetAllDuplicates().size()); // 313
        benchmark::DoNotOptimize(record->GetDuplicates().size());    // 414
        benchmark::DoNotOptimize(record->GetOriginalId());           // 588, 589
        benchmark::DoNotOptimize(record->GetViewFormName());         // 1160
        return true;
    });
}

// The server's own part without the transport: the property object made and the reply encoded
// into memory.
void ReplyIntoMemory(benchmark::State &state) {
    e2e::TempDir dir;
    KXSmartPtr<KXSession> session = demo_logon(dir);
    auto login = std::make_shared<KxRpc::LoginSession>(session, Nul::UString(L"KXDEMO/ISSUE"), Nul::UString());
    std::vector<KxRpc::PropRequest> requested;
    for (e2e::Prop const &p : twenty) requested.push_back(KxRpc::PropRequest{p.id, {}});
    std::vector<char> buffer(1 << 16);
    for (auto _ : state) {
        KxRpc::TargetResourceArg target(KxRpc::TT_RECTYPE, Nul::UString(L"Defect"));
        KxRpc::FetchPropsIter reply(KxRpc::PropsResource::getResource(login.get(), {}, target, KxRpc::TT_RECTYPE),
                                    requested);
        XDR x;
        xdrmem_create(&x, buffer.data(), static_cast<u_int>(buffer.size()), XDR_ENCODE);
        if (!reply.xdr(&x)) state.SkipWithError("encoding failed");
        xdr_destroy(&x);
    }
}

// fetch_props of `props` of the target `names` (type `type`) over one connection, reported as a
// multiple of `*reference` seconds per call.
void over_one_connection(benchmark::State &state, int type, std::vector<std::string> const &names,
                         std::vector<e2e::Prop> const &props, double const *reference) {
    e2e::TempDir dir;
    e2e::ServerProcess server({"-worker_threads", "2"}, dir.path(), {"KX_PRODUCT_DATA=" + dir.file("data")});
    if (!server.start()) {
        state.SkipWithError("the server did not start");
        return;
    }
    {
        e2e::Client client(server.port());
        e2e::Login login;
        if (!client.ok() || e2e::call_login(client, login) != RPC_SUCCESS || login.failed) {
            state.SkipWithError("no login");
        } else {
            auto start = std::chrono::steady_clock::now();
            for (auto _ : state) {
                e2e::Fetch fetch;
                fetch.session = login.handle;
                fetch.type = type;
                fetch.names = names;
                fetch.props = props;
                if (e2e::call_fetch(client, fetch) != RPC_SUCCESS || fetch.failed ||
                    fetch.entries.size() != props.size()) {
                    state.SkipWithError("fetch_props failed");
                    break;
                }
            }
            double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            if (state.iterations() > 0 && *reference > 0)
                state.counters["x_in_process"] = elapsed / static_cast<double>(state.iterations()) / *reference;
            state.counters["calls_per_s"] =
                benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
        }
    }
    server.signal(SIGTERM);
    server.wait();
}

void OverOneConnection(benchmark::State &state) {
    over_one_connection(state, 31, {"Defect"}, twenty, &in_process_seconds);
}

void RecordOverOneConnection(benchmark::State &state) {
    over_one_connection(state, 32, {"Defect", "ISSUE00000001"}, record_twenty, &record_in_process_seconds);
}

} // namespace

// In this order: the reference first.
BENCHMARK(InProcess)->UseRealTime();
BENCHMARK(ReplyIntoMemory)->UseRealTime();
BENCHMARK(OverOneConnection)->UseRealTime();
BENCHMARK(RecordInProcess)->UseRealTime();
BENCHMARK(RecordOverOneConnection)->UseRealTime();

int main(int argc, char **argv) {
    ::setenv("KXRPC_BIN", KXRPC_BIN, 0);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
