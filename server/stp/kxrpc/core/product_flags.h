// What the product is told about this process before it serves: its diagnostics, its
// environment flags and the encoder of the resources that errors name.
#pragma once

namespace KxRpc {

void report_command_line(int argc, char **argv);
void prepare_process();

} // namespace KxRpc
