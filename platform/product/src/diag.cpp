#include "kxproduct/diag.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <typeinfo>

#include "kxproduct/exceptions.h"
#include "kxproduct/object.h"

int AdDiagnostic::m_DiagnosticFlags[AdDiagnostic::kMaxId] = {};

namespace {

std::recursive_mutex g_sink_mu;

void write_stream(FILE *f, const CString &category, const CString &text) {
    std::string line = category.ToUtf8() + ": " + text.ToUtf8() + "\n";
    std::fwrite(line.data(), 1, line.size(), f);
    std::fflush(f);
}

AdDiagnostic::Sink &sink() {
    static AdDiagnostic::Sink s = [](const CString &c, const CString &t) { write_stream(stderr, c, t); };
    return s;
}

} // namespace

BOOL AdDiagnostic::IsEnabled(int id, int level, int /*sub*/) {
    if (id < 0 || id >= kMaxId) return FALSE;
    return m_DiagnosticFlags[id] != 0 && level <= m_DiagnosticFlags[id] ? TRUE : FALSE;
}

BOOL AdDiagnostic::IsEnabled(int id) { return id >= 0 && id < kMaxId && m_DiagnosticFlags[id] != 0; }

void AdDiagnostic::Report(LPCWSTR category, LPCWSTR text) {
    CString c(category), t(text);
    std::lock_guard<std::recursive_mutex> lock(g_sink_mu);
    if (sink()) sink()(c, t);
}

void AdDiagnostic::TestAndReportV(int id, int level, int sub, LPCWSTR category, LPCWSTR format, ...) {
    // Reference-count reports pass the count as their level; any set flag word lets them through.
    if (!IsEnabled(id)) return;
    (void)level;
    (void)sub;
    va_list ap;
    va_start(ap, format);
    CString text;
    text.FormatV(format, ap);
    va_end(ap);
    Report(category, text);
}

CString AdDiagnostic::To_Obj(const KXObject *object) {
    CString s;
    if (!object) return CString(L"NULL");
    s.Format(L"%S@%p", kxp::type_name(typeid(*object)), static_cast<const void *>(object));
    return s;
}

void AdDiagnostic::SetSink(Sink s) {
    std::lock_guard<std::recursive_mutex> lock(g_sink_mu);
    sink() = std::move(s);
}

void AdDiagnostic::SetStderrSink() {
    SetSink([](const CString &c, const CString &t) { write_stream(stderr, c, t); });
}

bool AdDiagnostic::SetFileSink(const char *path) {
    int fd = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    FILE *f = ::fdopen(fd, "a");
    if (!f) {
        ::close(fd);
        return false;
    }
    std::shared_ptr<FILE> file(f, [](FILE *p) { std::fclose(p); });
    SetSink([file](const CString &c, const CString &t) { write_stream(file.get(), c, t); });
    return true;
}

bool AdDiagnostic::Configure(const char *spec) {
    if (!spec) return true;
    const char *p = spec;
    while (*p) {
        while (*p == ',' || *p == ' ') ++p;
        if (!*p) break;
        char *end = nullptr;
        long id = std::strtol(p, &end, 10);
        if (end == p || id < 0 || id >= kMaxId) return false;
        long level = 1;
        p = end;
        if (*p == '=') {
            ++p;
            level = std::strtol(p, &end, 10);
            if (end == p || level < 0) return false;
            p = end;
        }
        if (*p && *p != ',' && *p != ' ') return false;
        m_DiagnosticFlags[id] = static_cast<int>(level);
    }
    return true;
}

void AdDiagnostic::SetFlag(int id, int level) {
    if (id >= 0 && id < kMaxId) m_DiagnosticFlags[id] = level;
}

void AdDiagnostic::ClearFlags() {
    for (int &f : m_DiagnosticFlags) f = 0;
}

AdDiagnosticMemoryReporter::AdDiagnosticMemoryReporter(LPCWSTR scope)
    : scope_(scope), objects_on_entry_(KXObject::LiveCount()) {
    if (AdDiagnostic::IsEnabled(37, 1, 0)) {
        CString t;
        t.Format(L"%s: enter, %ld product objects", scope_.GetString(), objects_on_entry_);
        AdDiagnostic::Report(L"Memory", t);
    }
}

AdDiagnosticMemoryReporter::~AdDiagnosticMemoryReporter() {
    if (AdDiagnostic::IsEnabled(37, 1, 0)) {
        long now = KXObject::LiveCount();
        CString t;
        t.Format(L"%s: leave, %ld product objects (%+ld)", scope_.GetString(), now, now - objects_on_entry_);
        AdDiagnostic::Report(L"Memory", t);
    }
}

void AdIgnoreException(CException *exception, const char *file, int line) {
    if (!exception) return;
    if (AdDiagnostic::IsEnabled(21)) {
        CString t;
        t.Format(L"IGNORING (at %S:%d): %s", file ? file : "", line, exception->GetErrorMessageString().GetString());
        AdDiagnostic::Report(L"Throw", t);
    }
    exception->Delete();
}

void AdIgnoreUnknownException(const char *file, int line) {
    if (AdDiagnostic::IsEnabled(21)) {
        CString t;
        t.Format(L"IGNORING (at %S:%d): unknown exception", file ? file : "", line);
        AdDiagnostic::Report(L"Throw", t);
    }
}
