#include "wire/product_failure.h"

#include <new>

#include "kxproduct/diag.h"
#include "kxproduct/exceptions.h"
#include "kxwin/cexception.h"
#include "kxwin/cstring.h"
#include "tesutil/stpexception.h"
#include "wire/catalog.h"
#include "wire/conversions.h"
#include "wire/exceptions.h"
#include "wire/textfmt.h"
#include "wire/trace.h"

namespace KxRpc {

namespace {

// Where ignored failures say they were caught.
constexpr char const *source_file = "server\\stp\\kxrpc\\kxrpc_xdr";

// Deletes a taken product exception when it goes out of scope, also when reading it threw.
template <class E>
struct Taken {
    E *e;
    explicit Taken(E *taken) : e(taken) {}
    Taken(Taken const &) = delete;
    Taken &operator=(Taken const &) = delete;
    ~Taken() {
        if (e) e->Delete();
    }
};

bool takes(Taking const &taking, ProductFailure::Kind kind) { return (taking.kinds & kind) != 0; }

} // namespace

ProductFailure take_product_failure(Taking const &taking) {
    ProductFailure failure;
    try {
        throw;
    } catch (Nul::STPException const &) {
        if (!taking.server_exceptions) throw;
        failure.text = Nul::UString(unknown_error_text);
    } catch (KXException *e) {
        if (!takes(taking, ProductFailure::KX_EXCEPTION)) throw;
        Taken<KXException> const taken(e);
        failure.kind = ProductFailure::KX_EXCEPTION;
        if (e) {
            failure.msg_id = e->GetMsgId();
            failure.text = ustr(e->GetErrorString());
            failure.source = ustr(e->GetSource());
        }
    } catch (PaMsgException *e) {
        if (!takes(taking, ProductFailure::PA_MSG_EXCEPTION)) throw;
        Taken<PaMsgException> const taken(e);
        failure.kind = ProductFailure::PA_MSG_EXCEPTION;
        if (PaMessage const *first = e && e->GetCount() > 0 ? e->First() : nullptr) {
            failure.msg_id = first->GetID();
            failure.text = ustr(taking.full_message ? first->GetFullMsg() : first->GetMsg());
        }
    } catch (CException *e) {
        if (!takes(taking, ProductFailure::C_EXCEPTION)) throw;
        Taken<CException> const taken(e);
        failure.kind = ProductFailure::C_EXCEPTION;
        if (e) failure.text = ustr(e->GetErrorMessageString());
    } catch (std::bad_alloc const &) {
        if (!takes(taking, ProductFailure::OTHER)) throw;
        failure.text = Nul::UString(out_of_memory_text);
    } catch (...) {
        if (!takes(taking, ProductFailure::OTHER)) throw;
        failure.text = Nul::UString(unknown_error_text);
    }
    return failure;
}

Nul::UString ProductFailure::text_or_unknown() const { return text.empty() ? Nul::UString(unknown_error_text) : text; }

char const *kind_name(ProductFailure const &failure) {
    switch (failure.kind) {
    case ProductFailure::KX_EXCEPTION:
        return "KXException";
    case ProductFailure::PA_MSG_EXCEPTION:
        return "PaMsgException";
    case ProductFailure::C_EXCEPTION:
        return "CException";
    default:
        return "Exception";
    }
}

void trace_caught(ProductFailure const &failure, Nul::UString const &method) {
    trace_lazy(
        1, [&] { return text_format("Exception: %s is caught in %s(%s)", kind_name(failure), method, failure.text); });
}

void report_ignored(ProductFailure const &failure, std::source_location where) noexcept {
    int const line = static_cast<int>(where.line());
    try {
        if (failure.kind == ProductFailure::OTHER || failure.kind == ProductFailure::PA_MSG_EXCEPTION) {
            AdIgnoreUnknownException(source_file, line);
            return;
        }
        if (!AdDiagnostic::IsEnabled(throw_diag_id)) return;
        CString text;
        if (failure.kind == ProductFailure::KX_EXCEPTION)
            text.Format(L"IGNORING (at %s): %s", failure.source.c_str(), failure.text.c_str());
        else
            text.Format(L"IGNORING (at %S:%d): %s", source_file, line, failure.text.c_str());
        AdDiagnostic::Report(L"Throw", text.GetString());
    } catch (...) {
        // The report of an ignored failure has nowhere further to go.
    }
}

void raise_unexpected_text(Nul::UString const &text) {
    throw KXInternalErrorException(kx_message(MSG_UNEXPECTED_EXCEPTION_TEXT, Nul::UMessage::Arg(text)));
}

void raise_unexpected(ProductFailure const &failure, wchar_t const *method) {
    trace_caught(failure, Nul::UString(method));
    if (is_privilege_refusal(failure)) raise_refusal(failure);
    raise_unexpected_text(failure.text);
}

bool is_privilege_refusal(ProductFailure const &failure) {
    return (failure.kind == ProductFailure::KX_EXCEPTION || failure.kind == ProductFailure::PA_MSG_EXCEPTION) &&
           failure.msg_id == KX_MSG_NOT_PRIVILEGED && !failure.text.empty();
}

KxRpcException refusal(ProductFailure const &failure) {
    return KxRpcException(Reason::insufficient_privilege,
                          kx_message(MSG_INSUFFICIENT_PRIVILEGE, Nul::UMessage::Arg(failure.text)));
}

void raise_refusal(ProductFailure const &failure) { throw refusal(failure); }

std::exception_ptr answerable_failure(wchar_t const *method) noexcept {
    try {
        try {
            throw;
        } catch (Nul::STPException const &) {
            return std::current_exception();
        } catch (std::exception const &e) {
            // Its text may name anything (a path, say): it goes to the trace only.
            ignoring_failures([&] { trace_exception(Nul::UString(method), Nul::UString(e.what(), "UTF-8")); });
            raise_unexpected_text(Nul::UString(unknown_error_text));
        } catch (...) {
            raise_unexpected(method);
        }
    } catch (...) {
        return std::current_exception();
    }
}

bool_t hold_failure(XDR *xdrs, wchar_t const *method) noexcept {
    if (!xdrs || xdrs->x_op == XDR_FREE) {
        ignore_current_exception(std::source_location::current());
        return FALSE;
    }
    std::exception_ptr failure = answerable_failure(method);
    if (xdrs->x_op == XDR_DECODE)
        hold_decode_failure(std::move(failure));
    else
        hold_reply_failure(std::move(failure));
    return FALSE;
}

void raise_unexpected(wchar_t const *method) { raise_unexpected(take_product_failure(), method); }

} // namespace KxRpc
