// What the two fuzzing programs share: the layout of an input, the private temporary directory
// that uploads land in, and the decoding of the arguments as the dispatcher does it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "core/dispatch.h"

// The entry point libFuzzer calls with each input; each program defines it.
extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const *data, std::size_t size);

namespace kxfuzz {

// An input's first byte picks the procedure (byte % procedure_count) and, for the handler
// program, which session its state handles stand for (byte / procedure_count); the rest is the
// XDR of the arguments.
inline int procedure_of(std::uint8_t first) { return first % KxRpc::procedure_count; }
inline int variant_of(std::uint8_t first) { return first / KxRpc::procedure_count; }

// Private to the process (TMP, TMPDIR and TEMP point to it) and removed at its end.
std::string const &temp_dir();
std::vector<std::filesystem::path> temp_entries();
void clear_temp_dir();

// Builds the request in `buffer` and decodes `bytes` into it. A failed decode destroys the
// request at once and must leave no new upload file behind (the process aborts if it does); a
// decoded one stays in `args`.
bool decode_args(KxRpc::RpcProcedure const &entry, int number, std::uint8_t const *bytes, std::size_t size,
                 void *buffer, KxRpc::ArgsHolder &args);

} // namespace kxfuzz
