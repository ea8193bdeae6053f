// The product failure that a test crash throws through the crash guard.
#pragma once

namespace KxRpc {

[[noreturn]] void throw_product_test_failure();

} // namespace KxRpc
