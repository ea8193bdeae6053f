// Product diagnostics: per-id flag words, an enabled test, and reports to a replaceable sink.
#pragma once
#include <functional>
#include <memory>

#include "kxwin/cexception.h"
#include "kxwin/cstring.h"

class KXObject;

class AdDiagnostic {
public:
    static constexpr int kMaxId = 128;
    // Flag word per diagnostic id; a value n enables levels 1..n of that id.
    static int m_DiagnosticFlags[kMaxId];

    static BOOL IsEnabled(int id, int level, int sub);
    static BOOL IsEnabled(int id);
    static void Report(LPCWSTR category, LPCWSTR text);
    static void TestAndReportV(int id, int level, int sub, LPCWSTR category, LPCWSTR format, ...);
    // Text of a product object for trace lines ("<class>@0x<address>").
    static CString To_Obj(const KXObject *object);

    // Where reports go. The default sink writes "category: text" lines to standard error.
    using Sink = std::function<void(const CString &category, const CString &text)>;
    static void SetSink(Sink sink);
    static void SetStderrSink();
    // Appends lines to a file (created 0600); false when it cannot be opened.
    static bool SetFileSink(const char *path);
    // Sets flag words from text such as "66=2,21=1,36"; a bare id means level 1. Returns false on
    // malformed text, leaving the flags it already set.
    static bool Configure(const char *spec);
    static void SetFlag(int id, int level);
    static void ClearFlags();
};

// Brackets one unit of work; at diagnostic id 37 it reports the product objects alive on entry
// and on exit under the category "Memory".
class AdDiagnosticMemoryReporter {
public:
    explicit AdDiagnosticMemoryReporter(LPCWSTR scope);
    ~AdDiagnosticMemoryReporter();
    AdDiagnosticMemoryReporter(const AdDiagnosticMemoryReporter &) = delete;
    AdDiagnosticMemoryReporter &operator=(const AdDiagnosticMemoryReporter &) = delete;

private:
    CString scope_;
    long objects_on_entry_;
};

// A failure that the caller chose to ignore: reported at id 21 under "Throw" when enabled.
// AdIgnoreException takes ownership of the exception and deletes it.
void AdIgnoreException(CException *exception, const char *file, int line);
void AdIgnoreUnknownException(const char *file, int line);
