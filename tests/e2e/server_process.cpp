#include "server_process.h"
#include "support/tirpc_auth.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

namespace e2e {

char const *program_path() {
    // Run by hand, a test program uses the kxrpc of its own build.
    char const *bin = std::getenv("KXRPC_BIN");
    return bin && *bin ? bin : KX_BUILT_KXRPC;
}

namespace {

int shell_status(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

long long now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

pid_t spawn(std::vector<std::string> const &args, std::string const &dir, std::vector<std::string> const &env,
            int out_fd, int err_fd) {
    pid_t const parent = ::getpid();
    pid_t pid = ::fork();
    if (pid != 0) return pid;
    // A test that dies (an abort, an uncaught exception) takes its server with it.
    if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != parent) ::_exit(125);
    ::dup2(out_fd, 1);
    ::dup2(err_fd, 2);
    if (::chdir(dir.c_str()) != 0) ::_exit(126);
    for (auto const &e : env) ::putenv(const_cast<char *>(e.c_str()));
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(program_path()));
    for (auto const &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
}

} // namespace

TempDir::TempDir() {
    std::string tmpl = kxtest::temp_dir() + "/kxrpc_e2e_XXXXXX";
    char *made = ::mkdtemp(tmpl.data());
    path_ = made ? made : kxtest::temp_dir();
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::string read_file(std::string const &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void write_file(std::string const &path, std::string const &text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

bool file_exists(std::string const &path) { return ::access(path.c_str(), F_OK) == 0; }

int free_port() { return kxtest::free_fixed_port(); }

ServerProcess::ServerProcess(std::vector<std::string> args, std::string dir, std::vector<std::string> env)
    : args_(std::move(args)), env_(std::move(env)), dir_(std::move(dir)) {}

ServerProcess::~ServerProcess() {
    if (pid_ > 0 && !reaped_) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    if (out_fd_ >= 0) ::close(out_fd_);
}

bool ServerProcess::start() {
    int pipe_fds[2];
    if (::pipe2(pipe_fds, O_CLOEXEC) != 0) return false;
    std::string err_path = dir_ + "/.server_stderr";
    int err_fd = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    pid_ = spawn(args_, dir_, env_, pipe_fds[1], err_fd);
    ::close(pipe_fds[1]);
    ::close(err_fd);
    out_fd_ = pipe_fds[0];
    long long deadline = now_ms() + 15000;
    while (line_.find('\n') == std::string::npos) {
        long long left = deadline - now_ms();
        if (left <= 0) return false;
        pollfd p{out_fd_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
        char c;
        ssize_t n = ::read(out_fd_, &c, 1);
        if (n <= 0) {
            // The server ended before its port line: show why, for the test that fails on it.
            std::ifstream err(err_path);
            std::cerr << "kxrpc ended before its port line; its standard error:\n" << err.rdbuf() << '\n';
            return false;
        }
        line_.push_back(c);
    }
    unsigned port = 0;
    int pid = 0;
    if (std::sscanf(line_.c_str(), "port=%u;pid=%d;", &port, &pid) != 2 || pid != pid_) return false;
    port_ = static_cast<int>(port);
    return true;
}

bool ServerProcess::running() {
    if (reaped_ || pid_ <= 0) return false;
    int status;
    pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
        reaped_ = true;
        status_ = shell_status(status);
        return false;
    }
    return true;
}

void ServerProcess::signal(int sig) {
    if (pid_ > 0 && !reaped_) ::kill(pid_, sig);
}

Outcome ServerProcess::wait(int timeout_ms) {
    Outcome outcome;
    long long deadline = now_ms() + timeout_ms;
    while (running()) {
        if (now_ms() > deadline) {
            ::kill(pid_, SIGKILL);
            int status;
            ::waitpid(pid_, &status, 0);
            reaped_ = true;
            status_ = shell_status(status);
            break;
        }
        ::usleep(10000);
    }
    outcome.status = status_;
    if (out_fd_ >= 0) {
        char buf[4096];
        ssize_t n;
        int flags = ::fcntl(out_fd_, F_GETFL);
        ::fcntl(out_fd_, F_SETFL, flags | O_NONBLOCK);
        while ((n = ::read(out_fd_, buf, sizeof buf)) > 0) out_rest_.append(buf, static_cast<std::size_t>(n));
    }
    outcome.out = line_ + out_rest_;
    outcome.err = read_file(dir_ + "/.server_stderr");
    return outcome;
}

Outcome run_to_exit(std::vector<std::string> args, std::string const &dir, std::vector<std::string> env,
                    int timeout_ms) {
    Outcome outcome;
    // The port line is not expected here: collect everything until the end.
    std::string out_path = dir + "/.server_stdout", err_path = dir + "/.server_stderr";
    int out_fd = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    int err_fd = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    pid_t pid = spawn(args, dir, env, out_fd, err_fd);
    ::close(out_fd);
    ::close(err_fd);
    long long deadline = now_ms() + timeout_ms;
    int status = 0;
    for (;;) {
        pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid) break;
        if (now_ms() > deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            break;
        }
        ::usleep(5000);
    }
    outcome.status = shell_status(status);
    outcome.out = read_file(out_path);
    outcome.err = read_file(err_path);
    return outcome;
}

Client::Client(int port, bool ipv6, int timeout_s) : timeout_s_(timeout_s) {
    kxtest::share_auth_none();
    if (!ipv6) {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<std::uint16_t>(port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int sock = RPC_ANYSOCK;
        clnt_ = clnttcp_create(&addr, program, version, &sock, 0, 0);
        return;
    }
    sockaddr_in6 addr{};
    addr.sin6_family = AF_INET6;
    addr.sin6_port = htons(static_cast<std::uint16_t>(port));
    addr.sin6_addr = in6addr_loopback;
    sock_ = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (sock_ < 0 || ::connect(sock_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) return;
    netbuf nb{sizeof addr, sizeof addr, &addr};
    clnt_ = clnt_vc_create(sock_, &nb, program, version, 0, 0);
}

Client::Client(int port, char const *local_address, int local_port) : timeout_s_(call_timeout_s) {
    kxtest::share_auth_none();
    sockaddr_storage local{}, server{};
    socklen_t length = 0;
    auto *l4 = reinterpret_cast<sockaddr_in *>(&local);
    auto *l6 = reinterpret_cast<sockaddr_in6 *>(&local);
    if (inet_pton(AF_INET, local_address, &l4->sin_addr) == 1) {
        l4->sin_family = AF_INET;
        l4->sin_port = htons(static_cast<std::uint16_t>(local_port));
        auto *s4 = reinterpret_cast<sockaddr_in *>(&server);
        s4->sin_family = AF_INET;
        s4->sin_port = htons(static_cast<std::uint16_t>(port));
        s4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        length = sizeof(sockaddr_in);
    } else if (inet_pton(AF_INET6, local_address, &l6->sin6_addr) == 1) {
        l6->sin6_family = AF_INET6;
        l6->sin6_port = htons(static_cast<std::uint16_t>(local_port));
        auto *s6 = reinterpret_cast<sockaddr_in6 *>(&server);
        s6->sin6_family = AF_INET6;
        s6->sin6_port = htons(static_cast<std::uint16_t>(port));
        s6->sin6_addr = in6addr_loopback;
        length = sizeof(sockaddr_in6);
    } else {
        return;
    }
    sock_ = ::socket(local.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    linger reset{1, 0};
    if (sock_ < 0 || ::setsockopt(sock_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
        ::setsockopt(sock_, SOL_SOCKET, SO_LINGER, &reset, sizeof reset) != 0 ||
        !kxtest::bind_client(sock_, reinterpret_cast<sockaddr *>(&local), length) ||
        ::connect(sock_, reinterpret_cast<sockaddr *>(&server), length) != 0)
        return;
    netbuf nb{length, length, &server};
    clnt_ = clnt_vc_create(sock_, &nb, program, version, 0, 0);
}

int Client::local_port() const {
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    if (sock_ < 0 || ::getsockname(sock_, reinterpret_cast<sockaddr *>(&local), &length) != 0) return 0;
    return ntohs(local.ss_family == AF_INET ? reinterpret_cast<sockaddr_in *>(&local)->sin_port
                                            : reinterpret_cast<sockaddr_in6 *>(&local)->sin6_port);
}

Client::~Client() {
    if (clnt_) clnt_destroy(clnt_);
    if (sock_ >= 0) ::close(sock_);
}

clnt_stat Client::call(rpcproc_t proc, xdrproc_t in, void *in_arg, xdrproc_t out, void *out_arg) {
    timeval tv{timeout_s_, 0};
    return clnt_call(clnt_, proc, in, static_cast<char *>(in_arg), out, static_cast<char *>(out_arg), tv);
}

bool_t xdr_utf8(XDR *xdrs, std::string *text) {
    u_int length = static_cast<u_int>(text->size());
    if (!xdr_u_int(xdrs, &length)) return FALSE;
    if (xdrs->x_op == XDR_DECODE) {
        if (length > (1u << 20)) return FALSE;
        text->assign(length, '\0');
    }
    return length == 0 || xdr_opaque(xdrs, text->data(), length);
}

bool_t xdr_error_record(XDR *xdrs, ErrorRecord *record) {
    if (!xdr_int(xdrs, &record->reason) || !xdr_utf8(xdrs, &record->message) || !xdr_int(xdrs, &record->resource_type))
        return FALSE;
    if (record->resource_type != -1) return FALSE; // the tests' failures carry no resource
    if (!xdr_int(xdrs, &record->causes) || record->causes < 0 || record->causes > 16) return FALSE;
    for (int i = 0; i < record->causes; ++i) {
        ErrorRecord cause;
        if (!xdr_error_record(xdrs, &cause)) return FALSE;
    }
    if (!xdr_int(xdrs, &record->extension)) return FALSE;
    if (record->extension == 2) return xdr_utf8(xdrs, &record->extension_text);
    if (record->extension == 1) {
        // Invalid fields: "name:tag" each, separated by spaces.
        int count = 0;
        if (!xdr_int(xdrs, &count) || count < 0 || count > 256) return FALSE;
        for (int i = 0; i < count; ++i) {
            std::string name;
            int tag = 0;
            if (!xdr_utf8(xdrs, &name) || !xdr_int(xdrs, &tag)) return FALSE;
            if (i) record->extension_text += ' ';
            record->extension_text += name + ':' + std::to_string(tag);
        }
        return TRUE;
    }
    return record->extension == 0;
}

std::string run_command(std::string const &command, int *status) {
    std::string out;
    FILE *p = ::popen(command.c_str(), "r");
    if (!p) {
        *status = -1;
        return out;
    }
    char buf[512];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    *status = shell_status(::pclose(p));
    return out;
}

} // namespace e2e
