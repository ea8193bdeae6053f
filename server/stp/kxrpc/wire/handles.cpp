#include "wire/handles.h"

#include <array>
#include <cstdint>
#include <map>

#include "tesutil/critsec.h"
#include "tesutil/ustring.h"
#include "wire/trace.h"

namespace KxRpc {

namespace {

struct Registry {
    Nul::CriticalSectionLock lock;
    std::map<Nul::UString, StateItemPtr> items;
};

// Never destroyed: items the client forgets live until the process ends, and no product call
// may run from a static destructor.
Registry &registry() {
    static Registry *r = new Registry;
    return *r;
}

using Words = std::array<std::uint32_t, 4>;

Words oid_words(Nul::Oid const &oid) {
    auto const &b = oid.bits();
    return {b.words[0], b.words[1], b.words[2], b.words[3]};
}

Nul::Oid oid_from_words(Words const &w) {
    struct Nul::Oid::bits b {};
    for (int i = 0; i < 4; ++i) b.words[i] = w[i];
    return Nul::Oid(b);
}

Nul::UString item_line(char const *what, Nul::Oid const &oid) {
    return Nul::UString(Nul::Utf8String(std::string(what) + ": (item:")) + oid.dense_str() + Nul::UString(L")");
}

} // namespace

StateItem::~StateItem() = default;

Nul::Oid StateItem::oid() const {
    Nul::CriticalSection guard(registry().lock);
    return oid_;
}

void StateItem::set_oid(Nul::Oid const &oid) {
    Nul::CriticalSection guard(registry().lock);
    oid_ = oid;
}

Nul::Oid add_pointer_entry(StateItemPtr const &item) {
    Registry &r = registry();
    Nul::CriticalSection guard(r.lock);
    Nul::Oid oid = item->oid();
    if (!oid.is_nil()) return oid;
    oid = Nul::Oid::gen();
    item->set_oid(oid);
    r.items[oid.dense_str()] = item;
    trace_lazy(1, [&] { return item_line("add_pointer_entry", oid); });
    return oid;
}

bool remove_pointer_entry(Nul::Oid const &oid) {
    Registry &r = registry();
    StateItemPtr released;
    {
        Nul::CriticalSection guard(r.lock);
        trace_lazy(1, [&] { return item_line("remove_pointer_entry", oid); });
        auto it = r.items.find(oid.dense_str());
        if (it == r.items.end()) return false;
        released = std::move(it->second);
        r.items.erase(it);
    }
    // The registry's reference goes here, outside the lock: the item's destructor may call the
    // product for a while.
    return true;
}

StateItemPtr lookup_pointer_entry(Nul::Oid const &oid) {
    Registry &r = registry();
    Nul::CriticalSection guard(r.lock);
    auto it = r.items.find(oid.dense_str());
    return it == r.items.end() ? StateItemPtr() : it->second;
}

std::vector<StateItemPtr> registered_items() {
    Registry &r = registry();
    std::vector<StateItemPtr> items;
    Nul::CriticalSection guard(r.lock);
    items.reserve(r.items.size());
    for (auto const &entry : r.items) items.push_back(entry.second);
    return items;
}

bool_t xdr_oid(XDR *xdrs, Nul::Oid &oid) noexcept {
    try {
        switch (xdrs->x_op) {
        case XDR_ENCODE: {
            Words w = oid_words(oid);
            for (auto &word : w) {
                u_int v = word;
                if (!xdr_u_int(xdrs, &v)) return FALSE;
            }
            return TRUE;
        }
        case XDR_DECODE: {
            Words w{};
            for (auto &word : w) {
                u_int v = 0;
                if (!xdr_u_int(xdrs, &v)) return FALSE;
                word = v;
            }
            oid = oid_from_words(w);
            return TRUE;
        }
        case XDR_FREE:
            return TRUE;
        }
    } catch (...) {
    }
    return FALSE;
}

namespace {

constexpr u_int handle_length = 16;
constexpr u_int no_handle_length = 4;

// The Oid's words least significant byte first, as they lie in memory on the client's platform.
std::array<char, handle_length> handle_bytes(Nul::Oid const &oid) {
    std::array<char, handle_length> bytes{};
    Words w = oid_words(oid);
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) bytes[4 * i + j] = static_cast<char>((w[i] >> (8 * j)) & 0xFF);
    return bytes;
}

Nul::Oid handle_oid(std::array<char, handle_length> const &bytes) {
    Words w{};
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) w[i] |= std::uint32_t(static_cast<unsigned char>(bytes[4 * i + j])) << (8 * j);
    return oid_from_words(w);
}

} // namespace

bool_t xdr_state_handle(XDR *xdrs, StateItemPtr &item) noexcept {
    try {
        switch (xdrs->x_op) {
        case XDR_ENCODE: {
            if (!item) {
                u_int length = no_handle_length;
                char zeros[no_handle_length] = {};
                return xdr_u_int(xdrs, &length) && xdr_opaque(xdrs, zeros, no_handle_length);
            }
            Nul::Oid oid = item->oid();
            if (oid.is_nil()) oid = add_pointer_entry(item);
            u_int length = handle_length;
            std::array<char, handle_length> bytes = handle_bytes(oid);
            return xdr_u_int(xdrs, &length) && xdr_opaque(xdrs, bytes.data(), handle_length);
        }
        case XDR_DECODE: {
            u_int length = 0;
            if (!xdr_u_int(xdrs, &length)) return FALSE;
            if (length == no_handle_length) {
                char none[no_handle_length];
                if (!xdr_opaque(xdrs, none, no_handle_length)) return FALSE;
                item.reset();
                return TRUE;
            }
            if (length != handle_length) return FALSE;
            std::array<char, handle_length> bytes{};
            if (!xdr_opaque(xdrs, bytes.data(), handle_length)) return FALSE;
            item = lookup_pointer_entry(handle_oid(bytes));
            return TRUE;
        }
        case XDR_FREE:
            return TRUE;
        }
    } catch (...) {
    }
    return FALSE;
}

} // namespace KxRpc
