#include "kxwin/winsock.h"

#include <atomic>
#include <unistd.h>

namespace KxWin {
namespace {
std::atomic<int> startups{0};
}

int WSAStartup(std::uint16_t version, WSADATA *data) {
    if ((version & 0xFF) < 2) return WSAVERNOTSUPPORTED;
    if (data) {
        data->wVersion = MAKEWORD(2, 2);
        data->wHighVersion = MAKEWORD(2, 2);
    }
    ++startups;
    return 0;
}

int WSACleanup() {
    int n = startups.load();
    while (n > 0 && !startups.compare_exchange_weak(n, n - 1)) {
    }
    return n > 0 ? 0 : SOCKET_ERROR;
}

int closesocket(int socket) { return ::close(socket); }

} // namespace KxWin
