/* The reference: the same program served by libtirpc's own single-threaded svc_run. */
#include "kxbench.h"

void kxbench_prog_1(struct svc_req *, SVCXPRT *); /* made by rpcgen -m */

#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <sys/socket.h>
#include <unistd.h>

u_int *kxbench_sleep_1_svc(u_int *usec, struct svc_req *rq) {
    static u_int result;
    (void)rq;
    if (*usec > 0) usleep(*usec);
    result = *usec;
    return &result;
}

int main(void) {
    struct sockaddr_in a = {0};
    socklen_t len = sizeof a;
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || bind(fd, (struct sockaddr *)&a, sizeof a) != 0 || getsockname(fd, (struct sockaddr *)&a, &len) != 0)
        return 1;
    /* svctcp_create leaves a socket that is already bound as it is: listen here. */
    if (listen(fd, SOMAXCONN) != 0) return 1;
    SVCXPRT *x = svctcp_create(fd, 0, 0);
    if (x == NULL || !svc_register(x, KXBENCH_PROG, KXBENCH_VERS, kxbench_prog_1, 0)) return 1;
    printf("port=%u\n", (unsigned)ntohs(a.sin_port));
    fflush(stdout);
    svc_run();
    return 0;
}
