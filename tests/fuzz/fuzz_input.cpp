#include "fuzz_input.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include <rpc/xdr.h>

namespace kxfuzz {

namespace {

void remove_temp_dir() {
    std::error_code ec;
    std::filesystem::remove_all(temp_dir(), ec);
}

} // namespace

std::string const &temp_dir() {
    // Never destroyed: the exit handler that removes the directory still needs its name.
    static std::string const *dir = [] {
        char pattern[] = "/tmp/kxrpc-fuzz-XXXXXX";
        if (!mkdtemp(pattern)) std::abort();
        for (char const *name : {"TMP", "TMPDIR", "TEMP"}) setenv(name, pattern, 1);
        std::atexit(remove_temp_dir);
        return new std::string(pattern);
    }();
    return *dir;
}

std::vector<std::filesystem::path> temp_entries() {
    std::vector<std::filesystem::path> entries;
    std::error_code ec;
    for (auto const &e : std::filesystem::directory_iterator(temp_dir(), ec)) entries.push_back(e.path());
    return entries;
}

void clear_temp_dir() {
    std::error_code ec;
    for (auto const &p : temp_entries()) std::filesystem::remove_all(p, ec);
}

bool decode_args(KxRpc::RpcProcedure const &entry, int number, std::uint8_t const *bytes, std::size_t size,
                 void *buffer, KxRpc::ArgsHolder &args) {
    std::vector<std::filesystem::path> const before = temp_entries();
    XDR xdrs;
    xdrmem_create(&xdrs, reinterpret_cast<char *>(const_cast<std::uint8_t *>(bytes)), static_cast<u_int>(size),
                  XDR_DECODE);
    args.set(entry.construct(buffer));
    bool const decoded = entry.xdr_args(&xdrs, args.get()) != FALSE;
    xdr_destroy(&xdrs);
    if (decoded) return true;
    args.free();
    for (auto const &p : temp_entries()) {
        if (std::find(before.begin(), before.end(), p) != before.end()) continue;
        std::fprintf(stderr, "procedure %d: a failed decode left %s\n", number, p.c_str());
        std::abort();
    }
    return false;
}

} // namespace kxfuzz
