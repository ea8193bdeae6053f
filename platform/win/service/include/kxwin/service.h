// A small service control manager in the shape of the Windows one. Installed services live in the
// registry store under HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\<name> (display name,
// command line, start type, and the running service's state and process id). Starting a service
// runs its command line as a detached process in the caller's working directory; STOP reaches the
// service's control handler through SIGTERM.
#pragma once

#include <cstdint>
#include <string>

namespace KxWin {

struct sc_handle;
using SC_HANDLE = sc_handle *;
struct service_status_handle;
using SERVICE_STATUS_HANDLE = service_status_handle *;

constexpr std::uint32_t SC_MANAGER_ALL_ACCESS = 0xF003F;
constexpr std::uint32_t SERVICE_ALL_ACCESS = 0xF01FF;
constexpr std::uint32_t SERVICE_WIN32_OWN_PROCESS = 0x10;
constexpr std::uint32_t SERVICE_AUTO_START = 2;
constexpr std::uint32_t SERVICE_DEMAND_START = 3;
constexpr std::uint32_t SERVICE_ERROR_NORMAL = 1;

constexpr std::uint32_t SERVICE_STOPPED = 1;
constexpr std::uint32_t SERVICE_START_PENDING = 2;
constexpr std::uint32_t SERVICE_STOP_PENDING = 3;
constexpr std::uint32_t SERVICE_RUNNING = 4;

constexpr std::uint32_t SERVICE_CONTROL_STOP = 1;
constexpr std::uint32_t SERVICE_ACCEPT_STOP = 1;

constexpr std::uint32_t ERROR_ACCESS_DENIED_ = 5;
constexpr std::uint32_t ERROR_INVALID_HANDLE_ = 6;
constexpr std::uint32_t ERROR_INVALID_PARAMETER_ = 87;
constexpr std::uint32_t ERROR_SERVICE_REQUEST_TIMEOUT = 1053;
constexpr std::uint32_t ERROR_SERVICE_NO_THREAD = 1054;
constexpr std::uint32_t ERROR_SERVICE_ALREADY_RUNNING = 1056;
constexpr std::uint32_t ERROR_SERVICE_DOES_NOT_EXIST = 1060;
constexpr std::uint32_t ERROR_SERVICE_CANNOT_ACCEPT_CTRL = 1061;
constexpr std::uint32_t ERROR_SERVICE_NOT_ACTIVE = 1062;
constexpr std::uint32_t ERROR_FAILED_SERVICE_CONTROLLER_CONNECT = 1063;
constexpr std::uint32_t ERROR_SERVICE_EXISTS = 1073;
constexpr std::uint32_t ERROR_REGISTRY_IO_FAILED_ = 1016;

struct SERVICE_STATUS {
    std::uint32_t dwServiceType;
    std::uint32_t dwCurrentState;
    std::uint32_t dwControlsAccepted;
    std::uint32_t dwWin32ExitCode;
    std::uint32_t dwServiceSpecificExitCode;
    std::uint32_t dwCheckPoint;
    std::uint32_t dwWaitHint;
};

using LPSERVICE_MAIN_FUNCTIONW = void (*)(std::uint32_t argc, wchar_t **argv);
using LPHANDLER_FUNCTION = void (*)(std::uint32_t control);

struct SERVICE_TABLE_ENTRYW {
    wchar_t const *lpServiceName;
    LPSERVICE_MAIN_FUNCTIONW lpServiceProc;
};

// The calling thread's last error of these calls.
std::uint32_t GetLastError();
void SetLastError(std::uint32_t code);
// The system's text for an error code (language neutral).
std::string error_message_text(std::uint32_t code);

// The running program's path; 0 and an error when it does not fit `size` characters.
std::uint32_t GetModuleFileNameW(void *module, wchar_t *buffer, std::uint32_t size);

// Manager side. Handles are closed with CloseServiceHandle. A non-empty machine name is refused.
SC_HANDLE OpenSCManagerW(wchar_t const *machine, wchar_t const *database, std::uint32_t access);
SC_HANDLE CreateServiceW(SC_HANDLE manager, wchar_t const *name, wchar_t const *display_name, std::uint32_t access,
                         std::uint32_t service_type, std::uint32_t start_type, std::uint32_t error_control,
                         wchar_t const *command_line, wchar_t const *load_order_group, std::uint32_t *tag_id,
                         wchar_t const *dependencies, wchar_t const *account, wchar_t const *password);
SC_HANDLE OpenServiceW(SC_HANDLE manager, wchar_t const *name, std::uint32_t access);
bool StartServiceW(SC_HANDLE service, std::uint32_t argc, wchar_t const **argv);
bool ControlService(SC_HANDLE service, std::uint32_t control, SERVICE_STATUS *status);
bool QueryServiceStatus(SC_HANDLE service, SERVICE_STATUS *status);
bool DeleteService(SC_HANDLE service);
bool CloseServiceHandle(SC_HANDLE handle);
// The stored command line and display name of a service; false when it is not installed.
bool QueryServiceCommandLine(SC_HANDLE service, std::wstring &command_line, std::wstring &display_name,
                             std::uint32_t &start_type);

// Service side. The dispatcher runs each service's main function on a thread of its own and
// turns SIGTERM into SERVICE_CONTROL_STOP on its own thread; it returns once the service has
// reported SERVICE_STOPPED. It fails (ERROR_FAILED_SERVICE_CONTROLLER_CONNECT) when the process
// was not started by the manager.
bool StartServiceCtrlDispatcherW(SERVICE_TABLE_ENTRYW const *table);
SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerW(wchar_t const *name, LPHANDLER_FUNCTION handler);
bool SetServiceStatus(SERVICE_STATUS_HANDLE handle, SERVICE_STATUS const *status);

} // namespace KxWin
