// Fuzzing of the argument decoders: each input's request is built, decoded and destroyed as the
// dispatcher does it. A decode that fails must leave no upload file behind.
#include <cstddef>
#include <cstdint>

#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(uint8_t const *data, std::size_t size) {
    if (size == 0) return 0;
    int const number = kxfuzz::procedure_of(data[0]);
    KxRpc::RpcProcedure const &entry = KxRpc::procedure_table()[number];
    if (!entry.construct || !entry.xdr_args || entry.request_size == 0) return 0;
    alignas(std::max_align_t) unsigned char buffer[KxRpc::max_request_size];
    {
        KxRpc::ArgsHolder args;
        kxfuzz::decode_args(entry, number, data + 1, size - 1, buffer, args);
    }
    kxfuzz::clear_temp_dir(); // a decoded upload is the handler's to take
    return 0;
}
