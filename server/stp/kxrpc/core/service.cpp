// Options of service control, the usage text and the single-sign-on password tool.
#include "core/service.h"

#include "core/options.h"
#include "core/shutdown.h"
#include "core/startup.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "files/descriptors.h"
#include "kxproduct/crypt.h"
#include "kxwin/service.h"
#include "session/sso.h"

namespace KxRpc {

namespace {

wchar_t const *const service_name = L"KXRPC_Chart_Server";
wchar_t const *const service_display_name = L"KXRPC Chart Server";
int service_port = 2345;

// A manual-reset event: once set it stays set.
class Event {
public:
    void set() {
        std::lock_guard<std::mutex> lock(mutex_);
        set_ = true;
        cv_.notify_all();
    }
    void wait() {
        std::unique_lock<std::mutex> lock(mutex_);
        cv_.wait(lock, [this] { return set_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool set_ = false;
};

Event *stop_event = nullptr;
Event server_stopped; // start_rpc_program has returned in the service thread
std::atomic<bool> stopped_reported{false};

void report_last_error() {
    std::uint32_t code = KxWin::GetLastError();
    log_message("Error Code: (0x%x)\n", code);
    log_message("Error Message: %s\n", KxWin::error_message_text(code).c_str());
}

void read_service_port(int argc, char **argv) {
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "-port") != 0) continue;
        if (i + 1 >= argc) {
            log_message("Must specify a number with -port option");
            exit_now(-1);
        }
        if (!parse_port(argv[i + 1], service_port)) {
            log_message("Must specify a valid integer with -port option: %s", argv[i + 1]);
            exit_now(-1);
        }
        return;
    }
}

// The service commands return false when any step failed (its message is already out).
bool install_service(int argc, char **argv) {
    read_service_port(argc, argv);
    bool ok = true;
    wchar_t path[512] = {};
    if (KxWin::GetModuleFileNameW(nullptr, path, 512) == 0) {
        log_message("Call to GetModuleFileName failed\n");
        report_last_error();
        ok = false;
    }
    std::wstring command_line = std::wstring(path) + L" -start_service -port " + std::to_wstring(service_port);
    KxWin::SC_HANDLE manager = KxWin::OpenSCManagerW(nullptr, nullptr, KxWin::SC_MANAGER_ALL_ACCESS);
    if (!manager) {
        log_message("Call to OpenSCManager failed\n");
        report_last_error();
        return false;
    }
    KxWin::SC_HANDLE service =
        KxWin::CreateServiceW(manager, service_name, service_display_name, KxWin::SERVICE_ALL_ACCESS,
                              KxWin::SERVICE_WIN32_OWN_PROCESS, KxWin::SERVICE_AUTO_START, KxWin::SERVICE_ERROR_NORMAL,
                              command_line.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
    if (!service) {
        log_message("Call to CreateService failed\n");
        report_last_error();
        ok = false;
    } else {
        KxWin::CloseServiceHandle(service);
    }
    KxWin::CloseServiceHandle(manager);
    return ok;
}

bool remove_service() {
    KxWin::SC_HANDLE manager = KxWin::OpenSCManagerW(nullptr, nullptr, KxWin::SC_MANAGER_ALL_ACCESS);
    if (!manager) {
        log_message("Call to OpenSCManager failed\n");
        report_last_error();
        return false;
    }
    KxWin::SC_HANDLE service = KxWin::OpenServiceW(manager, service_name, KxWin::SERVICE_ALL_ACCESS);
    if (!service) {
        log_message("Call to OpenService failed\n");
        report_last_error();
        KxWin::CloseServiceHandle(manager);
        return false;
    }
    bool ok = true;
    KxWin::SERVICE_STATUS status{};
    if (KxWin::ControlService(service, KxWin::SERVICE_CONTROL_STOP, &status)) {
        bool queried;
        do {
            std::this_thread::sleep_for(std::chrono::milliseconds(1000));
            queried = KxWin::QueryServiceStatus(service, &status);
        } while (queried && status.dwCurrentState == KxWin::SERVICE_STOP_PENDING);
        if (status.dwCurrentState != KxWin::SERVICE_STOPPED) {
            log_message("Service not stopped\n");
            report_last_error();
            ok = false;
        }
    }
    if (!KxWin::DeleteService(service)) {
        log_message("Call to DeleteService failed\n");
        report_last_error();
        ok = false;
    }
    KxWin::CloseServiceHandle(service);
    KxWin::CloseServiceHandle(manager);
    return ok;
}

bool report_stopped(std::uint32_t exit_code) {
    if (stopped_reported.exchange(true)) return true;
    KxWin::SERVICE_STATUS_HANDLE handle = KxWin::RegisterServiceCtrlHandlerW(service_name, service_control_handler);
    KxWin::SERVICE_STATUS status{
        KxWin::SERVICE_WIN32_OWN_PROCESS, KxWin::SERVICE_STOPPED, KxWin::SERVICE_ACCEPT_STOP, exit_code, 0, 0, 5000};
    return handle && KxWin::SetServiceStatus(handle, &status);
}

bool start_service(int argc, char **argv) {
    read_service_port(argc, argv);
    KxWin::SERVICE_TABLE_ENTRYW table[] = {{service_name, service_main}, {nullptr, nullptr}};
    if (!KxWin::StartServiceCtrlDispatcherW(table)) {
        log_message("Failed to start service dispatcher\n");
        report_last_error();
        return false;
    }
    return true;
}

void print_usage() {
    log_message("\n");
    log_message("Usage:\n");
    log_message("\n");
    log_message("kxrpc.exe -install_service [-port PORT]\n");
    log_message("\n");
    log_message("kxrpc.exe -remove_service\n");
    log_message("\n");
    log_message("kxrpc -sso_password PASSWORD\n");
}

// Encrypts the password twice for "sso.properties"; the login decrypts it twice.
[[noreturn]] void sso_password_tool(int argc, char **argv, int index) {
    if (index + 1 >= argc) {
        log_message("Must specify a SSO password.\n");
        exit_now(-1);
    }
    char const *password = argv[index + 1];
    if (std::strlen(password) < 30) {
        log_message("The SSO password must be at least 30 characters in length.\n");
        exit_now(-1);
    }
    CString encrypted = AdEncryptStringMaybeUTF8(AdEncryptStringMaybeUTF8(CString::FromUtf8(password), 7), 7);
    std::string text = encrypted.ToUtf8();
    std::printf("Encrypted SSO client password: %s\n", text.c_str());
    // The token logs anyone in as any user: readable by the owner only, and never through a link.
    int fd = ::open("sso.properties.temp", O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0 || ::fchmod(fd, 0600) != 0) exit_now(-1);
    std::FILE *file = ::fdopen(fd, "wb");
    if (!file) exit_now(-1);
    std::fprintf(file, "%s\n", text.c_str());
    bool written = std::fclose(file) == 0;
    exit_now(written ? 0 : -1);
}

} // namespace

void service_main(std::uint32_t, wchar_t **) {
    static Event event;
    stop_event = &event;
    wchar_t path[512] = {};
    if (KxWin::GetModuleFileNameW(nullptr, path, 512) == 0) {
        log_message("Call to GetModuleFileName failed\n");
        report_last_error();
        exit_now(-1);
    }
    std::string module = Nul::UString(path).utf8_str();
    std::string directory =
        module.substr(0, module.find_last_of('/') == std::string::npos ? 0 : module.find_last_of('/'));
    std::string port = std::to_string(service_port);
    std::vector<std::string> args = {module, "-team_bin", directory, "-port", port};
    std::vector<char *> argv;
    for (auto &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    KxWin::SERVICE_STATUS_HANDLE handle = KxWin::RegisterServiceCtrlHandlerW(service_name, service_control_handler);
    KxWin::SERVICE_STATUS running{
        KxWin::SERVICE_WIN32_OWN_PROCESS, KxWin::SERVICE_RUNNING, KxWin::SERVICE_ACCEPT_STOP, 0, 0, 0, 5000};
    if (!handle || !KxWin::SetServiceStatus(handle, &running)) {
        log_message("Failed to set server status\n");
        report_last_error();
    }
    int rc = start_rpc_program(static_cast<int>(args.size()), argv.data());
    server_stopped.set();
    // A server that ended by itself (start-up failure, the shutdown procedure) is stopped too.
    report_stopped(rc == 0 ? 0 : 1);
}

void service_control_handler(std::uint32_t control) {
    if (control != KxWin::SERVICE_CONTROL_STOP) return;
    if (stop_event) stop_event->set();
    // The server stops through its orderly shutdown before the manager hears STOPPED.
    request_stop();
    server_stopped.wait();
    if (!report_stopped(0)) {
        log_message("Failed to set server status to stopped\n");
        report_last_error();
    }
}

bool parse_service_options(int argc, char **argv, int &index) {
    char const *arg = argv[index];
    if (std::strcmp(arg, "-install_service") == 0) {
        exit_now(install_service(argc, argv) ? 0 : -1);
    }
    if (std::strcmp(arg, "-remove_service") == 0) {
        exit_now(remove_service() ? 0 : -1);
    }
    if (std::strcmp(arg, "-start_service") == 0) {
        exit_now(start_service(argc, argv) ? 0 : -1);
    }
    if (std::strcmp(arg, "-help") == 0) {
        print_usage();
        exit_now(0);
    }
    if (std::strcmp(arg, "-sso_password") == 0) sso_password_tool(argc, argv, index);
    return false;
}

// The token logs anyone in as any user: it is taken only from a regular file of this user (or of
// root) that nobody else may change, opened once and never through a link.
void load_sso_password() {
    UniqueFd fd(::open("sso.properties", O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat st {};
    if (!fd && errno == ENOENT) return;
    if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || (st.st_uid != ::geteuid() && st.st_uid != 0) ||
        (st.st_mode & 022) != 0) {
        log_message(
            "sso.properties is ignored: it is no regular file of this user or root that only its owner may change\n");
        return;
    }
    std::FILE *file = ::fdopen(fd.get(), "rb");
    if (!file) return;
    fd.release();
    char token[2048];
    int got = std::fscanf(file, "%2047s", token);
    std::fclose(file);
    if (got == 1) set_sso_password(Nul::UString(Nul::Utf8String(token)));
}

} // namespace KxRpc
