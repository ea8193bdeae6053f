#include "wire/trace.h"

#include "kxproduct/diag.h"
#include "kxproduct/object.h"
#include "kxwin/cstring.h"
#include "wire/conversions.h"
#include "wire/product_failure.h"

namespace KxRpc {

namespace {

constexpr wchar_t const *category = L"KXRPC";

// Formats with the product's wide formatter: %s takes a wide string.
template <class... Args>
CString format_line(wchar_t const *format, Args const &...args) {
    CString line;
    line.Format(format, args.c_str()...);
    return line;
}

void report(CString const &line) { AdDiagnostic::Report(category, line.GetString()); }

} // namespace

bool trace_enabled(int level) {
    return AdDiagnostic::m_DiagnosticFlags[kxrpc_diag_id] != 0 && AdDiagnostic::IsEnabled(kxrpc_diag_id, level, 0);
}

void trace_text(int level, Nul::UString const &text) {
    if (!trace_enabled(level)) return;
    try {
        AdDiagnostic::Report(category, text.c_str());
    } catch (...) {
        // A trace line that cannot be written is dropped: tracing never replaces what it traces.
    }
}

namespace {

template <class... Args>
void trace_format(int level, wchar_t const *format, Args const &...args) {
    if (!trace_enabled(level)) return;
    try {
        report(format_line(format, args...));
    } catch (...) {
        // A trace line that cannot be written is dropped: tracing never replaces what it traces.
    }
}

} // namespace

void trace_start(Nul::UString const &method, Nul::UString const &text) {
    trace_format(1, L"%s %s (%s)", Nul::UString(L"Start"), method, text);
}

void trace_finish(Nul::UString const &method, Nul::UString const &text) {
    trace_format(1, L"%s %s (%s)", Nul::UString(L"Finish"), method, text);
}

void trace_info(Nul::UString const &method, Nul::UString const &text) {
    trace_format(2, L"Info: %s(%s)", method, text);
}

void trace_exception(Nul::UString const &method, Nul::UString const &text) {
    trace_format(1, L"Exception: %s(%s)", method, text);
}

void trace_stp_exception(Nul::UString const &method, Nul::STPException const &e) {
    if (!trace_enabled(1)) return;
    try {
        CString line;
        line.Format(L"Exception: (method:%s :: reason_code:%d :: message:%s)", method.c_str(),
                    static_cast<int>(e.stp_reason_code()), Nul::UMessage::echo(e.msg()).c_str());
        report(line);
    } catch (...) {
        // A trace line that cannot be written is dropped: tracing never replaces what it traces.
    }
}

void trace_exception_detail(Nul::UString const &method, Nul::UString const &text, Nul::STPException const &e) {
    if (!trace_enabled(1)) return;
    try {
        CString line;
        line.Format(L"Exception: (method:%s :: msg:%s :: reason_code:%d :: exception_message:%s)", method.c_str(),
                    Nul::UMessage::echo(text).c_str(), static_cast<int>(e.stp_reason_code()),
                    Nul::UMessage::echo(e.msg()).c_str());
        report(line);
    } catch (...) {
        // A trace line that cannot be written is dropped: tracing never replaces what it traces.
    }
}

Nul::UString trace_object_text(wchar_t const *type_name, KXObject const *object) {
    try {
        CString obj = AdDiagnostic::To_Obj(object);
        CString line;
        if (trace_enabled(2) && object != nullptr)
            line.Format(L"%s(%s:%d%s)", type_name, obj.GetString(), static_cast<int>(object->GetRefCount()), L" refs");
        else
            line.Format(L"%s(%s)", type_name, obj.GetString());
        return ustr(line);
    } catch (...) {
        // Text for a trace line: an object that cannot describe itself is named by its type alone.
        return Nul::UString(type_name);
    }
}

void ignore_current_exception(std::source_location where) noexcept {
    try {
        report_ignored(take_product_failure(taking_everything), where);
    } catch (...) {
        // A trace line that cannot be written is dropped: tracing never replaces what it traces.
    }
}

} // namespace KxRpc
