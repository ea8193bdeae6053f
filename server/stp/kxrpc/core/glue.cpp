#include "kxrpc_requests.h"

namespace KxRpc {

EmptyArgs::~EmptyArgs() = default;

} // namespace KxRpc
