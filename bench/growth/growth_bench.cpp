// The per-call cost of a record's calls as a set grows. Every round makes the same call once on
// each of three sets in turn (1,000 records; 100,000; 100,000 with 50,000 attachments of 4 KiB),
// so the machine's load falls on each alike, and the program reports each set's median and the
// growth ratios measured in that run. The sets are made once, in a temporary directory removed at
// exit. A second benchmark times making a set from its definition at two sizes, also in turn.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "kxproduct/kxproduct.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kSmall = 1000, kLarge = 100000, kAttachments = 50000, kAttachmentBytes = 4096;
// Records the calls visit, the same in every set: the first of each, which carry attachments in
// the third set.
constexpr int kVisited = 1000;

// A tracker's definition with `records` Defects, each referring to one of ten projects.
std::string definition(const std::string &name, int records) {
    std::string xml = "<kxdefinition name=\"" + name + R"("><database name="DB"/>
  <user login="admin" password="admin" privileges="super-user"/>
  <record-type name="Project"><field name="Name" type="short-string" unique-key="1"/>
    <action name="Submit" type="submit"/></record-type>
  <record-type name="Defect"><field name="Headline" type="short-string"/><field name="Owner" type="short-string"/>
    <field name="Estimate" type="int"/><field name="Project" type="reference" reference="Project"/>
    <field name="Attachments" type="attachment-list"/>
    <state name="Submitted"/><state name="Opened"/>
    <action name="Submit" type="submit" to="Submitted"/><action name="Modify" type="modify"/>
    <action name="Open" type="change-state" from="Submitted" to="Opened"/></record-type>
)";
    for (int p = 0; p < 10; ++p)
        xml += "<record type=\"Project\"><value field=\"Name\">P" + std::to_string(p) + "</value></record>\n";
    const char *owners[] = {"alice", "bob", "carol", "dave"};
    for (int i = 1; i <= records; ++i)
        xml += std::string("<record type=\"Defect\" state=\"") + (i % 3 ? "Opened" : "Submitted") +
               "\"><value field=\"Headline\">Defect w" + std::to_string(i) +
               " of the bench</value><value field=\"Owner\">" + owners[i % 4] + "</value><value field=\"Estimate\">" +
               std::to_string(i % 13) + "</value><value field=\"Project\">P" + std::to_string(i % 10) +
               "</value></record>\n";
    return xml + "</kxdefinition>";
}

void exec(const std::string &path, const std::string &sql) {
    sqlite3 *db = nullptr;
    char *err = nullptr;
    if (sqlite3_open(path.c_str(), &db) != SQLITE_OK ||
        sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &err) != SQLITE_OK) {
        std::string text = err ? err : sqlite3_errmsg(db);
        sqlite3_free(err);
        sqlite3_close(db);
        throw std::runtime_error(path + ": " + text);
    }
    sqlite3_close(db);
}

struct Set {
    const char *label;
    CString name;
    KXSmartPtr<KXSession> session;
    AdSessionPtr s;
};

struct World {
    std::string dir, data, upload;
    std::array<Set, 3> sets{Set{"1k", L"GSMALL", {}, {}}, Set{"100k", L"GLARGE", {}, {}},
                            Set{"100k_att", L"GATTACH", {}, {}}};

    World() {
        char tmpl[] = "/tmp/kxbench-growth-XXXXXX";
        if (!::mkdtemp(tmpl)) throw std::runtime_error("no temporary directory");
        dir = tmpl;
        try {
            make();
        } catch (...) {
            std::filesystem::remove_all(dir);
            throw;
        }
    }
    void make() {
        data = dir + "/data";
        std::filesystem::create_directory(data);
        ::setenv("KX_PRODUCT_DATA", data.c_str(), 1);
        KXProductStore::CreateFromDefinition(definition("GSMALL", kSmall), data);
        KXProductStore::CreateFromDefinition(definition("GLARGE", kLarge), data);
        // The same records with attachments on the first half of the Defects, stored as the
        // product stores them (dbids from the set's sequence).
        const std::string large = KXProductStore::SetPath(L"GLARGE"), attached = KXProductStore::SetPath(L"GATTACH");
        std::filesystem::copy_file(large, attached);
        exec(attached,
             "BEGIN; UPDATE meta SET value='GATTACH' WHERE key='dbset';"
             "CREATE TEMP TABLE base AS SELECT seq FROM sqlite_sequence WHERE name='dbid_seq';"
             "INSERT INTO attachments(dbid, record_dbid, field_dbid, file_name, description, size, content)"
             " SELECT (SELECT seq FROM base) + ROW_NUMBER() OVER (ORDER BY r.dbid), r.dbid, f.dbid, 'a.bin', '', " +
                 std::to_string(kAttachmentBytes) + ", randomblob(" + std::to_string(kAttachmentBytes) +
                 ") FROM records r JOIN entity_defs e ON e.dbid=r.entity_def_dbid AND e.name='Defect'"
                 " JOIN field_defs f ON f.entity_def_dbid=e.dbid AND f.name='Attachments'"
                 " ORDER BY r.dbid LIMIT " +
                 std::to_string(kAttachments) +
                 ";"
                 "UPDATE sqlite_sequence SET seq = seq + " +
                 std::to_string(kAttachments) + " WHERE name='dbid_seq'; COMMIT;");
        upload = dir + "/upload.bin";
        std::ofstream(upload, std::ios::binary) << std::string(kAttachmentBytes, 'x');
        for (Set &set : sets) {
            set.session = KXSession::Build();
            set.session->WebUserLogon(L"admin", L"admin", L"", L"", L"DB", set.name);
            set.s = set.session->GetReal();
        }
    }
    ~World() {
        for (Set &set : sets) set.s = nullptr, set.session = nullptr;
        std::filesystem::remove_all(dir);
    }
};

World &world() {
    static World w;
    return w;
}

CString record_name(int i) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "DB%08d", 1 + i % kVisited);
    return CString::FromUtf8(buf);
}

AdEntityPtr find(const Set &set, int i) {
    AdEntityPtr e;
    CString error;
    AdEntityMgr::Get(set.s)->LookupEntityWithStatus(LookupEntityDefOrFamily(set.s, L"Defect"), record_name(i), e, error,
                                                    1);
    if (!e) throw std::runtime_error("no record " + record_name(i).ToUtf8());
    return e;
}

double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// A failed call ends its benchmark with the failure as its error; the others still run.
bool survives(benchmark::State &state, const std::function<void()> &call) {
    try {
        call();
        return true;
    } catch (const std::exception &e) {
        state.SkipWithError(e.what());
    } catch (KXException *e) {
        state.SkipWithError(e->GetErrorString().ToUtf8().c_str());
        e->Delete();
    } catch (PaMsgException *e) {
        state.SkipWithError(e->First() ? e->First()->GetMsg().ToUtf8().c_str() : "product refusal");
        e->Delete();
    } catch (...) {
        state.SkipWithError("product failure");
    }
    return false;
}

// Runs `call` on each set in turn every round; reports each set's median in ms and the ratios.
void rounds(benchmark::State &state, const std::function<void(const Set &, int)> &call) {
    World *made = nullptr;
    if (!survives(state, [&] { made = &world(); })) return;
    World &w = *made;
    std::array<std::vector<double>, 3> ms;
    int i = 0;
    for (auto _ : state) {
        double round = 0;
        for (size_t k = 0; k < w.sets.size(); ++k) {
            const auto t0 = Clock::now();
            if (!survives(state, [&] { call(w.sets[k], i); })) return;
            const double took = std::chrono::duration<double>(Clock::now() - t0).count();
            ms[k].push_back(took * 1000);
            round += took;
        }
        state.SetIterationTime(round);
        ++i;
    }
    const double small = median(ms[0]), large = median(ms[1]), attached = median(ms[2]);
    state.counters["ms_1k"] = small;
    state.counters["ms_100k"] = large;
    state.counters["ms_100k_att"] = attached;
    state.counters["x_records"] = small > 0 ? large / small : 0;
    state.counters["x_attachments"] = large > 0 ? attached / large : 0;
}

void fetch_props(benchmark::State &state) {
    rounds(state, [](const Set &set, int i) {
        AdEntityPtr e = find(set, i);
        for (const wchar_t *f : {L"Headline", L"Owner", L"Estimate", L"Project", L"Attachments"})
            benchmark::DoNotOptimize(e->GetFieldValue(f).GetValueAsList());
        benchmark::DoNotOptimize(e->GetStateName());
    });
}

void modify(benchmark::State &state) {
    rounds(state, [](const Set &set, int i) {
        AdEntityPtr e = find(set, i);
        EditEntity(e, L"Modify");
        e->SetFieldValue(L"Estimate", CString(std::to_wstring(i % 13))); // the headline is searched for
        if (!e->Commit().IsEmpty()) throw std::runtime_error("modify refused");
    });
}

void create(benchmark::State &state) {
    rounds(state, [](const Set &set, int i) {
        AdEntityPtr e = BuildEntity(set.s, LookupEntityDefOrFamily(set.s, L"Defect"));
        e->SetFieldValue(L"Headline", L"Made " + CString(std::to_wstring(i)));
        e->SetFieldValue(L"Project", L"P3");
        if (!e->Commit().IsEmpty()) throw std::runtime_error("create refused");
    });
}

void query_by_id(benchmark::State &state) {
    rounds(state, [](const Set &set, int i) {
        AdQueryDefPtr q = BuildQueryDef(set.s, LookupEntityDef(set.s, L"Defect"), 0);
        for (const wchar_t *f : {L"id", L"Headline", L"State"}) q->BuildField(f);
        q->BuildFilter(nullptr, L"id", AD_COMP_OP_EQ, {record_name(i)}, 1);
        AdResultSetPtr rs = BuildResultSet(set.s, q);
        rs->Execute();
        int rows = 0;
        while (rs->MoveNext() == AD_SUCCESS) ++rows;
        if (rows != 1) throw std::runtime_error("query by id found " + std::to_string(rows));
    });
}

void full_text_search(benchmark::State &state) {
    rounds(state, [](const Set &set, int i) {
        auto def = set.session->BuildTextSearchDef(KX_TEXT_SEARCH_RECORDS);
        def->SetSearchString(CString(L"w") + CString(std::to_wstring(1 + i % kVisited)));
        auto result = set.session->BuildTextSearchResult(def);
        result->SetDisplayFieldNames({L"Headline"});
        result->Execute();
        if (result->GetTotalHits() < 1) throw std::runtime_error("search found nothing");
    });
}

void attachment_commit(benchmark::State &state) {
    rounds(state, [](const Set &set, int i) {
        AdEntityPtr e = find(set, i);
        EditEntity(e, L"Modify");
        if (!e->AddAttachmentFieldValue(L"Attachments", CString::FromUtf8(world().upload), L"bench").IsEmpty())
            throw std::runtime_error("attachment refused");
        if (!e->Commit().IsEmpty()) throw std::runtime_error("attachment commit refused");
    });
}

// Making a set from its definition at n and 3n records, in turn; the ratio is linear at 3.
void set_creation(benchmark::State &state) {
    const int n = static_cast<int>(state.range(0));
    World *made = nullptr;
    if (!survives(state, [&] { made = &world(); })) return;
    World &w = *made;
    const std::string small = definition("GMAKE1", n), large = definition("GMAKE3", 3 * n);
    std::vector<double> s1, s3;
    for (auto _ : state) {
        double round = 0;
        for (auto [xml, name, out] : {std::tuple{&small, L"GMAKE1", &s1}, std::tuple{&large, L"GMAKE3", &s3}}) {
            const auto t0 = Clock::now();
            if (!survives(state, [&] { KXProductStore::CreateFromDefinition(*xml, w.data); })) return;
            const double took = std::chrono::duration<double>(Clock::now() - t0).count();
            out->push_back(took);
            round += took;
            std::filesystem::remove(KXProductStore::SetPath(name));
        }
        state.SetIterationTime(round);
    }
    state.counters["s_n"] = median(s1);
    state.counters["s_3n"] = median(s3);
    state.counters["x_3n"] = median(s1) > 0 ? median(s3) / median(s1) : 0;
}

} // namespace

BENCHMARK(fetch_props)->UseManualTime()->Iterations(300)->Unit(benchmark::kMillisecond);
BENCHMARK(modify)->UseManualTime()->Iterations(300)->Unit(benchmark::kMillisecond);
BENCHMARK(create)->UseManualTime()->Iterations(300)->Unit(benchmark::kMillisecond);
BENCHMARK(query_by_id)->UseManualTime()->Iterations(300)->Unit(benchmark::kMillisecond);
BENCHMARK(full_text_search)->UseManualTime()->Iterations(300)->Unit(benchmark::kMillisecond);
BENCHMARK(attachment_commit)->UseManualTime()->Iterations(300)->Unit(benchmark::kMillisecond);
BENCHMARK(set_creation)->Arg(30000)->UseManualTime()->Iterations(2)->Unit(benchmark::kSecond);

BENCHMARK_MAIN();
