#include "core/startup.h"

int main(int argc, char **argv) { return KxRpc::start_rpc_program(argc, argv); }
