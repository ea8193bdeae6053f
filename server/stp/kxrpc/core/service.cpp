// Options of service control, the usage text and the single-sign-on password tool.
#include "kxrpc_core.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "kxproduct/crypt.h"
#include "protocol/sso.h"

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

// Encrypts the password twice for "sso.properties"; the login decrypts it twice.
[[noreturn]] void sso_password_tool(int argc, char **argv, int index) {
    if (index + 1 >= argc) {
        log_message("Must specify a SSO password.\n");
        exit_now(-1);
    }
    char const *password = argv[index + 1];
    if (std::strlen(password) < 30) {
        log_message("The SSO password must be at least 30 characters in length.\n");
        exit_now(-1);
    }
    CString encrypted = AdEncryptStringMaybeUTF8(AdEncryptStringMaybeUTF8(CString::FromUtf8(password), 7), 7);
    std::string text = encrypted.ToUtf8();
    std::printf("Encrypted SSO client password: %s\n", text.c_str());
    std::FILE *file = std::fopen("sso.properties.temp", "wb");
    if (!file)
        exit_now(-1);
    std::fprintf(file, "%s\n", text.c_str());
    bool written = std::fclose(file) == 0;
    exit_now(written ? 0 : -1);
}

} // namespace

bool parse_service_options(int argc, char **argv, int &index) {
    char const *arg = argv[index];
    if (std::strcmp(arg, "-help") == 0) {
        print_usage();
        exit_now(0);
    }
    if (std::strcmp(arg, "-sso_password") == 0)
        sso_password_tool(argc, argv, index);
    return false;
}

void load_sso_password() {
    std::FILE *file = std::fopen("sso.properties", "rb");
    if (!file)
        return;
    char token[2048];
    int got = std::fscanf(file, "%2047s", token);
    std::fclose(file);
    if (got == 1)
        set_sso_password(Nul::UString(Nul::Utf8String(token)));
}

} // namespace KxRpc
