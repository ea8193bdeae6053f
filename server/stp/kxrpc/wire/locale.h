// The client locale of the calling worker thread, kept under a thread key of the RPC runtime.
#pragma once

#include "tesutil/ustring.h"

namespace KxRpc {

// Room for the locale's UTF-8 text and its terminating zero.
constexpr unsigned client_locale_buffer_size = 128;
constexpr char const *default_client_locale = "en_US";

// Creates the thread key (value destructor: free). Later calls reuse the key.
bool init_client_locale_key();

// Stores the locale for the calling thread; a text longer than 127 bytes is cut at a character
// boundary. False (with a trace line) when the key is missing or the value cannot be stored.
bool stprpc_abstract_set_client_locale(Nul::UString const &locale);

// The calling thread's locale, "en_US" when it has none.
Nul::Utf8String stprpc_abstract_get_client_locale();

} // namespace KxRpc
