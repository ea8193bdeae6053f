// How property work turns a failure of the product interface into the server's exception.
#pragma once

#include "kxproduct/exceptions.h"
#include "kxwin/cexception.h"
#include "wire/catalog.h"
#include "wire/conversions.h"
#include "wire/exceptions.h"
#include "wire/trace.h"

namespace KxRpc {

// The text of the first message of a product message exception; empty when it has none.
Nul::UString product_message_text(PaMsgException const *e);
// Reason 39 with message 47 and the given text.
[[noreturn]] void raise_product_failure(Nul::UString const &text);

// Runs `work`. The server's own exceptions pass unchanged; a product message exception becomes
// an internal error with message 47, a product exception reason 39 with message 47 and its
// text, anything else reason 39 with message 47 and no text. Each product exception is deleted
// here, exactly once. With `method` set, the last two kinds are traced under it.
template <class Work>
void converting_product_failures(Work &&work, wchar_t const *method = nullptr) {
    Nul::UString text;
    try {
        work();
        return;
    } catch (Nul::STPException const &) {
        throw;
    } catch (PaMsgException *e) {
        ignoring_failures([&] { text = product_message_text(e); });
        if (e) e->Delete();
        throw KXInternalErrorException(kx_message(MSG_UNEXPECTED_EXCEPTION_TEXT, text));
    } catch (KXException *e) {
        ignoring_failures([&] {
            if (e) text = ustr(e->GetErrorString());
        });
        if (e) e->Delete();
        if (method) trace_exception(Nul::UString(method) + Nul::UString(L", KXException: "), text);
        raise_product_failure(text);
    } catch (CException *e) {
        // The error record keeps the generic form; the product's text goes to the trace only.
        text = take_cexception_text(e);
        if (method) trace_exception(Nul::UString(method) + Nul::UString(L" ... : "), text);
    } catch (...) {
        if (method) trace_exception(Nul::UString(method) + Nul::UString(L" ... : "), Nul::UString());
    }
    raise_product_failure(Nul::UString());
}

} // namespace KxRpc
