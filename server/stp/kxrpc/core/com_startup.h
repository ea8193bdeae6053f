// COM start-up of the threads that run calls.
#pragma once

namespace KxRpc {

void initialize_com_for_thread();

} // namespace KxRpc
