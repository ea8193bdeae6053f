// Error records: reason, message in the client's locale, resource, causes and extension.
#include "wire/errors.h"

#include <map>

#include "wire/exceptions.h"
#include "wire/locale.h"
#include "wire/trace.h"
#include "wire/xdr.h"

namespace KxRpc {

namespace {

// Filled at start-up before any worker runs, only read afterwards; never destroyed, so a
// record written while the process ends still finds its encoder.
std::map<int, ResourceEncoder *> &encoders() {
    static auto *map = new std::map<int, ResourceEncoder *>();
    return *map;
}

bool_t extension_proc(XDR *xdrs, void *e) { return static_cast<KxRpcException const *>(e)->xdr_extension(xdrs); }

// Whether the extension can be written in full: it is first run over a counting stream, so a
// failure there (an unknown field type) never leaves half an extension in the reply.
bool extension_writable(KxRpcException const &e) {
    try {
        return xdr_sizeof(reinterpret_cast<xdrproc_t>(extension_proc), const_cast<KxRpcException *>(&e)) != 0;
    } catch (...) {
        // Run under libtirpc's sizing stream: the extension is left out, as one it cannot size.
        return false;
    }
}

// Messages repeat what clients sent (names, values, documents): a record carries a few KiB of it.
Nul::UString rendered_message(Nul::STPException const &e) {
    try {
        Nul::Utf8String locale = stprpc_abstract_get_client_locale();
        return Nul::UMessage::echo(e.message().message_string(locale.c_str()));
    } catch (...) {
        // A resource argument that cannot print: the record goes out without its message.
        return Nul::UString();
    }
}

bool_t encode_record(XDR *xdrs, Nul::STPException const &e) {
    enum_t reason_code = static_cast<enum_t>(e.stp_reason_code());
    if (!xdr_enum(xdrs, &reason_code)) return FALSE;

    Nul::UString message = rendered_message(e);
    if (!xdr_ustring(xdrs, message)) return FALSE;

    bool resource_written = false;
    if (Nul::Resource const *resource = e.resource()) {
        int key = 0;
        ResourceEncoder *encoder = nullptr;
        try {
            key = resource->kind();
            encoder = find_resource_encoder(key);
        } catch (...) {
            // Part of an error record being written: a resource that cannot say its kind is left out.
            encoder = nullptr;
        }
        // The encoder checks the resource before it writes, so a refusal leaves the stream as it
        // was and the record goes on without a resource.
        if (encoder != nullptr) {
            u_int const before = xdr_getpos(xdrs);
            bool ok = false;
            try {
                ok = encoder->encode(xdrs, resource);
            } catch (...) {
                // Part of an error record being written: the resource is left out, as one refused.
                ok = false;
            }
            if (ok) {
                resource_written = true;
            } else if (xdr_getpos(xdrs) != before) {
                return FALSE; // the stream itself failed part-way
            }
        }
    }
    if (!resource_written) {
        enum_t none = -1;
        if (!xdr_enum(xdrs, &none)) return FALSE;
    }

    int count = static_cast<int>(e.causes().size());
    if (!xdr_int(xdrs, &count)) return FALSE;
    for (auto const &cause : e.causes())
        if (!encode_record(xdrs, *cause)) return FALSE;

    auto const *kx = dynamic_cast<KxRpcException const *>(&e);
    enum_t kind = 0;
    if (kx != nullptr) {
        try {
            kind = kx->extension_kind();
        } catch (...) {
            // Part of an error record being written: the record goes out without its extension.
            kind = 0;
        }
        if (kind != 0 && !extension_writable(*kx)) kind = 0;
    }
    if (!xdr_enum(xdrs, &kind)) return FALSE;
    if (kind == 0) return TRUE;
    return kx->xdr_extension(xdrs);
}

} // namespace

ResourceEncoder::~ResourceEncoder() = default;

void register_resource_encoder(int key, ResourceEncoder *encoder) { encoders().emplace(key, encoder); }

ResourceEncoder *find_resource_encoder(int key) {
    auto &map = encoders();
    auto it = map.find(key);
    return it == map.end() ? nullptr : it->second;
}

bool_t xdr_exception(XDR *xdrs, Nul::STPException const *e) noexcept {
    switch (xdrs->x_op) {
    case XDR_FREE:
        return TRUE;
    case XDR_DECODE:
        return FALSE;
    case XDR_ENCODE:
        break;
    }
    if (e == nullptr) return FALSE;
    try {
        return encode_record(xdrs, *e);
    } catch (...) {
        // An XDR routine: its caller answers FALSE as a failed write, the one way it has to say so.
        return FALSE;
    }
}

bool_t xdr_error_reply(XDR *xdrs, Nul::STPException const &e) noexcept {
    switch (xdrs->x_op) {
    case XDR_FREE:
        return TRUE;
    case XDR_DECODE:
        return FALSE;
    case XDR_ENCODE:
        break;
    }
    bool_t flag = TRUE;
    return xdr_bool(xdrs, &flag) && xdr_exception(xdrs, &e);
}

bool_t report_error_reply(Nul::UString const &method, XDR *xdrs, Nul::STPException const &e) noexcept {
    try {
        trace_stp_exception(method, e);
    } catch (...) {
        // A trace line that cannot be made must not keep the error reply from going out.
    }
    return xdr_error_reply(xdrs, e);
}

} // namespace KxRpc
