#include "core/product_flags.h"

#include <cstdlib>

#include "core/options.h"
#include "kxproduct/diag.h"
#include "kxwin/cstring.h"
#include "target/target.h"
#include "wire/errors.h"

namespace KxRpc {

void report_command_line(int argc, char **argv) {
    // Where the product's diagnostics go, and which are on, is the operator's choice.
    if (char const *flags = std::getenv("KX_DIAG"); flags && !AdDiagnostic::Configure(flags))
        log_message("Cannot read KX_DIAG \"%s\": entries from the first unreadable one on are ignored\n", flags);
    if (char const *file = std::getenv("KX_DIAG_FILE")) AdDiagnostic::SetFileSink(file);
    if (!AdDiagnostic::IsEnabled(19)) return;
    CString line;
    for (int i = 0; i < argc; ++i) {
        if (i) line += L" ";
        line += CString::FromUtf8(argv[i]);
    }
    AdDiagnostic::Report(L"kxprc", line);
}

void prepare_process() {
    static KxRpcResourceEncoder encoder;
    register_resource_encoder(1, &encoder);
    ::setenv("TEVRA_NO_BOLD", "1", 1);
    ::setenv("TEVRA_WEB_GUI", "1", 1);
}

} // namespace KxRpc
