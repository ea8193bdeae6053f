// Starts the built kxrpc program in a directory of its own and talks to it.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

#include <rpc/rpc.h>

#include "support/host.h"

namespace e2e {

using kxtest::ipv6_loopback_available;

constexpr rpcprog_t program = 0x20031855;
constexpr rpcvers_t version = 1;

// The runtime's routine type is variadic; pass every routine through the generic function type.
template <class F>
xdrproc_t as_proc(F *routine) {
    return reinterpret_cast<xdrproc_t>(reinterpret_cast<void (*)()>(routine));
}
inline xdrproc_t const xdr_none = as_proc(xdr_void);

// A fresh temporary directory under $TMPDIR (else /tmp), removed with its content.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(TempDir const &) = delete;
    TempDir &operator=(TempDir const &) = delete;
    std::string const &path() const { return path_; }
    std::string file(std::string const &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

std::string read_file(std::string const &path);
void write_file(std::string const &path, std::string const &text);
bool file_exists(std::string const &path);
// The program under test: $KXRPC_BIN, or the kxrpc of the build that made the test.
char const *program_path();

// A port that no listener of either family holds right now, below the ports the system hands out
// itself, so that no server started on port 0 and no outgoing connection takes it meanwhile (0 when
// none was found).
int free_port();

// Exit status as the shell shows it: the code, or 128 + the signal.
struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

class ServerProcess {
public:
    // The program runs in `dir` with `env` added to the test's environment.
    ServerProcess(std::vector<std::string> args, std::string dir, std::vector<std::string> env = {});
    ~ServerProcess(); // kills and reaps a process still running
    ServerProcess(ServerProcess const &) = delete;
    ServerProcess &operator=(ServerProcess const &) = delete;

    // Waits for the port line; false when the process ended or printed something else.
    bool start();
    int port() const { return port_; }
    pid_t pid() const { return pid_; }
    std::string const &port_line() const { return line_; }
    // Waits for the end (kills after the timeout) and collects the rest of both streams.
    Outcome wait(int timeout_ms = 10000);
    bool running();
    void signal(int sig);

private:
    std::vector<std::string> args_, env_;
    std::string dir_;
    pid_t pid_ = -1;
    int out_fd_ = -1;
    int port_ = 0;
    std::string line_, out_rest_;
    bool reaped_ = false;
    int status_ = -1;
};

// Runs the program to its end: for options that never reach the service loop.
Outcome run_to_exit(std::vector<std::string> args, std::string const &dir, std::vector<std::string> env = {},
                    int timeout_ms = 10000);

// How long a call may wait for its reply: a hang still fails, and a machine running the suites
// many at a time under the sanitizers still answers within it.
inline constexpr int call_timeout_s = 60;

// A libtirpc TCP client of the program on 127.0.0.1 (or ::1 when ipv6).
class Client {
public:
    explicit Client(int port, bool ipv6 = false, int timeout_s = call_timeout_s);
    // From a local address of our choosing ("127.0.0.7", "::1") and port (0: any), to the loopback
    // address of its family. Closed with a reset, so that the address and port are free at once.
    Client(int port, char const *local_address, int local_port);
    // The local port the connection has (0 when it has none).
    int local_port() const;
    ~Client();
    Client(Client const &) = delete;
    Client &operator=(Client const &) = delete;
    bool ok() const { return clnt_ != nullptr; }
    CLIENT *get() { return clnt_; }
    clnt_stat call(rpcproc_t proc, xdrproc_t in, void *in_arg, xdrproc_t out, void *out_arg);
    clnt_stat ping() { return call(0, xdr_none, nullptr, xdr_none, nullptr); }

private:
    CLIENT *clnt_ = nullptr;
    int sock_ = -1;
    int timeout_s_;
};

// Reads an error record of the reply's error arm (after its TRUE).
struct ErrorRecord {
    int reason = 0;
    std::string message;
    int resource_type = 0;
    int causes = 0;
    int extension = 0;
    std::string extension_text; // extension 2: the text; 1: the invalid fields, "name:tag" each
};
bool_t xdr_error_record(XDR *xdrs, ErrorRecord *record);
bool_t xdr_utf8(XDR *xdrs, std::string *text);

std::string run_command(std::string const &command, int *status);

} // namespace e2e
