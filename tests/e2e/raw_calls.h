// Raw procedure calls for the end-to-end tests: request bodies built word by word, replies read
// back as they came, login and the session header.
#pragma once

#include <gtest/gtest.h>

#include <csignal>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "server_process.h"

namespace e2e {

// A request body built word by word.
struct Body {
    std::string bytes;
    Body &u(std::uint32_t v) {
        for (int shift = 24; shift >= 0; shift -= 8) bytes.push_back(static_cast<char>((v >> shift) & 0xff));
        return *this;
    }
    Body &i(int v) { return u(static_cast<std::uint32_t>(v)); }
    Body &s(std::string const &text) {
        u(static_cast<std::uint32_t>(text.size()));
        bytes += text;
        bytes.append((4 - text.size() % 4) % 4, '\0');
        return *this;
    }
    Body &raw(std::string const &b) {
        bytes += b;
        return *this;
    }
    // A target by name: type code, marshalled by name, the name.
    Body &named(int type, std::string const &name) { return i(type).i(1).s(name); }
    // An error record with no resource and no extension, and its causes.
    Body &error(int reason, std::string const &message, std::vector<Body> const &causes = {}) {
        i(reason).s(message).i(-1).u(static_cast<std::uint32_t>(causes.size()));
        for (Body const &cause : causes) bytes += cause.bytes;
        return i(0);
    }
};

inline bool_t xdr_body(XDR *xdrs, Body *b) {
    return xdr_opaque(xdrs, b->bytes.data(), static_cast<u_int>(b->bytes.size()));
}

// The whole reply, read back as it came.
struct Reply {
    std::string bytes;
    std::size_t at = 0;
    std::uint32_t u() {
        if (at + 4 > bytes.size()) throw std::runtime_error("reply too short");
        std::uint32_t v = 0;
        for (int k = 0; k < 4; ++k) v = (v << 8) | static_cast<unsigned char>(bytes[at + k]);
        at += 4;
        return v;
    }
    int i() { return static_cast<int>(u()); }
    std::string s() {
        std::uint32_t n = u();
        if (at + n > bytes.size()) throw std::runtime_error("string past the end");
        std::string out = bytes.substr(at, n);
        at += (n + 3) / 4 * 4;
        return out;
    }
    std::string handle() {
        std::uint32_t n = u();
        std::string h = bytes.substr(at, n);
        at += n;
        return h;
    }
    // Reason and message of an error record (no resource, causes or extension expected).
    std::pair<int, std::string> error() {
        int reason = i();
        std::string message = s();
        EXPECT_EQ(i(), -1);
        int causes = i();
        EXPECT_EQ(causes, 0);
        EXPECT_EQ(i(), 0);
        return {reason, message};
    }
    bool done() const { return at == bytes.size(); }
};

// What a call answered: a handle or a path, or its error arm's reason and message.
struct Answer {
    bool failed = true;
    int reason = 0;
    std::string message, value;
};

// The reply's error arm, else the handle (`handle`) or the string it answered.
inline Answer answer(Reply r, bool handle) {
    Answer a;
    a.failed = r.u() != 0;
    if (a.failed) {
        a.reason = r.i();
        a.message = r.s();
    } else {
        a.value = handle ? r.handle() : r.s();
    }
    return a;
}

inline bool_t xdr_reply(XDR *xdrs, Reply *r) {
    // Whole runs of what the stream already holds, else a word at a time (which refills it).
    constexpr u_int run = 1024;
    for (;;) {
        if (auto const *p = reinterpret_cast<char const *>(XDR_INLINE(xdrs, run))) {
            r->bytes.append(p, run);
            continue;
        }
        u_int w = 0;
        if (!xdr_u_int(xdrs, &w)) return TRUE;
        for (int shift = 24; shift >= 0; shift -= 8) r->bytes.push_back(static_cast<char>((w >> shift) & 0xff));
    }
}

inline Reply call(Client &client, rpcproc_t proc, Body body) {
    Reply reply;
    EXPECT_EQ(RPC_SUCCESS, client.call(proc, as_proc(xdr_body), &body, as_proc(xdr_reply), &reply)) << proc;
    return reply;
}

// The 16 bytes of a login's session handle.
inline std::string login(Client &client, std::string const &user) {
    Body b;
    b.u(0).i(7).s("KXDEMO/ISSUE").s(user).s(user).s("en_US").s("").i(0).s("");
    Reply r = call(client, 5, b);
    if (r.u() != 0) return std::string();
    return r.handle();
}

// Correlator none, the session handle, locale, trace id.
inline Body session(std::string const &handle) {
    Body b;
    return b.u(0).u(16).raw(handle).s("en_US").i(1);
}

// The property-request header of move_query.
inline Body props_session(std::string const &handle) {
    Body b;
    return b.u(0).i(0).u(16).raw(handle).s("en_US").i(1);
}

// The real program serving its demo set from a fresh directory with four workers, and one
// client logged on as alice; stopped by SIGTERM and expected to end cleanly.
class LoggedOnTest : public testing::Test {
protected:
    void SetUp() override {
        std::vector<std::string> env = environment();
        env.push_back("KX_PRODUCT_DATA=" + dir_.file("data"));
        server_ = std::make_unique<ServerProcess>(std::vector<std::string>{"-worker_threads", "4"}, dir_.path(), env);
        ASSERT_TRUE(server_->start());
        client_ = std::make_unique<Client>(server_->port());
        ASSERT_TRUE(client_->ok());
        alice_ = login(*client_, "alice");
        ASSERT_EQ(alice_.size(), 16u);
    }
    void TearDown() override {
        client_.reset();
        server_->signal(SIGTERM);
        EXPECT_EQ(0, server_->wait().status);
    }
    // What the server's environment has besides its data directory.
    virtual std::vector<std::string> environment() const { return {}; }

    TempDir dir_;
    std::unique_ptr<ServerProcess> server_;
    std::unique_ptr<Client> client_;
    std::string alice_;
};

} // namespace e2e
