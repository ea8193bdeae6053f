// The dispatcher over the real runtime, with probe procedures put into the table: ownership of
// requests and responses on every path, replies, and ARM transactions seen by the recording agent.
#include "core/dispatch.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <netinet/in.h>
#include <rpc/rpc.h>
#include <sanitizer/lsan_interface.h>
#include <sstream>
#include <stdexcept>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "core/options.h"
#include "core/shutdown.h"
#include "core/startup.h"
#include "ks_rpcsvc.h"
#include "kxproduct/exceptions.h"
#include "kxwin/cstring.h"
#include "support/host.h"
#include "target/requests.h"
#include "tesutil/ustring.h"
#include "wire/exceptions.h"
#include "wire/glue.h"
#include "wire/product_failure.h"

using namespace KxRpc;

// The ARM correlator record of a thread that libwexutil did not start is never released (its
// thread key runs destructors only in its own threads); the runtime's workers are such threads.
extern "C" char const *__lsan_default_suppressions() {
    return "leak:Nul::ArmPerThreadOperationStack::get_base_correlator\n";
}

namespace {

template <class F>
xdrproc_t as_xdrproc(F *routine) {
    return reinterpret_cast<xdrproc_t>(reinterpret_cast<void (*)()>(routine));
}

template <class Args>
XdrObject *construct_request(void *buffer) {
    return ::new (buffer) Args();
}

std::atomic<int> args_made{0}, args_destroyed{0}, resp_made{0}, resp_destroyed{0};

enum Mode {
    OK = 0,
    STP = 1,
    OTHER = 2,
    ENCODE_FAILS = 3,
    STORED_THEN_STP = 4,
    DECODE_STP = 5,
    DECODE_OTHER = 6,
    ENCODE_STP = 7,
    DECODE_PRODUCT = 8,
    DECODE_REFUSAL = 9,
    ENCODE_OTHER = 10,
    ENCODE_PRODUCT = 11,
    PRODUCT_REFUSAL = 12
};

// A product exception as the product throws it: by pointer, deleted by its catcher.
[[noreturn]] void throw_product(int msg_id, wchar_t const *text) { throw new KXException(msg_id, CString(text)); }

class ProbeArgs : public ArmCorrelatorArg {
public:
    ProbeArgs() { ++args_made; }
    ~ProbeArgs() override { ++args_destroyed; }
    bool_t decode(XDR *xdrs) override {
        if (!xdr_correlator(xdrs) || !xdr_int(xdrs, &mode)) return FALSE;
        if (mode == DECODE_STP) throw KxRpcException(Reason::internal_error);
        if (mode == DECODE_OTHER) throw std::runtime_error("not of the family");
        if (mode == DECODE_PRODUCT) throw_product(KX_MSG_BAD_VALUE, L"probe value refused");
        if (mode == DECODE_REFUSAL) throw_product(KX_MSG_NOT_PRIVILEGED, L"Only a probe writer may.");
        return TRUE;
    }
    int mode = 0;
};

class ProbeResp : public XdrObject {
public:
    explicit ProbeResp(int mode) : mode_(mode) { ++resp_made; }
    ~ProbeResp() override { ++resp_destroyed; }
    bool_t xdr(XDR *xdrs) override {
        int v = 1234;
        if (!xdr_int(xdrs, &v)) return FALSE;
        if (mode_ == ENCODE_STP) throw PropertyValueMarshallingException();
        if (mode_ == ENCODE_OTHER) throw std::runtime_error("/srv/secret/path");
        if (mode_ == ENCODE_PRODUCT) throw_product(KX_MSG_BAD_VALUE, L"probe reply refused");
        return mode_ != ENCODE_FAILS;
    }

private:
    int mode_;
};

std::unique_ptr<XdrObject> probe_handler(XdrObject *request) {
    auto *args = dynamic_cast<ProbeArgs *>(request);
    switch (args->mode) {
    case STP:
        throw KXInternalErrorException(Nul::UString(L"probe failed"), nullptr);
    case OTHER:
        throw std::runtime_error("not of the family");
    case PRODUCT_REFUSAL:
        product_call([] { throw_product(KX_MSG_NOT_PRIVILEGED, L"Only a probe writer may."); },
                     unexpected_in(L"probe_handler"));
        return nullptr; // not reached: the refusal is raised
    case STORED_THEN_STP: {
        auto response = std::make_unique<ProbeResp>(OK);
        throw KXInternalErrorException(Nul::UString(L"late failure"), nullptr);
    }
    default:
        return std::make_unique<ProbeResp>(args->mode);
    }
}

struct ProbeCall {
    std::vector<char> correlator;
    int mode;
};

bool_t xdr_probe_call(XDR *xdrs, void *p) {
    auto *c = static_cast<ProbeCall *>(p);
    u_int length = static_cast<u_int>(c->correlator.size());
    return xdr_u_int(xdrs, &length) && (length == 0 || xdr_opaque(xdrs, c->correlator.data(), length)) &&
           xdr_int(xdrs, &c->mode);
}

struct ProbeReply {
    bool_t error = FALSE;
    int value = 0;
    int reason = 0;
    std::string message;
};

bool_t xdr_probe_reply(XDR *xdrs, void *p) {
    auto *r = static_cast<ProbeReply *>(p);
    if (!xdr_bool(xdrs, &r->error)) return FALSE;
    if (!r->error) return xdr_int(xdrs, &r->value);
    u_int length = 0;
    if (!xdr_int(xdrs, &r->reason) || !xdr_u_int(xdrs, &length) || length > 4096) return FALSE;
    r->message.assign(length, '\0');
    return length == 0 || xdr_opaque(xdrs, r->message.data(), length);
}

constexpr int probe_proc = 3;

// The reply leaves before the request is destroyed, so the counts settle just after it.
int settled(std::atomic<int> const &counter, int expected) {
    for (int i = 0; i < 200 && counter.load() != expected; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return counter.load();
}

class Dispatcher : public testing::Test {
protected:
    static void SetUpTestSuite() {
        log_path_ = kxtest::temp_dir() + "/kxrpc_dispatch_arm_" + std::to_string(::getpid()) + ".log";
        ::setenv("KX_ARM4_LOG", log_path_.c_str(), 1);
        settings().arm_level = 2;
        ASSERT_GE(register_arm(2), 0);
        saved_ = procedure_table()[probe_proc];
        procedure_table()[probe_proc] = RpcProcedure{probe_handler,
                                                     construct_request<ProbeArgs>,
                                                     sizeof(ProbeArgs),
                                                     as_xdrproc(xdr_args_of<ProbeArgs>),
                                                     as_xdrproc(xdr_result_of<ProbeResp>),
                                                     L"fetch_props",
                                                     saved_.arm_tran_id};
    }
    static void TearDownTestSuite() {
        procedure_table()[probe_proc] = saved_;
        ::unlink(log_path_.c_str());
    }
    void SetUp() override {
        std::int32_t port = 0;
        int mode = 1, threads = 3;
        ks_rpc_control(KS_RPC_SVC_MTMODE, &mode);
        ks_rpc_control(KS_RPC_SVC_THREADS_SET, &threads);
        sock_ = create_listener(AF_INET, port);
        ASSERT_GE(sock_, 0);
        port_ = port;
        loop_ = std::thread([] { ks_svc_run(); });
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<std::uint16_t>(port_));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int s = RPC_ANYSOCK;
        client_ = clnttcp_create(&addr, kxrpc_program, kxrpc_version, &s, 0, 0);
        ASSERT_NE(nullptr, client_);
        args_made = args_destroyed = resp_made = resp_destroyed = 0;
    }
    void TearDown() override {
        if (client_) clnt_destroy(client_);
        ks_svc_exit();
        if (loop_.joinable()) loop_.join();
        ::close(sock_);
    }
    clnt_stat call(ProbeCall &in, ProbeReply &out, rpcproc_t proc = probe_proc) {
        timeval tv{10, 0};
        return clnt_call(client_, proc, as_xdrproc(xdr_probe_call), reinterpret_cast<char *>(&in),
                         as_xdrproc(xdr_probe_reply), reinterpret_cast<char *>(&out), tv);
    }
    static std::string arm_log() {
        std::ifstream in(log_path_);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    // The transaction stops after the reply has left: wait for the agent's record.
    static std::string arm_log_with(std::string const &what, std::size_t n) {
        std::string log = arm_log();
        auto const deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (count(log, what) < n && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            log = arm_log();
        }
        return log;
    }
    static std::size_t count(std::string const &text, std::string const &what) {
        std::size_t n = 0;
        for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
        return n;
    }

    static inline std::string log_path_;
    static inline RpcProcedure saved_;
    int sock_ = -1;
    int port_ = 0;
    std::thread loop_;
    CLIENT *client_ = nullptr;
};

} // namespace

TEST_F(Dispatcher, SuccessReplyFreesResponseAndRequestOnce) {
    ProbeCall in{{}, OK};
    ProbeReply out;
    ASSERT_EQ(RPC_SUCCESS, call(in, out));
    EXPECT_FALSE(out.error);
    EXPECT_EQ(1234, out.value);
    EXPECT_EQ(1, args_made.load());
    EXPECT_EQ(1, settled(args_destroyed, 1));
    EXPECT_EQ(1, resp_made.load());
    EXPECT_EQ(1, settled(resp_destroyed, 1));
}

TEST_F(Dispatcher, FamilyExceptionIsTheErrorArm) {
    ProbeCall in{{}, STP};
    ProbeReply out;
    ASSERT_EQ(RPC_SUCCESS, call(in, out));
    EXPECT_TRUE(out.error);
    EXPECT_EQ(40, out.reason);
    EXPECT_NE(std::string::npos, out.message.find("probe failed")) << out.message;
    EXPECT_EQ(1, settled(args_destroyed, 1));
}

TEST_F(Dispatcher, OtherExceptionIsReason89WithTheProcedureName) {
    ProbeCall in{{}, OTHER};
    ProbeReply out;
    ASSERT_EQ(RPC_SUCCESS, call(in, out));
    EXPECT_TRUE(out.error);
    EXPECT_EQ(89, out.reason);
    EXPECT_NE(std::string::npos, out.message.find("fetch_props: Unexpected Exception")) << out.message;
    EXPECT_EQ(1, settled(args_destroyed, 1));
    // The worker survived the guard and serves on.
    ProbeCall again{{}, OK};
    ProbeReply reply;
    EXPECT_EQ(RPC_SUCCESS, call(again, reply));
}

TEST_F(Dispatcher, ResponseStoredBeforeAFailureIsFreed) {
    ProbeCall in{{}, STORED_THEN_STP};
    ProbeReply out;
    ASSERT_EQ(RPC_SUCCESS, call(in, out));
    EXPECT_TRUE(out.error);
    EXPECT_EQ(1, resp_made.load());
    EXPECT_EQ(1, settled(resp_destroyed, 1));
    EXPECT_EQ(1, settled(args_destroyed, 1));
}

TEST_F(Dispatcher, ResponseIsFreedWhenSendingFails) {
    ProbeCall in{{}, ENCODE_FAILS};
    ProbeReply out;
    EXPECT_NE(RPC_SUCCESS, call(in, out));
    EXPECT_EQ(1, resp_made.load());
    EXPECT_EQ(1, settled(resp_destroyed, 1));
    EXPECT_EQ(1, settled(args_destroyed, 1));
}

TEST_F(Dispatcher, FamilyExceptionWhileEncodingIsTheErrorArmNotASystemError) {
    ProbeCall in{{}, ENCODE_STP};
    ProbeReply out;
    ASSERT_EQ(RPC_SUCCESS, call(in, out));
    // What the response wrote before it failed was taken back: only the error arm is seen.
    EXPECT_TRUE(out.error);
    EXPECT_EQ(40, out.reason);
    EXPECT_EQ(1, settled(resp_destroyed, 1));
    EXPECT_EQ(1, settled(args_destroyed, 1));
    // A plain FALSE from the encoder stays a system error, and nothing held leaks into it.
    ProbeCall plain{{}, ENCODE_FAILS};
    EXPECT_EQ(RPC_SYSTEMERROR, call(plain, out));
}

TEST_F(Dispatcher, EveryPhaseAnswersWhatItCaughtAsTheErrorArm) {
    std::string const unexpected = "TLQSV0751E Server error: Unexpected exception: ";
    struct Case {
        int mode;
        int reason;
        std::string message;
    };
    Case const cases[] = {
        {DECODE_OTHER, 40, unexpected + "Unknown error."},
        {DECODE_PRODUCT, 40, unexpected + "probe value refused"},
        {DECODE_REFUSAL, 80, "TLQSV0796E Insufficient privilege: Only a probe writer may."},
        {PRODUCT_REFUSAL, 80, "TLQSV0796E Insufficient privilege: Only a probe writer may."},
        {STP, 40, "TLQSV0769E Internal Error: probe failed"},
        {ENCODE_OTHER, 40, unexpected + "Unknown error."},
        {ENCODE_PRODUCT, 40, unexpected + "probe reply refused"},
    };
    long const live = KXException::LiveCount();
    int destroyed = 0;
    for (Case const &c : cases) {
        ProbeCall in{{}, c.mode};
        ProbeReply out;
        ASSERT_EQ(RPC_SUCCESS, call(in, out)) << c.mode;
        EXPECT_TRUE(out.error) << c.mode;
        EXPECT_EQ(c.reason, out.reason) << c.mode;
        EXPECT_EQ(c.message, out.message) << c.mode;
        ++destroyed;
        EXPECT_EQ(destroyed, settled(args_destroyed, destroyed)) << c.mode;
    }
    // Every product exception was deleted once, and the worker serves on.
    EXPECT_EQ(live, KXException::LiveCount());
    ProbeCall again{{}, OK};
    ProbeReply reply;
    ASSERT_EQ(RPC_SUCCESS, call(again, reply));
    EXPECT_FALSE(reply.error);
}

TEST_F(Dispatcher, TruncatedArgumentsAreGarbageArgsAndTheRequestIsDestroyed) {
    // The correlator says 8 bytes and nothing follows.
    auto truncated = [](XDR *xdrs, void *) -> bool_t {
        u_int length = 8;
        return xdr_u_int(xdrs, &length);
    };
    bool_t (*routine)(XDR *, void *) = truncated;
    timeval tv{10, 0};
    EXPECT_EQ(RPC_CANTDECODEARGS,
              clnt_call(client_, probe_proc, as_xdrproc(routine), nullptr, as_xdrproc(xdr_void), nullptr, tv));
    EXPECT_EQ(1, args_made.load());
    EXPECT_EQ(1, settled(args_destroyed, 1));
    EXPECT_EQ(0, resp_made.load());
}

TEST_F(Dispatcher, AnyExceptionWhileDecodingIsTheErrorArm) {
    ProbeCall in{{}, DECODE_STP};
    ProbeReply out;
    ASSERT_EQ(RPC_SUCCESS, call(in, out));
    EXPECT_TRUE(out.error);
    EXPECT_EQ(40, out.reason);
    EXPECT_EQ("", out.message);
    EXPECT_EQ(1, settled(args_destroyed, 1));
    EXPECT_EQ(0, resp_made.load()); // the handler never ran

    // Any other exception is the server's fault, not the client's garbage: its text (which may
    // name anything) goes to the trace only.
    ProbeCall other{{}, DECODE_OTHER};
    ProbeReply failed;
    ASSERT_EQ(RPC_SUCCESS, call(other, failed));
    EXPECT_TRUE(failed.error);
    EXPECT_EQ(40, failed.reason);
    EXPECT_EQ("TLQSV0751E Server error: Unexpected exception: Unknown error.", failed.message);
    EXPECT_EQ(2, settled(args_destroyed, 2));
    // Nothing of the failure is left for the next call on the worker.
    ProbeCall again{{}, OK};
    ProbeReply reply;
    ASSERT_EQ(RPC_SUCCESS, call(again, reply));
    EXPECT_FALSE(reply.error);
    EXPECT_EQ(1234, reply.value);
}

TEST_F(Dispatcher, ArmTransactionOnlyWithACorrelatorAndStoppedWithTheOutcome) {
    std::size_t const starts = count(arm_log(), "start_transaction");
    ProbeCall plain{{}, OK};
    ProbeReply out;
    ASSERT_EQ(RPC_SUCCESS, call(plain, out));
    EXPECT_EQ(starts, count(arm_log(), "start_transaction")); // no correlator, no transaction

    std::vector<char> correlator(8, 1);
    ProbeCall ok{correlator, OK};
    ASSERT_EQ(RPC_SUCCESS, call(ok, out));
    std::string log = arm_log_with("stop_transaction", 1);
    EXPECT_EQ(starts + 1, count(log, "start_transaction"));
    EXPECT_NE(std::string::npos, log.find("status=0")) << log;

    for (int mode : {STP, OTHER}) {
        ProbeCall failing{correlator, mode};
        ProbeReply failed;
        ASSERT_EQ(RPC_SUCCESS, call(failing, failed));
    }
    log = arm_log_with("stop_transaction", 3);
    EXPECT_EQ(starts + 3, count(log, "start_transaction"));
    EXPECT_EQ(3u, count(log, "stop_transaction"));
    EXPECT_EQ(2u, count(log, "status=2")) << log;
}

TEST_F(Dispatcher, PingAndUnservedNumbersNeverReachAHandler) {
    timeval tv{10, 0};
    EXPECT_EQ(RPC_SUCCESS, clnt_call(client_, 0, as_xdrproc(xdr_void), nullptr, as_xdrproc(xdr_void), nullptr, tv));
    EXPECT_EQ(RPC_PROCUNAVAIL,
              clnt_call(client_, procedure_count, as_xdrproc(xdr_void), nullptr, as_xdrproc(xdr_void), nullptr, tv));
    EXPECT_EQ(0, args_made.load());
}

TEST(ProcedureTable, EveryNumberNamedWithTheServedOnes) {
    RpcProcedure const *t = procedure_table();
    EXPECT_STREQ(L"ping", t[0].name);
    EXPECT_EQ(nullptr, t[0].handler);
    EXPECT_EQ(0u, t[0].request_size);
    EXPECT_STREQ(L"shutdown", t[1].name);
    EXPECT_NE(nullptr, t[1].handler);
    EXPECT_STREQ(L"delete_state", t[2].name);
    EXPECT_NE(nullptr, t[2].handler);
    EXPECT_STREQ(L"fetch_props", t[3].name);
    EXPECT_NE(nullptr, t[3].handler);
    EXPECT_STREQ(L"put_props", t[4].name);
    EXPECT_NE(nullptr, t[4].handler);
    EXPECT_STREQ(L"login", t[5].name);
    EXPECT_NE(nullptr, t[5].handler);
    EXPECT_STREQ(L"kxrpc_get_accessible_databases", t[28].name);
    EXPECT_STREQ(L"move_query", t[36].name);
    for (int i = 0; i < procedure_count; ++i) {
        EXPECT_NE(nullptr, t[i].name);
        if (t[i].handler) {
            EXPECT_GT(t[i].request_size, 0u);
            EXPECT_LE(t[i].request_size, max_request_size);
        }
    }
}
