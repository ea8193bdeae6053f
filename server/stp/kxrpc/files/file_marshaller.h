// A server-side content file and its streaming into a reply as chunks of the client's size.
#pragma once

#include <rpc/xdr.h>

#include "tesutil/ustring.h"
#include "wire/exceptions.h"

namespace KxRpc {

// The chunk stream: FALSE, a count and that many bytes, repeated until the first chunk shorter
// than the chunk size (so content of a multiple of the chunk size ends with a count of 0); or
// TRUE and an exception record, which ends it.
class FileMarshaller {
public:
    FileMarshaller() = default;
    explicit FileMarshaller(Nul::UString const &path) : path_(path) {}

    // The path; a new empty temporary file when none is set yet.
    Nul::UString file_path();
    Nul::UString const &path() const { return path_; }
    void set_path(Nul::UString const &path) { path_ = path; }
    // The file as a read-only descriptor, or -1.
    int open();
    // Streams the file. A chunk size of 0 or less is refused before any content; however large the
    // chunk size, the file is read and written in bounded slices. False only when the stream fails.
    bool_t marshall(XDR *xdrs, int chunk_size);
    // Deletes the file; the path stays.
    void remove_file();

private:
    Nul::UString path_;
};

// The content of `bytes` as the same chunk stream (after the caller's leading FALSE).
bool_t xdr_chunks(XDR *xdrs, char const *bytes, std::size_t length, int chunk_size);

// The refusal of a chunk size of 0 or less: the error, and the error arm.
KXInternalErrorException chunk_size_error(int chunk_size);
bool_t refuse_chunk_size(Nul::UString const &method, XDR *xdrs, int chunk_size);

} // namespace KxRpc
