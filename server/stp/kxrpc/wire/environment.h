// Settings the server reads from its environment.
#pragma once

namespace KxRpc {

// The variable as a positive decimal number; anything else (unset, empty, 0, text) gives `fallback`.
long positive_from_environment(char const *name, long fallback);

} // namespace KxRpc
