#include "query/product_failure.h"

#include "kxproduct/exceptions.h"
#include "kxwin/cexception.h"
#include "wire/exceptions.h"

namespace KxRpc {

ProductFailure take_product_failure() noexcept {
    ProductFailure f;
    try {
        try {
            throw;
        } catch (KXException *e) {
            f.kind = ProductFailure::kx_exception;
            if (!e) return f;
            f.msg_id = e->GetMsgId();
            // Deleted even when reading the text fails.
            struct Drop {
                KXException *e;
                ~Drop() { e->Delete(); }
            } drop{e};
            f.text = Nul::UString(e->GetErrorString().GetString());
        } catch (PaMsgException *e) {
            f.kind = ProductFailure::message_exception;
            if (!e) return f;
            struct Drop {
                PaMsgException *e;
                ~Drop() { e->Delete(); }
            } drop{e};
            if (PaMessage const *first = e->First()) {
                f.msg_id = first->GetID();
                f.text = Nul::UString(first->GetMsg().GetString());
            }
        } catch (CException *e) {
            f.kind = ProductFailure::class_exception;
            f.text = take_cexception_text(e);
        } catch (...) {
            f.kind = ProductFailure::other;
        }
    } catch (...) {
        // Reading a text ran out of memory: the kind is still known, the text stays empty.
    }
    return f;
}

} // namespace KxRpc
