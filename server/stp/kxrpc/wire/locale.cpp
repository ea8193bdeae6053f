#include "wire/locale.h"

#include <cstdlib>
#include <cstring>
#include <mutex>

#include "ks_rpcsvc.h"
#include "wire/trace.h"

namespace KxRpc {

namespace {

ks_thread_key_t locale_key;
bool locale_key_valid = false;
std::once_flag locale_key_once;

// The longest prefix of at most `room` bytes that ends on a UTF-8 character boundary.
std::size_t utf8_prefix(std::string const &text, std::size_t room) {
    if (text.size() <= room) return text.size();
    std::size_t n = room;
    while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
    return n;
}

} // namespace

bool init_client_locale_key() {
    std::call_once(locale_key_once, [] { locale_key_valid = ks_thr_keycreate(&locale_key, &std::free) == 0; });
    if (!locale_key_valid)
        trace_text(1, L"KxRpc::stprpc_abstract_set_client_locale(): Failed to create the thread key");
    return locale_key_valid;
}

bool stprpc_abstract_set_client_locale(Nul::UString const &locale) {
    try {
        char *buffer = nullptr;
        if (locale_key_valid) {
            void *value = nullptr;
            if (ks_thr_getspecific(locale_key, &value) == 0) buffer = static_cast<char *>(value);
            if (buffer == nullptr) buffer = static_cast<char *>(std::calloc(client_locale_buffer_size, 1));
        }
        if (buffer != nullptr) {
            Nul::Utf8String text = locale.utf8_str();
            std::size_t n = utf8_prefix(text, client_locale_buffer_size - 1);
            std::memcpy(buffer, text.data(), n);
            buffer[n] = '\0';
            if (ks_thr_setspecific(locale_key, buffer) == 0) return true;
            // Never stored: ours to free. A buffer that was stored stays with the thread.
            void *stored = nullptr;
            if (ks_thr_getspecific(locale_key, &stored) != 0 || stored != buffer) std::free(buffer);
        }
    } catch (...) {
        // Out of memory: said by the trace below; the call goes on in the default locale.
    }
    trace_text(1, L"KxRpc::stprpc_abstract_set_client_locale(): Failed to set the locale for this thread key");
    return false;
}

Nul::Utf8String stprpc_abstract_get_client_locale() {
    void *value = nullptr;
    if (locale_key_valid && ks_thr_getspecific(locale_key, &value) == 0 && value != nullptr)
        return Nul::Utf8String(static_cast<char const *>(value));
    trace_text(1, L"KxRpc::stprpc_abstract_get_client_locale(): Failed to obtain client locale: defaulting to en_US");
    return Nul::Utf8String(default_client_locale);
}

} // namespace KxRpc
