// The same program served by libwexrpcsvc.
#include "ks_rpcsvc.h"

#include <rpc/rpc.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr rpcprog_t kProg = 0x20049100;

template <class F>
xdrproc_t xp(F f) {
    return reinterpret_cast<xdrproc_t>(reinterpret_cast<void (*)()>(f));
}

void dispatch(ks_svc_req *rq, KS_SVCXPRT *x) {
    switch (rq->rq_proc) {
    case 0:
        ks_svc_sendreply(x, xp(xdr_void), nullptr);
        return;
    case 1: {
        u_int usec = 0;
        if (!ks_svc_getargs(x, xp(xdr_u_int), &usec)) {
            ks_svcerr_decode(x);
            return;
        }
        if (usec > 0) usleep(usec);
        if (!ks_svc_sendreply(x, xp(xdr_u_int), &usec)) ks_svcerr_systemerr(x);
        return;
    }
    default:
        ks_svcerr_noproc(x);
    }
}

void on_term(int) { ks_svc_exit(); }

} // namespace

int main(int argc, char **argv) {
    int workers = 0;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "-worker_threads") == 0) workers = std::atoi(argv[++i]);
    int mode = 1;
    if (ks_rpc_control(KS_RPC_SVC_MTMODE, &mode) && mode != 0 && workers > 0)
        ks_rpc_control(KS_RPC_SVC_THREADS_SET, &workers);
    sockaddr_in a{};
    socklen_t len = sizeof a;
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) != 0)
        return 1;
    KS_SVCXPRT *x = ks_svctcp_create(fd, 8192, 8192);
    if (x == nullptr || !ks_svc_register(x, kProg, 1, dispatch, 0)) return 1;
    std::signal(SIGTERM, on_term);
    std::printf("port=%u\n", unsigned(ntohs(a.sin_port)));
    std::fflush(stdout);
    ks_svc_run();
    close(fd);
    return 0;
}
