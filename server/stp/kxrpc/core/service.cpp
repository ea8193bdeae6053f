// Options of service control, the usage text and the single-sign-on password tool.
#include "kxrpc_core.h"

#include <cstring>

namespace KxRpc {

namespace {

void print_usage() {
    log_message("\n");
    log_message("Usage:\n");
    log_message("\n");
    log_message("kxrpc.exe -install_service [-port PORT]\n");
    log_message("\n");
    log_message("kxrpc.exe -remove_service\n");
    log_message("\n");
    log_message("kxrpc -sso_password PASSWORD\n");
}

} // namespace

bool parse_service_options(int argc, char **argv, int &index) {
    (void)argc;
    char const *arg = argv[index];
    if (std::strcmp(arg, "-help") == 0) {
        print_usage();
        exit_now(0);
    }
    return false;
}

void load_sso_password() {}

} // namespace KxRpc
