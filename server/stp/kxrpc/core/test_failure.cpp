#include "core/test_failure.h"

#include "kxproduct/exceptions.h"
#include "kxwin/cstring.h"

namespace KxRpc {

[[noreturn]] void throw_product_test_failure() {
    throw new PaMsgException(KX_MSG_BAD_VALUE, CString(L"forceCrashInLoadAttachment"));
}

} // namespace KxRpc
