#include "kxwin/service.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <pthread.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "kxwin/registry.h"
#include "kxwin/utf.h"

namespace KxWin {

struct sc_handle {
    bool manager;
    std::string name; // UTF-8, services only
};

struct service_status_handle {};

namespace {

thread_local std::uint32_t last_error = 0;

char const *const services_key = "SYSTEM\\CurrentControlSet\\Services";
char const *const service_env = "KXWIN_SERVICE_NAME";

bool fail(std::uint32_t code) {
    last_error = code;
    return false;
}

std::string narrow(wchar_t const *text) { return text ? kxwin::to_utf8(text) : std::string(); }

std::wstring widen(std::string const &text) { return kxwin::from_utf8(text); }

std::string key_path(std::string const &name) { return std::string(services_key) + "\\" + name; }

// One open key of a service; closed on scope exit.
class Key {
public:
    Key() = default;
    Key(Key const &) = delete;
    Key &operator=(Key const &) = delete;
    ~Key() {
        if (key_) RegCloseKey(key_);
    }
    int32_t open(std::string const &name) {
        return RegOpenKeyExA(HKEY_LOCAL_MACHINE, key_path(name).c_str(), 0, KEY_ALL_ACCESS, &key_);
    }
    int32_t create(std::string const &name, uint32_t *disposition) {
        return RegCreateKeyExA(HKEY_LOCAL_MACHINE, key_path(name).c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                               KEY_ALL_ACCESS, nullptr, &key_, disposition);
    }
    bool set_text(char const *value, std::string const &text) {
        return RegSetValueExA(key_, value, 0, REG_SZ, reinterpret_cast<uint8_t const *>(text.c_str()),
                              static_cast<uint32_t>(text.size() + 1)) == ERROR_SUCCESS;
    }
    bool set_dword(char const *value, uint32_t v) {
        return RegSetValueExA(key_, value, 0, REG_DWORD, reinterpret_cast<uint8_t const *>(&v), sizeof v) ==
               ERROR_SUCCESS;
    }
    bool text(char const *value, std::string &out) {
        uint32_t type = 0, size = 0;
        if (RegQueryValueExA(key_, value, nullptr, &type, nullptr, &size) != ERROR_SUCCESS || type != REG_SZ)
            return false;
        std::vector<uint8_t> data(size + 1, 0);
        if (RegQueryValueExA(key_, value, nullptr, &type, data.data(), &size) != ERROR_SUCCESS) return false;
        out.assign(reinterpret_cast<char const *>(data.data()));
        return true;
    }
    uint32_t dword(char const *value, uint32_t fallback) {
        uint32_t type = 0, v = 0, size = sizeof v;
        if (RegQueryValueExA(key_, value, nullptr, &type, reinterpret_cast<uint8_t *>(&v), &size) != ERROR_SUCCESS ||
            type != REG_DWORD)
            return fallback;
        return v;
    }

private:
    HKEY key_ = nullptr;
};

bool alive(pid_t pid) {
    if (pid <= 0) return false;
    // A child of ours that has ended is reaped here, so it does not count as alive.
    ::waitpid(pid, nullptr, WNOHANG);
    if (::kill(pid, 0) != 0 && errno != EPERM) return false;
    // An ended process that nobody has reaped yet is not running either.
    char path[64], stat[256] = {};
    std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return true;
    ssize_t n = ::read(fd, stat, sizeof stat - 1);
    ::close(fd);
    char const *close_paren = n > 0 ? std::strrchr(stat, ')') : nullptr;
    return !(close_paren && close_paren[1] == ' ' && close_paren[2] == 'Z');
}

// The state as stored, corrected for a service process that has gone away.
SERVICE_STATUS current_status(Key &key) {
    SERVICE_STATUS s{};
    s.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    s.dwCurrentState = key.dword("CurrentState", SERVICE_STOPPED);
    s.dwWin32ExitCode = key.dword("ExitCode", 0);
    auto pid = static_cast<pid_t>(key.dword("ProcessId", 0));
    if (s.dwCurrentState != SERVICE_STOPPED) {
        // A stop in progress whose process has already gone, or a process that has gone.
        if ((pid > 0 && !alive(pid)) || (pid == 0 && s.dwCurrentState == SERVICE_STOP_PENDING)) {
            s.dwCurrentState = SERVICE_STOPPED;
            key.set_dword("CurrentState", SERVICE_STOPPED);
            key.set_dword("ProcessId", 0);
        } else if (s.dwCurrentState == SERVICE_RUNNING) {
            s.dwControlsAccepted = SERVICE_ACCEPT_STOP;
        }
    }
    return s;
}

std::vector<std::string> split_command_line(std::string const &line) {
    std::vector<std::string> out;
    std::string current;
    bool quoted = false, any = false;
    for (char c : line) {
        if (c == '"') {
            quoted = !quoted;
            any = true;
        } else if ((c == ' ' || c == '\t') && !quoted) {
            if (any) out.push_back(current);
            current.clear();
            any = false;
        } else {
            current += c;
            any = true;
        }
    }
    if (any) out.push_back(current);
    return out;
}

// Service side.
std::atomic<LPHANDLER_FUNCTION> control_handler{nullptr};
std::atomic<bool> reported_stopped{false};
service_status_handle the_status_handle;
std::string dispatched_name;

} // namespace

std::uint32_t GetLastError() { return last_error; }
void SetLastError(std::uint32_t code) { last_error = code; }

std::string error_message_text(std::uint32_t code) {
    switch (code) {
    case 0:
        return "The operation completed successfully.";
    case ERROR_ACCESS_DENIED_:
        return "Access is denied.";
    case ERROR_INVALID_HANDLE_:
        return "The handle is invalid.";
    case ERROR_INVALID_PARAMETER_:
        return "The parameter is incorrect.";
    case ERROR_REGISTRY_IO_FAILED_:
        return "An I/O operation initiated by the registry failed unrecoverably.";
    case ERROR_SERVICE_REQUEST_TIMEOUT:
        return "The service did not respond to the start or control request in a timely fashion.";
    case ERROR_SERVICE_NO_THREAD:
        return "A thread could not be created for the service.";
    case ERROR_SERVICE_ALREADY_RUNNING:
        return "An instance of the service is already running.";
    case ERROR_SERVICE_DOES_NOT_EXIST:
        return "The specified service does not exist as an installed service.";
    case ERROR_SERVICE_CANNOT_ACCEPT_CTRL:
        return "The service cannot accept control messages at this time.";
    case ERROR_SERVICE_NOT_ACTIVE:
        return "The service has not been started.";
    case ERROR_FAILED_SERVICE_CONTROLLER_CONNECT:
        return "The service process could not connect to the service controller.";
    case ERROR_SERVICE_EXISTS:
        return "The specified service already exists.";
    default:
        return code < 1000 ? std::string(std::strerror(static_cast<int>(code))) : "Unknown error.";
    }
}

std::uint32_t GetModuleFileNameW(void *, wchar_t *buffer, std::uint32_t size) {
    char path[4096];
    ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (n < 0) {
        last_error = static_cast<std::uint32_t>(errno);
        return 0;
    }
    std::wstring wide = widen(std::string(path, static_cast<std::size_t>(n)));
    if (!buffer || wide.size() + 1 > size) {
        last_error = 122; // ERROR_INSUFFICIENT_BUFFER
        return 0;
    }
    std::wmemcpy(buffer, wide.c_str(), wide.size() + 1);
    return static_cast<std::uint32_t>(wide.size());
}

SC_HANDLE OpenSCManagerW(wchar_t const *machine, wchar_t const *, std::uint32_t) {
    if (machine && *machine) {
        last_error = ERROR_ACCESS_DENIED_;
        return nullptr;
    }
    return new sc_handle{true, {}};
}

SC_HANDLE CreateServiceW(SC_HANDLE manager, wchar_t const *name, wchar_t const *display_name, std::uint32_t,
                         std::uint32_t service_type, std::uint32_t start_type, std::uint32_t error_control,
                         wchar_t const *command_line, wchar_t const *, std::uint32_t *, wchar_t const *,
                         wchar_t const *, wchar_t const *) {
    if (!manager || !manager->manager) {
        last_error = ERROR_INVALID_HANDLE_;
        return nullptr;
    }
    std::string n = narrow(name);
    if (n.empty() || n.find('\\') != std::string::npos || !command_line) {
        last_error = ERROR_INVALID_PARAMETER_;
        return nullptr;
    }
    Key key;
    std::string existing;
    if (key.open(n) == ERROR_SUCCESS && key.text("ImagePath", existing)) {
        last_error = ERROR_SERVICE_EXISTS;
        return nullptr;
    }
    Key created;
    uint32_t disposition = 0;
    if (created.create(n, &disposition) != ERROR_SUCCESS ||
        !created.set_text("DisplayName", narrow(display_name ? display_name : name)) ||
        !created.set_dword("Type", service_type) || !created.set_dword("Start", start_type) ||
        !created.set_dword("ErrorControl", error_control) || !created.set_dword("CurrentState", SERVICE_STOPPED) ||
        !created.set_dword("ProcessId", 0) || !created.set_text("ImagePath", narrow(command_line))) {
        last_error = ERROR_REGISTRY_IO_FAILED_;
        return nullptr;
    }
    return new sc_handle{false, n};
}

SC_HANDLE OpenServiceW(SC_HANDLE manager, wchar_t const *name, std::uint32_t) {
    if (!manager || !manager->manager) {
        last_error = ERROR_INVALID_HANDLE_;
        return nullptr;
    }
    std::string n = narrow(name);
    Key key;
    std::string path;
    if (n.empty() || key.open(n) != ERROR_SUCCESS || !key.text("ImagePath", path)) {
        last_error = ERROR_SERVICE_DOES_NOT_EXIST;
        return nullptr;
    }
    return new sc_handle{false, n};
}

bool QueryServiceCommandLine(SC_HANDLE service, std::wstring &command_line, std::wstring &display_name,
                             std::uint32_t &start_type) {
    if (!service || service->manager) return fail(ERROR_INVALID_HANDLE_);
    Key key;
    std::string path, display;
    if (key.open(service->name) != ERROR_SUCCESS || !key.text("ImagePath", path) || !key.text("DisplayName", display))
        return fail(ERROR_SERVICE_DOES_NOT_EXIST);
    command_line = widen(path);
    display_name = widen(display);
    start_type = key.dword("Start", 0);
    return true;
}

bool QueryServiceStatus(SC_HANDLE service, SERVICE_STATUS *status) {
    if (!service || service->manager || !status) return fail(ERROR_INVALID_HANDLE_);
    Key key;
    if (key.open(service->name) != ERROR_SUCCESS) return fail(ERROR_SERVICE_DOES_NOT_EXIST);
    *status = current_status(key);
    return true;
}

bool StartServiceW(SC_HANDLE service, std::uint32_t argc, wchar_t const **argv) {
    if (!service || service->manager) return fail(ERROR_INVALID_HANDLE_);
    Key key;
    std::string line;
    if (key.open(service->name) != ERROR_SUCCESS || !key.text("ImagePath", line))
        return fail(ERROR_SERVICE_DOES_NOT_EXIST);
    if (current_status(key).dwCurrentState != SERVICE_STOPPED) return fail(ERROR_SERVICE_ALREADY_RUNNING);
    std::vector<std::string> args = split_command_line(line);
    for (std::uint32_t i = 0; i < argc; ++i) args.push_back(narrow(argv[i]));
    if (args.empty()) return fail(ERROR_INVALID_PARAMETER_);
    std::vector<char *> cargs;
    for (auto &a : args) cargs.push_back(a.data());
    cargs.push_back(nullptr);
    std::string env = std::string(service_env) + "=" + service->name;

    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) return fail(ERROR_SERVICE_NO_THREAD);
    key.set_dword("CurrentState", SERVICE_START_PENDING);
    key.set_dword("ExitCode", 0);
    pid_t middle = ::fork();
    if (middle < 0) {
        ::close(report[0]);
        ::close(report[1]);
        key.set_dword("CurrentState", SERVICE_STOPPED);
        return fail(ERROR_SERVICE_NO_THREAD);
    }
    if (middle == 0) {
        // Detached: a session of its own, and not a child of the caller.
        ::setsid();
        pid_t service_pid = ::fork();
        if (service_pid == 0) {
            int null_fd = ::open("/dev/null", O_RDWR);
            ::dup2(null_fd, 0);
            ::dup2(null_fd, 1);
            ::dup2(null_fd, 2);
            ::putenv(env.data());
            sigset_t none;
            sigemptyset(&none);
            ::sigprocmask(SIG_SETMASK, &none, nullptr);
            ::execv(cargs[0], cargs.data());
            int e = errno;
            (void)!::write(report[1], &e, sizeof e);
            ::_exit(127);
        }
        (void)!::write(report[1], &service_pid, sizeof service_pid);
        ::_exit(service_pid > 0 ? 0 : 1);
    }
    ::close(report[1]);
    ::waitpid(middle, nullptr, 0);
    pid_t service_pid = -1;
    int exec_error = 0;
    bool got_pid = ::read(report[0], &service_pid, sizeof service_pid) == sizeof service_pid && service_pid > 0;
    bool exec_failed = got_pid && ::read(report[0], &exec_error, sizeof exec_error) == sizeof exec_error;
    ::close(report[0]);
    if (!got_pid || exec_failed) {
        key.set_dword("CurrentState", SERVICE_STOPPED);
        return fail(exec_failed ? static_cast<std::uint32_t>(exec_error) : ERROR_SERVICE_NO_THREAD);
    }
    key.set_dword("ProcessId", static_cast<uint32_t>(service_pid));
    return true;
}

bool ControlService(SC_HANDLE service, std::uint32_t control, SERVICE_STATUS *status) {
    if (!service || service->manager) return fail(ERROR_INVALID_HANDLE_);
    if (control != SERVICE_CONTROL_STOP) return fail(ERROR_INVALID_PARAMETER_);
    Key key;
    if (key.open(service->name) != ERROR_SUCCESS) return fail(ERROR_SERVICE_DOES_NOT_EXIST);
    SERVICE_STATUS s = current_status(key);
    if (status) *status = s;
    if (s.dwCurrentState == SERVICE_STOPPED) return fail(ERROR_SERVICE_NOT_ACTIVE);
    auto pid = static_cast<pid_t>(key.dword("ProcessId", 0));
    if (s.dwCurrentState != SERVICE_RUNNING || pid <= 0) return fail(ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
    // Pending before the signal: the service may report STOPPED at once, and that must be the
    // last word.
    key.set_dword("CurrentState", SERVICE_STOP_PENDING);
    if (::kill(pid, SIGTERM) != 0) {
        key.set_dword("CurrentState", s.dwCurrentState);
        return fail(ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
    }
    s.dwCurrentState = SERVICE_STOP_PENDING;
    if (status) *status = s;
    return true;
}

bool DeleteService(SC_HANDLE service) {
    if (!service || service->manager) return fail(ERROR_INVALID_HANDLE_);
    if (RegDeleteKeyA(HKEY_LOCAL_MACHINE, key_path(service->name).c_str()) != ERROR_SUCCESS)
        return fail(ERROR_SERVICE_DOES_NOT_EXIST);
    return true;
}

bool CloseServiceHandle(SC_HANDLE handle) {
    if (!handle) return fail(ERROR_INVALID_HANDLE_);
    delete handle;
    return true;
}

bool StartServiceCtrlDispatcherW(SERVICE_TABLE_ENTRYW const *table) {
    char const *started_as = std::getenv(service_env);
    if (!table || !table->lpServiceName || !started_as || narrow(table->lpServiceName) != started_as)
        return fail(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    dispatched_name = started_as;
    {
        Key key;
        if (key.open(dispatched_name) == ERROR_SUCCESS) key.set_dword("ProcessId", static_cast<uint32_t>(::getpid()));
    }
    // STOP arrives as SIGTERM; only this thread takes it, so the control handler runs here
    // and never inside a signal handler.
    sigset_t term;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    ::pthread_sigmask(SIG_BLOCK, &term, nullptr);
    std::atomic<bool> main_done{false};
    std::wstring name = table->lpServiceName;
    std::thread service([&] {
        std::vector<wchar_t> buffer(name.begin(), name.end());
        buffer.push_back(L'\0');
        wchar_t *argv[] = {buffer.data(), nullptr};
        table->lpServiceProc(1, argv);
        main_done = true;
    });
    while (!reported_stopped.load()) {
        timespec wait{0, 100 * 1000 * 1000};
        int sig = ::sigtimedwait(&term, nullptr, &wait);
        if (sig == SIGTERM) {
            if (LPHANDLER_FUNCTION handler = control_handler.load()) handler(SERVICE_CONTROL_STOP);
        } else if (main_done.load() && !reported_stopped.load()) {
            // The service returned without saying so: it has stopped all the same.
            SERVICE_STATUS stopped{SERVICE_WIN32_OWN_PROCESS, SERVICE_STOPPED, 0, 0, 0, 0, 0};
            SetServiceStatus(&the_status_handle, &stopped);
        }
    }
    service.join();
    return true;
}

SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerW(wchar_t const *name, LPHANDLER_FUNCTION handler) {
    if (!name || narrow(name) != dispatched_name || !handler) {
        last_error = ERROR_SERVICE_DOES_NOT_EXIST;
        return nullptr;
    }
    control_handler = handler;
    return &the_status_handle;
}

bool SetServiceStatus(SERVICE_STATUS_HANDLE handle, SERVICE_STATUS const *status) {
    if (handle != &the_status_handle || !status) return fail(ERROR_INVALID_HANDLE_);
    Key key;
    if (key.open(dispatched_name) != ERROR_SUCCESS || !key.set_dword("CurrentState", status->dwCurrentState) ||
        !key.set_dword("ExitCode", status->dwWin32ExitCode))
        return fail(ERROR_REGISTRY_IO_FAILED_);
    if (status->dwCurrentState == SERVICE_STOPPED) {
        key.set_dword("ProcessId", 0);
        reported_stopped = true;
    }
    return true;
}

} // namespace KxWin
