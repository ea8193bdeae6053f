// The service cycle through our service manager: install, start, serve, stop, remove.
#include "server_process.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <string>
#include <thread>
#include <unistd.h>

#include "kxwin/registry.h"
#include "kxwin/service.h"

using namespace e2e;
using namespace KxWin;

namespace {

pid_t stored_pid() {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\KXRPC_Chart_Server", 0, KEY_READ,
                      &key) != ERROR_SUCCESS)
        return 0;
    uint32_t type = 0, pid = 0, size = sizeof pid;
    RegQueryValueExA(key, "ProcessId", nullptr, &type, reinterpret_cast<uint8_t *>(&pid), &size);
    RegCloseKey(key);
    return static_cast<pid_t>(pid);
}

class ServiceCycle : public testing::Test {
protected:
    void SetUp() override {
        ::setenv("KXWIN_REGISTRY_ROOT", dir_.file("registry").c_str(), 1);
        ASSERT_EQ(0, ::chdir(dir_.path().c_str()));
    }
    void TearDown() override {
        // Whatever happened, no service process outlives the test.
        if (pid_t pid = stored_pid(); pid > 0) ::kill(pid, SIGKILL);
        if (seen_pid_ > 0) ::kill(seen_pid_, SIGKILL);
        ASSERT_EQ(0, ::chdir("/"));
    }
    TempDir dir_;
    pid_t seen_pid_ = 0;
};

// The installed command line after the program's path; empty when there is no service.
std::wstring installed_arguments() {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service = manager ? OpenServiceW(manager, L"KXRPC_Chart_Server", SERVICE_ALL_ACCESS) : nullptr;
    std::wstring command_line, display_name;
    std::uint32_t start_type = 0;
    if (service && QueryServiceCommandLine(service, command_line, display_name, start_type) &&
        command_line.find(L' ') != std::wstring::npos)
        command_line = command_line.substr(command_line.find(L' '));
    else
        command_line.clear();
    if (service) CloseServiceHandle(service);
    if (manager) CloseServiceHandle(manager);
    return command_line;
}

// The executable the server runs as, which is what it registers: the sandboxed e2e run gives a
// wrapper as KXRPC_BIN that execs KX_SANDBOX_PROGRAM.
std::string served_program() {
    char const *wrapped = std::getenv("KX_SANDBOX_PROGRAM");
    return wrapped && *wrapped ? wrapped : program_path();
}

bool wait_for_state(SC_HANDLE service, std::uint32_t state, int timeout_ms) {
    auto const deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        SERVICE_STATUS status{};
        if (QueryServiceStatus(service, &status) && status.dwCurrentState == state) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

} // namespace

TEST_F(ServiceCycle, InstallStartServeStopRemove) {
    int const port = free_port();
    ASSERT_NE(0, port);
    std::string const port_text = std::to_string(port);
    Outcome install = run_to_exit({"-install_service", "-port", port_text}, dir_.path());
    EXPECT_EQ(0, install.status);
    EXPECT_EQ("", install.err);

    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    ASSERT_NE(nullptr, manager);
    SC_HANDLE service = OpenServiceW(manager, L"KXRPC_Chart_Server", SERVICE_ALL_ACCESS);
    ASSERT_NE(nullptr, service);
    std::wstring command_line, display_name;
    std::uint32_t start_type = 0;
    ASSERT_TRUE(QueryServiceCommandLine(service, command_line, display_name, start_type));
    std::string bin = served_program();
    EXPECT_EQ(std::wstring(bin.begin(), bin.end()) + L" -start_service -port " +
                  std::wstring(port_text.begin(), port_text.end()),
              command_line);
    EXPECT_EQ(L"KXRPC Chart Server", display_name);
    EXPECT_EQ(SERVICE_AUTO_START, start_type);

    // A failed service command ends with -1.
    Outcome again = run_to_exit({"-install_service"}, dir_.path());
    EXPECT_EQ(255, again.status);
    EXPECT_EQ("Call to CreateService failed\nError Code: (0x431)\nError Message: The specified service already "
              "exists.\n",
              again.err);

    // Started from a console, the dispatcher finds no manager behind it.
    Outcome console = run_to_exit({"-start_service"}, dir_.path());
    EXPECT_EQ(255, console.status);
    EXPECT_EQ("Failed to start service dispatcher\nError Code: (0x427)\nError Message: The service process could "
              "not connect to the service controller.\n",
              console.err);

    ASSERT_TRUE(StartServiceW(service, 0, nullptr)) << GetLastError();
    ASSERT_TRUE(wait_for_state(service, SERVICE_RUNNING, 10000));
    seen_pid_ = stored_pid();
    ASSERT_GT(seen_pid_, 0);
    EXPECT_FALSE(StartServiceW(service, 0, nullptr));
    EXPECT_EQ(ERROR_SERVICE_ALREADY_RUNNING, GetLastError());
    bool const ipv6 = ipv6_loopback_available();
    bool served = false;
    for (auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
         !served && std::chrono::steady_clock::now() < deadline;) {
        Client client(port);
        served = client.ok() && client.ping() == RPC_SUCCESS;
        if (!served) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_TRUE(served);
    if (ipv6) {
        Client v6(port, true);
        ASSERT_TRUE(v6.ok());
        EXPECT_EQ(RPC_SUCCESS, v6.ping());
    }

    Outcome remove = run_to_exit({"-remove_service"}, dir_.path(), {}, 20000);
    EXPECT_EQ(0, remove.status);
    EXPECT_EQ("", remove.err);
    // The service process is gone (it exits right after reporting STOPPED), and with it its
    // listeners. Connecting to the port again would prove nothing: once free, the port may be
    // taken at once by any other process on the machine.
    bool gone_process = false;
    for (auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
         !gone_process && std::chrono::steady_clock::now() < deadline;) {
        gone_process = ::kill(seen_pid_, 0) != 0 ||
                       read_file("/proc/" + std::to_string(seen_pid_) + "/stat").find(") Z ") != std::string::npos;
        if (!gone_process) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_TRUE(gone_process);
    SERVICE_STATUS status{};
    EXPECT_FALSE(QueryServiceStatus(service, &status));
    CloseServiceHandle(service);
    EXPECT_EQ(nullptr, OpenServiceW(manager, L"KXRPC_Chart_Server", SERVICE_ALL_ACCESS));
    EXPECT_EQ(ERROR_SERVICE_DOES_NOT_EXIST, GetLastError());
    CloseServiceHandle(manager);

    Outcome gone = run_to_exit({"-remove_service"}, dir_.path());
    EXPECT_EQ(255, gone.status);
    EXPECT_EQ("Call to OpenService failed\nError Code: (0x424)\nError Message: The specified service does not exist "
              "as an installed service.\n",
              gone.err);
}

TEST_F(ServiceCycle, InstallWithAndWithoutAPort) {
    // Without -port the service is installed to serve 2345 (nothing is started here).
    EXPECT_EQ(0, run_to_exit({"-install_service"}, dir_.path()).status);
    EXPECT_EQ(L" -start_service -port 2345", installed_arguments());
    EXPECT_EQ(0, run_to_exit({"-remove_service"}, dir_.path()).status);

    Outcome install = run_to_exit({"-install_service", "-port", "4321"}, dir_.path());
    EXPECT_EQ(0, install.status);
    EXPECT_EQ(L" -start_service -port 4321", installed_arguments());
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service = OpenServiceW(manager, L"KXRPC_Chart_Server", SERVICE_ALL_ACCESS);
    ASSERT_NE(nullptr, service);
    // A stopped service does not take STOP; removing it needs none.
    SERVICE_STATUS status{};
    EXPECT_FALSE(ControlService(service, SERVICE_CONTROL_STOP, &status));
    EXPECT_EQ(ERROR_SERVICE_NOT_ACTIVE, GetLastError());
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    Outcome remove = run_to_exit({"-remove_service"}, dir_.path());
    EXPECT_EQ(0, remove.status);
    EXPECT_EQ("", remove.err);
}
