#include "wire/product_failure.h"

#include "kxproduct/exceptions.h"
#include "kxwin/cexception.h"
#include "tesutil/stpexception.h"
#include "wire/catalog.h"
#include "wire/conversions.h"
#include "wire/exceptions.h"
#include "wire/textfmt.h"
#include "wire/trace.h"

namespace KxRpc {

ProductFailure take_product_failure() {
    ProductFailure failure;
    try {
        throw;
    } catch (Nul::STPException const &) {
        throw;
    } catch (KXException *e) {
        failure.kind = ProductFailure::KX_EXCEPTION;
        if (e) {
            failure.msg_id = e->GetMsgId();
            failure.text = ustr(e->GetErrorString());
            e->Delete();
        }
    } catch (PaMsgException *e) {
        failure.kind = ProductFailure::PA_MSG_EXCEPTION;
        if (e) {
            if (PaMessage const *first = e->GetCount() > 0 ? e->First() : nullptr) {
                failure.msg_id = first->GetID();
                failure.text = ustr(first->GetMsg());
            }
            e->Delete();
        }
    } catch (CException *e) {
        failure.kind = ProductFailure::C_EXCEPTION;
        if (e) failure.text = take_cexception_text(e);
    } catch (...) {
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

void raise_unexpected(wchar_t const *method) {
    ProductFailure failure = take_product_failure();
    trace_lazy(1, [&] {
        return text_format("Exception: %s is caught in %s(%s)", kind_name(failure), Nul::UString(method), failure.text);
    });
    throw KXInternalErrorException(kx_message(MSG_UNEXPECTED_EXCEPTION_TEXT, Nul::UMessage::Arg(failure.text)));
}

} // namespace KxRpc
