// Windows Sockets start-up and clean-up. POSIX sockets need neither; only the counting that
// pairs them is kept, so that a clean-up without a start-up reports an error as on Windows.
#pragma once

#include <cstdint>

namespace KxWin {

constexpr int WSANOTINITIALISED = 10093;
constexpr int WSAVERNOTSUPPORTED = 10092;
constexpr int SOCKET_ERROR = -1;

struct WSADATA {
    std::uint16_t wVersion;
    std::uint16_t wHighVersion;
};

inline constexpr std::uint16_t MAKEWORD(unsigned low, unsigned high) {
    return static_cast<std::uint16_t>((low & 0xFF) | ((high & 0xFF) << 8));
}

// 0 on success, else an error code; versions below 2 are refused.
int WSAStartup(std::uint16_t version, WSADATA *data);
// 0 while a start-up is outstanding, else SOCKET_ERROR.
int WSACleanup();
int closesocket(int socket);

} // namespace KxWin
