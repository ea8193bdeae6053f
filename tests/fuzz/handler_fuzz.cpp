// Fuzzing of the handlers: each call of an input is decoded as the argument decoders' program
// does it, then served the way the dispatcher serves it, against a private copy of the demo
// database set with real sessions logged on. An input is one call or several, separated by the
// four bytes ff 4b 58 ff; a call is laid out as the decoders' inputs are. In a call's arguments,
// a state handle whose 16 bytes are 00 01 .. 0f stands for the session that the call's first byte
// picks, and one whose bytes are 10 11 .. 1e k for the k-th handle that the replies of earlier
// calls of the input handed out (k modulo their number), so requests get past the session check
// and reach records, queries and uploads. A piece that starts with "FLT!" makes a product
// operation that a later call uses fail (a fault armed as the product's tests arm them), so the
// handlers' error paths run too. The properties: no crash or sanitizer finding, nothing
// but the server's own error leaves a handler, every reply (result or error) encodes, and no
// product exception outlives the input.
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <memory>
#include <string>
#include <typeinfo>
#include <vector>

#include <rpc/xdr.h>

#include "core/com_startup.h"
#include "core/product_flags.h"
#include "core/trace.h"
#include "fuzz_input.h"
#include "kxproduct/diag.h"
#include "kxproduct/exceptions.h"
#include "kxproduct/faults.h"
#include "kxproduct/store.h"
#include "kxwin/cexception.h"
#include "wire/errors.h"
#include "wire/exceptions.h"
#include "wire/handles.h"
#include "wire/locale.h"

namespace {

using namespace KxRpc;

constexpr int login_procedure = 5;
constexpr int shutdown_procedure = 1;
// Deliveries and uploads grow the set: a fresh copy is taken after this many inputs.
constexpr int inputs_per_copy = 10000;
constexpr std::size_t handle_size = 16;
constexpr std::size_t max_calls = 8;
constexpr std::array<unsigned char, 4> separator = {0xff, 'K', 'X', 0xff};
// A piece that starts so arms a product fault for the calls after it (see arm_fault).
constexpr std::array<unsigned char, 4> fault_marker = {'F', 'L', 'T', '!'};
constexpr std::ptrdiff_t fault_min_size = 7;
using HandleBytes = std::array<unsigned char, handle_size>;
constexpr HandleBytes session_placeholder = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
constexpr std::size_t item_placeholder_prefix = handle_size - 1;
constexpr HandleBytes item_placeholder = {16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 0};

// A handle's length word (16) at `p`: where a state handle may start.
bool handle_at(unsigned char const *p) { return p[0] == 0 && p[1] == 0 && p[2] == 0 && p[3] == handle_size; }

[[noreturn]] void finding(int number, char const *what, std::string const &detail = {}) {
    std::fprintf(stderr, "procedure %d (%ls): %s%s%s\n", number, procedure_table()[number].name, what,
                 detail.empty() ? "" : ": ", detail.c_str());
    std::abort();
}

// What escaped, in a few words (called inside a catch block); product exceptions are deleted.
std::string describe_current() {
    try {
        throw;
    } catch (KXException *e) {
        std::string text = "KXException " + std::to_string(e->GetMsgId()) + " " + e->GetErrorString().ToUtf8();
        e->Delete();
        return text;
    } catch (PaMsgException *e) {
        e->Delete();
        return "PaMsgException";
    } catch (CException *e) {
        e->Delete();
        return "CException";
    } catch (std::exception const &e) {
        return std::string(typeid(e).name()) + ": " + e.what();
    } catch (...) {
        return "an exception of another type";
    }
}

struct Counts {
    long kx = KXException::LiveCount();
    long pa = PaMsgException::LiveCount();
    long c = CException::LiveCount();
    bool operator==(Counts const &) const = default;
};

class Bytes {
public:
    void word(std::uint32_t v) {
        for (int shift = 24; shift >= 0; shift -= 8) bytes_.push_back(static_cast<std::uint8_t>(v >> shift));
    }
    void text(std::string const &s) {
        word(static_cast<std::uint32_t>(s.size()));
        bytes_.insert(bytes_.end(), s.begin(), s.end());
        bytes_.resize((bytes_.size() + 3) & ~std::size_t(3), 0);
    }
    std::vector<std::uint8_t> const &get() const { return bytes_; }

private:
    std::vector<std::uint8_t> bytes_;
};

struct Session {
    Session(char const *repo, char const *login) : repository(repo), user(login) {}
    char const *repository;
    char const *user;
    StateItemPtr item;
    HandleBytes handle{};
};

struct HandedOut {
    StateItemPtr item;
    HandleBytes handle{};
};

// The product set, the sessions on it and the reply buffer: made once per process, never
// destroyed (no product call may run from a static destructor).
class World {
public:
    World() : reply_(64u << 20) {
        char pattern[] = "/tmp/kxrpc-fuzzset-XXXXXX";
        if (!mkdtemp(pattern)) std::abort();
        root_ = pattern;
        std::atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(get().root_, ec);
        });
        kxfuzz::temp_dir();
        // The product's diagnostics are made and dropped: millions of "cannot open" lines would
        // bury a finding.
        if (!tracing_) AdDiagnostic::SetSink([](CString const &, CString const &) {});
        prepare_process();
        init_client_locale_key();
        initialize_com_for_thread();
        // Logons hash at the least cost, so that they do not slow the fuzzing down.
        ::setenv("KX_PASSWORD_HASH_COST", "min", 0);
        // The demo set is made once; every copy starts from it.
        pristine_ = root_ + "/pristine";
        ::setenv("KX_PRODUCT_DATA", pristine_.c_str(), 1);
        KXProductStore::EnsureDataDirectory();
        fresh_copy();
    }

    static World &get() {
        static World *world = new World;
        return *world;
    }

    void serve(std::uint8_t const *data, std::size_t size) {
        if (++inputs_ % inputs_per_copy == 0) fresh_copy();
        Counts const before;
        std::uint8_t const *end = data + size;
        int last = 0;
        for (std::size_t calls = 0; data < end && calls < max_calls; ++calls) {
            std::uint8_t const *next = std::search(data, end, separator.begin(), separator.end());
            if (next - data >= fault_min_size && std::equal(fault_marker.begin(), fault_marker.end(), data)) {
                arm_fault(data, next);
            } else if (next > data) {
                last = kxfuzz::procedure_of(*data);
                call(last, kxfuzz::variant_of(*data), std::vector<std::uint8_t>(data + 1, next));
            }
            data = next == end ? end : next + separator.size();
        }
        // What the replies handed out is released, as a client's delete_state would, so the
        // registry does not grow from input to input; the sessions stay.
        for (HandedOut const &h : handed_out_) remove_pointer_entry(h.item->oid());
        handed_out_.clear();
        KXFaultInjector::Reset();
        kxfuzz::clear_temp_dir();
        if (!(Counts() == before)) finding(last, "a product exception outlived the input");
        for (Session &s : sessions_) {
            if (lookup_pointer_entry(s.item->oid()) != s.item) log_on(s); // released by delete_state
        }
    }

private:
    // The call as the dispatcher makes it, with the reply encoded into memory and freed.
    void drive(int number, std::vector<std::uint8_t> const &bytes) {
        RpcProcedure const &entry = procedure_table()[number];
        if (!entry.construct || entry.request_size == 0) return;
        alignas(std::max_align_t) unsigned char buffer[max_request_size];
        reply_size_ = 0;
        ArgsHolder args;
        if (!kxfuzz::decode_args(entry, number, bytes.data(), bytes.size(), buffer, args)) return;
        if (!entry.handler || number == shutdown_procedure) return;
        MemoryReportScope memory_scope(entry.name);
        XdrObject *result = nullptr;
        XDR xdrs;
        xdrmem_create(&xdrs, reply_.data(), static_cast<u_int>(reply_.size()), XDR_ENCODE);
        bool stored = false;
        try {
            result = entry.handler(args.get()).release();
            stored = true;
        } catch (Nul::STPException const &e) {
            if (tracing_)
                std::fprintf(stderr, "%ls: error %d: %s\n", entry.name, static_cast<int>(e.stp_reason_code()),
                             exception_message_text(e).utf8_str().c_str());
            if (!report_error_reply(Nul::UString(entry.name), &xdrs, e))
                finding(number, "the error reply does not encode");
        } catch (...) {
            finding(number, "escaped the handler", describe_current());
        }
        if (stored && result) {
            if (!entry.xdr_result(&xdrs, &result)) finding(number, "the reply does not encode");
            if (tracing_) std::fprintf(stderr, "%ls: result of %u bytes\n", entry.name, xdr_getpos(&xdrs));
        }
        if (result) xdr_free(entry.xdr_result, reinterpret_cast<char *>(&result));
        reply_size_ = xdr_getpos(&xdrs);
        xdr_destroy(&xdrs);
        try {
            args.free();
        } catch (...) {
            finding(number, "destroying the request threw", describe_current());
        }
    }

    // "FLT!", the kind, which call of the operation fails, the message id, the operation's name.
    static void arm_fault(std::uint8_t const *piece, std::uint8_t const *end) {
        static constexpr KXFaultKind kinds[] = {KXFaultKind::KXException, KXFaultKind::PaMsgException,
                                                KXFaultKind::CException};
        static constexpr int message_ids[] = {0, 13224, 13285};
        KXFault fault;
        fault.kind = kinds[piece[4] % std::size(kinds)];
        fault.msg_id = message_ids[piece[6] % std::size(message_ids)];
        fault.text = CString(L"injected failure");
        std::string const operation(piece + fault_min_size, end);
        KXFaultInjector::Arm(operation.c_str(), fault, piece[5] % 4 + 1);
    }

    void call(int number, int variant, std::vector<std::uint8_t> bytes) {
        Session const *session = nullptr;
        if (int const choice = variant % (static_cast<int>(sessions_.size()) + 1);
            choice < static_cast<int>(sessions_.size()))
            session = &sessions_[choice];
        for (std::size_t at = 0; at + 4 + handle_size <= bytes.size(); at += 4) {
            if (!handle_at(&bytes[at])) continue;
            unsigned char *handle = &bytes[at + 4];
            if (session && std::memcmp(handle, session_placeholder.data(), handle_size) == 0)
                std::memcpy(handle, session->handle.data(), handle_size);
            else if (!handed_out_.empty() && std::memcmp(handle, item_placeholder.data(), item_placeholder_prefix) == 0)
                std::memcpy(handle, handed_out_[handle[item_placeholder_prefix] % handed_out_.size()].handle.data(),
                            handle_size);
        }
        drive(number, bytes);
        collect_handed_out();
    }

    // The registered item that the handle at `at` of the reply names, if any.
    StateItemPtr item_at(std::size_t at) {
        XDR xdrs;
        xdrmem_create(&xdrs, reply_.data() + at, 4 + handle_size, XDR_DECODE);
        StateItemPtr item;
        if (!xdr_state_handle(&xdrs, item)) item.reset();
        xdr_destroy(&xdrs);
        return item;
    }

    // The items that the reply names, other than the sessions, in the order of the reply.
    void collect_handed_out() {
        auto const *r = reinterpret_cast<unsigned char const *>(reply_.data());
        for (std::size_t at = 0; at + 4 + handle_size <= reply_size_; at += 4) {
            if (!handle_at(r + at)) continue;
            StateItemPtr item = item_at(at);
            if (!item) continue;
            bool known = false;
            for (Session const &s : sessions_) known = known || s.item == item;
            for (HandedOut const &h : handed_out_) known = known || h.item == item;
            if (known) continue;
            HandedOut h{std::move(item), {}};
            std::memcpy(h.handle.data(), r + at + 4, handle_size);
            handed_out_.push_back(std::move(h));
        }
    }

    void log_on(Session &s) {
        if (s.item) remove_pointer_entry(s.item->oid());
        s.item.reset();
        Bytes login;
        login.word(0); // no correlator
        login.word(1); // trace id
        login.text(s.repository);
        login.text(s.user);
        login.text(s.user);
        login.text("en_US");
        login.text("");
        login.word(0); // no single sign-on
        login.text("fuzz");
        drive(login_procedure, login.get());
        std::uint32_t const no_error = 0, length = handle_size;
        auto const *r = reinterpret_cast<unsigned char const *>(reply_.data());
        if (reply_size_ != 8 + handle_size || std::memcmp(r, &no_error, 4) != 0 || r[7] != length) {
            std::fprintf(stderr, "the fuzzing session %s on %s cannot log on\n", s.user, s.repository);
            std::abort();
        }
        s.item = item_at(4);
        std::memcpy(s.handle.data(), r + 8, handle_size);
    }

    // A new data directory from the pristine set, and the sessions logged on to it again.
    void fresh_copy() {
        for (Session &s : sessions_) {
            if (s.item) remove_pointer_entry(s.item->oid());
            s.item.reset();
        }
        std::string const previous = data_;
        data_ = root_ + "/data-" + std::to_string(++copies_);
        std::filesystem::copy(pristine_, data_);
        ::setenv("KX_PRODUCT_DATA", data_.c_str(), 1);
        std::error_code ec;
        if (!previous.empty()) std::filesystem::remove_all(previous, ec);
        for (Session &s : sessions_) log_on(s);
    }

    // KXRPC_FUZZ_TRACE set: one line per call on the standard error, to see where seeds get.
    bool const tracing_ = std::getenv("KXRPC_FUZZ_TRACE") != nullptr;
    std::string root_, pristine_, data_;
    int copies_ = 0;
    long inputs_ = 0;
    std::vector<char> reply_;
    std::size_t reply_size_ = 0;
    std::vector<HandedOut> handed_out_;
    // A user of the user database, the administrator there, and the administrator of the set.
    std::vector<Session> sessions_{{"KXDEMO/ISSUE", "alice"}, {"KXDEMO/ISSUE", "admin"}, {"KXDEMO", "admin"}};
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(uint8_t const *data, std::size_t size) {
    if (size == 0) return 0;
    World::get().serve(data, size);
    return 0;
}
