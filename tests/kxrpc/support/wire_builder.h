// Call bodies written with libtirpc's own encoders, and whole-request decoding through the
// procedures' argument routine.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "target/target.h"
#include "wire/glue.h"
#include "xdr_buffer.h"

namespace kxtest {

class Wire {
public:
    Wire &i(int v) {
        return op([v](XDR *x) mutable { return xdr_int(x, &v); });
    }
    Wire &u(unsigned v) {
        return op([v](XDR *x) mutable { return xdr_u_int(x, &v); });
    }
    Wire &b(bool v) {
        return op([v](XDR *x) {
            bool_t w = v ? TRUE : FALSE;
            return xdr_bool(x, &w);
        });
    }
    Wire &s(std::string v) {
        return op([v](XDR *x) mutable {
            char *p = v.data();
            return xdr_string(x, &p, ~0u);
        });
    }
    // Fixed-length opaque bytes with their padding (no length word).
    Wire &raw(std::string v) {
        return op([v](XDR *x) mutable { return xdr_opaque(x, v.data(), static_cast<u_int>(v.size())); });
    }
    // A resource type code and the target's own encoding.
    Wire &t(KxRpc::TargetResourceArg target) {
        i(target.type());
        return op([target](XDR *x) mutable { return target.xdr(x); });
    }
    // Correlator none, no session handle, locale, trace id.
    Wire &session_header(int wtid) { return i(0).i(4).i(0).s("en_US").i(wtid); }
    Wire &op(std::function<bool_t(XDR *)> f) {
        ops_.push_back(std::move(f));
        return *this;
    }
    Bytes bytes() const {
        bool ok = false;
        Bytes out = encode(
            [&](XDR *x) {
                for (auto const &o : ops_)
                    if (!o(x)) return FALSE;
                return TRUE;
            },
            &ok, 1 << 20);
        EXPECT_TRUE(ok);
        return out;
    }

private:
    std::vector<std::function<bool_t(XDR *)>> ops_;
};

template <class T>
bool decode_args(T &args, Bytes const &bytes, std::size_t *used = nullptr) {
    return decode(
        bytes, [&](XDR *x) { return KxRpc::xdr_args_of<T>(x, static_cast<KxRpc::XdrObject *>(&args)); }, used);
}

inline std::string u8(Nul::UString const &s) { return s.utf8_str().std_str(); }

// Targets the request tests send.
inline KxRpc::TargetResourceArg rectype(wchar_t const *name) {
    return KxRpc::TargetResourceArg(31, Nul::UString(name));
}
inline KxRpc::TargetResourceArg record(u_int type_dbid, u_int dbid) {
    return KxRpc::TargetResourceArg(32, type_dbid, dbid);
}
inline KxRpc::TargetResourceArg action(wchar_t const *type, wchar_t const *name) {
    return KxRpc::TargetResourceArg(40, Nul::UString(type), Nul::UString(name));
}

} // namespace kxtest
