/* libwexrpcsvc: a multi-threaded ONC RPC server runtime over TCP.
 *
 * Calls arrive on connections accepted by one loop thread (the thread that runs ks_svc_run)
 * and are run by a pool of worker threads. A connection is served by one worker at a time,
 * so the calls of one connection run and are answered in the order they were sent.
 * XDR streams, message headers and xdrproc_t routines are libtirpc's.
 */
#ifndef KS_RPCSVC_H
#define KS_RPCSVC_H

#include <pthread.h>
#include <rpc/auth.h>
#include <rpc/rpc_msg.h>
#include <rpc/types.h>
#include <rpc/xdr.h>
#include <sys/socket.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Limits of the runtime. */
#define KS_SPOOL_THRESHOLD (1024u * 1024u)        /* call record bytes past which the rest goes to a file */
#define KS_MAX_WORKER_THREADS 1024                /* upper bound of control request 4 */
#define KS_REPLY_BUFFER_SIZE (4u * 1024u * 1024u) /* queued reply bytes past which encoding tries to send */
#define KS_EXIT_DRAIN_MS 2000                     /* at exit, time left for answered replies to leave */
#define KS_ACCEPT_BACKOFF_MS 100                  /* pause of accepting when out of descriptors */

/* Defaults of the limits that ks_svc_run reads from the environment when it starts (a variable
 * of the same name, a positive decimal number; anything else leaves the default). */
#define KS_SEND_TIMEOUT_MS 30000   /* a peer that takes no reply bytes for this long is dropped */
#define KS_RECORD_TIMEOUT_MS 60000 /* a call record must be complete this long after its first byte */
/* A connection's first record must hold its whole call header this long after its first byte: a
 * client sends its record mark and call header at once, so a few seconds cover a slow link's
 * resends, while a peer that holds a slot with a byte or two gives it back soon. */
#define KS_FIRST_RECORD_TIMEOUT_MS 10000
#define KS_MAX_CALL_BYTES (256u * 1024u * 1024u)   /* call bytes buffered across all connections */
#define KS_MAX_REPLY_QUEUE (256u * 1024u * 1024u)  /* reply bytes queued on one connection */
#define KS_MAX_REPLY_BYTES (1024u * 1024u * 1024u) /* reply bytes queued across all connections */
#define KS_MAX_CONNECTIONS 4096                    /* open connections; never more than half the descriptor limit */
#define KS_IDLE_TIMEOUT_MS 300000                  /* a connection between calls this long is closed */
#define KS_MAX_SPOOL_BYTES (4ull * 1024u * 1024u * 1024u) /* bytes of call records in files, all connections */
/* A larger call record is cut: read to its end, its arguments kept only as far as its head (ks_svc_args_cut). */
#define KS_MAX_RECORD_SIZE (2048ull * 1024u * 1024u)

/* Control requests of ks_rpc_control. */
#define KS_RPC_SVC_MTMODE 2       /* int*: in, nonzero asks for the worker pool; out, the mode in force (always 1) */
#define KS_RPC_SVC_THREADS_SET 4  /* int*: worker threads of the next ks_svc_run, 1..KS_MAX_WORKER_THREADS */
#define KS_RPC_SVC_SPOOL_OWNERS 5 /* const struct ks_spool_owners*: who owns records on disk; NULL: nobody */

/* A call record past KS_SPOOL_THRESHOLD goes on to disk only for an owner that the program names
 * from the record's head, and its file's bytes are charged to that owner as they arrive. Without
 * owners (none registered), every such record goes on to disk, charged to nobody but
 * KS_MAX_SPOOL_BYTES. The routines run on the thread reading the record (any thread), must not
 * block for long and must not throw. */
struct ks_spool_owners {
    /* The record of (prog, vers, proc) is about to go to a file; args holds the first len bytes of its
     * arguments. Returns the record's owner, or NULL: the record goes no further (see below). */
    void *(*admit)(rpcprog_t prog, rpcvers_t vers, rpcproc_t proc, const char *args, size_t len);
    /* The record's file is to hold bytes in all (more or fewer than before). 0 takes them; an errno
     * value refuses them, and what was charged before stays. */
    int (*charge)(void *owner, unsigned long long bytes);
    /* The record and its file have gone: everything charged to owner goes back. */
    void (*release)(void *owner);
};

/* A transport: a listening socket made by ks_svctcp_create, or the connection of the call
 * being served, as handed to a dispatch routine. */
typedef struct ks_svcxprt KS_SVCXPRT;

/* One call as handed to a dispatch routine; valid only during that call. */
struct ks_svc_req {
    rpcprog_t rq_prog;
    rpcvers_t rq_vers;
    rpcproc_t rq_proc;
    struct opaque_auth rq_cred; /* raw credentials from the wire */
    void *rq_clntcred;          /* not interpreted: always NULL */
    KS_SVCXPRT *rq_xprt;
};

typedef void (*ks_dispatch_t)(struct ks_svc_req *, KS_SVCXPRT *);

bool_t ks_rpc_control(int request, void *info);

/* Makes a transport that listens on sock: a stream socket of AF_INET or AF_INET6, bound or not
 * (an unbound one is bound to any free port; an unbound AF_INET6 one is made IPv6-only first).
 * IPV6_V6ONLY can only be set before bind: a caller that binds an AF_INET6 socket itself and
 * wants an AF_INET socket on the same port sets it first. The runtime keeps its own duplicate
 * of the socket (listening, non-blocking), so the caller may close sock at any time.
 * sendsz is the largest fragment of replies (0: KS_REPLY_BUFFER_SIZE), recvsz the smallest read
 * of calls (0: 8192; a read into a large fragment takes up to 256 KiB).
 * Transports are served by the next ks_svc_run and released when it returns.
 * Returns NULL on failure (errno tells why). */
KS_SVCXPRT *ks_svctcp_create(int sock, u_int sendsz, u_int recvsz);

/* Releases a transport that ks_svc_run has not started serving, closing the runtime's copy of its
 * socket. Returns FALSE (and changes nothing) while ks_svc_run is serving or for an unknown
 * transport; those are released when ks_svc_run returns. */
bool_t ks_svc_destroy(KS_SVCXPRT *xprt);

/* Registers dispatch for (prog, vers) on every transport; protocol must be 0 (no port mapper).
 * Fails when (prog, vers) is already registered with another dispatch routine. */
bool_t ks_svc_register(KS_SVCXPRT *xprt, rpcprog_t prog, rpcvers_t vers, ks_dispatch_t dispatch, int protocol);

/* Serves until ks_svc_exit. Replies to calls already buffered on a connection leave together, in
 * one write. A reply larger than KS_REPLY_BUFFER_SIZE leaves as it is made, its worker waiting
 * for the peer to take it while no other work waits for a worker; otherwise replies are queued on
 * their connection and written by the loop as the peer reads. A connection is closed when its queued
 * replies pass KS_MAX_REPLY_QUEUE or all queued replies pass KS_MAX_REPLY_BYTES, when its call
 * record is not complete within KS_RECORD_TIMEOUT_MS (a record past KS_SPOOL_THRESHOLD gets that
 * time again for each further threshold of bytes), or when the call bytes held in memory across
 * connections would pass KS_MAX_CALL_BYTES. A record past KS_SPOOL_THRESHOLD goes on in an unnamed
 * file in the temporary directory (the first writable of $TMP, $TMPDIR and $TEMP, else /tmp). The
 * file goes just after its call's reply has been handed to the connection (the peer may see the
 * reply first), always before the next call of that connection is served or the connection closes.
 * When the file cannot be written (a full file system), the record is read to its end and its call
 * answered from its head, as a record past KS_MAX_RECORD_SIZE is (ks_svc_args_cut tells ENOSPC).
 * A record that its program's owners (KS_RPC_SVC_SPOOL_OWNERS) do not admit, or whose bytes they
 * refuse, is treated the same way: what has not gone to its file is read and dropped, and its call
 * is answered from its head (at most KS_SPOOL_THRESHOLD and a read), ks_svc_args_cut telling the
 * errno value that refused it (EACCES when it was not admitted). A record whose file would take the
 * bytes in all records' files past KS_MAX_SPOOL_BYTES closes its connection.
 * Tests make that file system full with KS_TEST_SPOOL_FULL_AT: a record file's writes past that
 * many bytes (0: its first) fail with ENOSPC.
 * A connection's first record must hold its whole call header (record mark, fixed words, credential
 * and verifier) within KS_FIRST_RECORD_TIMEOUT_MS of its first byte.
 * When KS_MAX_CONNECTIONS are open, one gives way to a new one (later ones wait in the backlog until
 * it has gone): first a connection that has never completed a call (nothing sent, or its first
 * record still arriving), the one open longest; else the new one is taken on trial, one past the
 * bound, and once its first call has arrived whole, a connection between calls (nothing of a call
 * read, no call in progress, no reply queued) gives way: the one idle longest of the host that holds
 * the most connections. A new connection in its turn takes the place of the one on trial, so a
 * host's silent connections never cut a served one. A host is an IPv4 address (IPv4-mapped ones
 * too), an IPv6 address by its /64, and each loopback address a host of its own. When none can give
 * way, the new one is accepted and reset at once (so is one on trial whose call arrives when none
 * can). A connection between calls for KS_IDLE_TIMEOUT_MS is closed. Returns after the calls in
 * flight have been answered and every worker thread has ended; all transports and registrations are
 * released on return.
 * From its start on, blocks of 1 MiB and more that the process allocates get mappings of their own
 * (mallopt M_MMAP_THRESHOLD and M_TRIM_THRESHOLD), so that the memory a large reply was made from
 * goes back to the system once the reply has left and its dispatch routine has freed it. */
void ks_svc_run(void);

/* Asks ks_svc_run to end. Safe from any thread, from a dispatch routine and from a signal
 * handler; a request made while no ks_svc_run is active ends the next one at once. */
void ks_svc_exit(void);

/* Within a dispatch routine, on its thread, for the call being served. One reply per call.
 * A failed ks_svc_sendreply takes back what it queued, so an error reply can follow; only when
 * part of a large reply had already left is the connection closed instead. */
bool_t ks_svc_getargs(KS_SVCXPRT *xprt, xdrproc_t xdr_args, void *args);
bool_t ks_svc_sendreply(KS_SVCXPRT *xprt, xdrproc_t xdr_results, void *results);
/* For the stream that ks_svc_getargs hands to xdr_args: 0 when the call's arguments are whole,
 * otherwise why they end early, for a routine that has met their end: EFBIG when the call record
 * passed KS_MAX_RECORD_SIZE (its rest was read and dropped), the value the program's spool owners
 * refused it with (EACCES when not admitted), else the error of the file that was to hold it
 * (ENOSPC, ...). 0 for any other stream. */
int ks_svc_args_cut(XDR *xdrs);
/* For the same stream: the owner that admitted the call's record to disk, also when it then refused
 * the record's bytes before its file was made; NULL for a record never admitted, or no owners.
 * Valid during the call; released after its reply. */
void *ks_svc_args_owner(XDR *xdrs);
/* For the same stream: takes the next opaque of len bytes (with its padding) and writes its bytes
 * to the file fd at its offset; from a call record held in a file they go from file to file in the
 * kernel, and the record's file gives back the room they took there. Returns the bytes written: len,
 * or fewer when a write failed (errno tells why; the opaque is taken all the same). -1, with nothing taken, for a
 * record held in memory, any other stream, or a record that ends before the opaque does. */
long ks_svc_args_to_fd(XDR *xdrs, int fd, u_int len);
/* For the stream that ks_svc_sendreply hands to xdr_results: the next len bytes of the file fd,
 * from its offset (which moves past them), as reply bytes, going from file to socket in the kernel
 * once the reply's earlier bytes have left. Returns len, or fewer when the file ended early or a
 * read or the connection failed (errno tells why; the reply is cut and its stream fails). -1, with
 * nothing taken, for any other stream or while other work waits for a worker: the caller then
 * encodes the bytes itself. */
long ks_svc_reply_from_fd(XDR *xdrs, int fd, u_int len);
void ks_svcerr_noproc(KS_SVCXPRT *xprt);
void ks_svcerr_decode(KS_SVCXPRT *xprt);
void ks_svcerr_systemerr(KS_SVCXPRT *xprt);
/* Denies the call: MSG_DENIED, AUTH_ERROR, AUTH_TOOWEAK. */
void ks_svcerr_weakauth(KS_SVCXPRT *xprt);
/* The peer's address of the call being served, into *addr (at most *len bytes; *len is set to
 * the address's size). FALSE when xprt is no call or the peer is unknown. */
bool_t ks_svc_getcaller(KS_SVCXPRT *xprt, struct sockaddr *addr, socklen_t *len);
/* The identity of the connection of the call being served: a number, from 1 up, that no other
 * connection has had or will have while the process runs (a peer's address and port can come
 * back). 0 when xprt is no call. */
unsigned long long ks_svc_connid(KS_SVCXPRT *xprt);

/* Thread-specific data over pthread keys; each returns 0 or an errno value. */
typedef pthread_key_t ks_thread_key_t;
int ks_thr_keycreate(ks_thread_key_t *key, void (*destructor)(void *));
int ks_thr_setspecific(ks_thread_key_t key, void *value);
int ks_thr_getspecific(ks_thread_key_t key, void **value);

#ifdef __cplusplus
}
#endif

#endif
