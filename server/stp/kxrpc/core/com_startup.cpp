#include "core/com_startup.h"

#include "kxproduct/store.h"

namespace KxRpc {

void initialize_com_for_thread() { callCoInitializeEx(); }

} // namespace KxRpc
