// Fuzzing of the argument decoders. An input's first byte picks a procedure of the table, the
// rest is the XDR of its arguments; the request is built, decoded and destroyed as the
// dispatcher does it. A decode that fails must leave no upload file behind.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <rpc/xdr.h>

#include "core/dispatch.h"

namespace {

// Uploads land in the temporary directory: a private one per process, checked after each input.
std::string const &upload_dir() {
    static std::string const dir = [] {
        char pattern[] = "/tmp/kxrpc-fuzz-XXXXXX";
        if (!mkdtemp(pattern)) std::abort();
        for (char const *name : {"TMP", "TMPDIR", "TEMP"}) setenv(name, pattern, 1);
        return std::string(pattern);
    }();
    return dir;
}

// What the temporary directory holds (an upload is a file in a directory of its own).
std::vector<std::filesystem::path> entries_of(std::string const &dir) {
    std::vector<std::filesystem::path> entries;
    std::error_code ec;
    for (auto const &e : std::filesystem::directory_iterator(dir, ec)) entries.push_back(e.path());
    return entries;
}

void remove_dir() {
    std::error_code ec;
    std::filesystem::remove_all(upload_dir(), ec);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(uint8_t const *data, std::size_t size) {
    static bool const ready = [] {
        upload_dir();
        std::atexit(remove_dir);
        return true;
    }();
    (void)ready;
    if (size == 0) return 0;
    KxRpc::RpcProcedure const &entry = KxRpc::procedure_table()[data[0] % KxRpc::procedure_count];
    if (!entry.construct || !entry.xdr_args || entry.request_size == 0) return 0;
    alignas(std::max_align_t) unsigned char buffer[KxRpc::max_request_size];
    XDR xdrs;
    xdrmem_create(&xdrs, reinterpret_cast<char *>(const_cast<uint8_t *>(data + 1)), static_cast<u_int>(size - 1),
                  XDR_DECODE);
    bool decoded = false;
    {
        KxRpc::ArgsHolder args;
        args.set(entry.construct(buffer));
        decoded = entry.xdr_args(&xdrs, args.get()) != FALSE;
    }
    xdr_destroy(&xdrs);
    std::vector<std::filesystem::path> const left = entries_of(upload_dir());
    if (!decoded && !left.empty()) {
        std::fprintf(stderr, "procedure %d: a failed decode left %s\n", data[0] % KxRpc::procedure_count,
                     left.front().c_str());
        std::abort();
    }
    std::error_code ec;
    for (auto const &p : left) std::filesystem::remove_all(p, ec); // a decoded upload is the handler's to take
    return 0;
}
