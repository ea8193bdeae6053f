// What clients make the server hold, by owner: each login session, its user, and the process above
// all. Two kinds of holding, disk (the server's files and the runtime's spool) and memory (items'
// contents), each with a bound per owner. A charge is refused at the first bound it would pass,
// before anything is taken, and its bytes come back when the Charge goes.
#pragma once

#include <cstdint>
#include <string>

#include "tesutil/oid.h"

namespace KxRpc {

enum class Holding { disk, memory };
enum class LedgerOwner { session, user, process };

// The bounds in bytes: KX_SESSION_DISK_BYTES (2 GiB, the largest call record), KX_USER_DISK_BYTES
// (4 GiB), KX_PROCESS_DISK_BYTES (16 GiB), KX_SESSION_MEMORY_BYTES (256 MiB), KX_USER_MEMORY_BYTES
// (1 GiB), KX_PROCESS_MEMORY_BYTES (4 GiB).
inline constexpr std::uint64_t default_session_disk_bytes = std::uint64_t(2) << 30;
inline constexpr std::uint64_t default_user_disk_bytes = std::uint64_t(4) << 30;
inline constexpr std::uint64_t default_process_disk_bytes = std::uint64_t(16) << 30;
inline constexpr std::uint64_t default_session_memory_bytes = std::uint64_t(256) << 20;
inline constexpr std::uint64_t default_user_memory_bytes = std::uint64_t(1) << 30;
inline constexpr std::uint64_t default_process_memory_bytes = std::uint64_t(4) << 30;
std::uint64_t ledger_bound(Holding kind, LedgerOwner owner);
// 0 sets the environment's value (or the default) again.
void set_ledger_bound(Holding kind, LedgerOwner owner, std::uint64_t bytes);

// The registry tells the ledger a session's user when the session is registered, and its end.
// A session never opened is charged as a session of no user; an empty user has no user bound.
void ledger_open(Nul::Oid const &session, std::string const &user);
void ledger_close(Nul::Oid const &session);
// Whether the session is open now.
bool ledger_session_open(Nul::Oid const &session);

// Bytes held for one owner, given back when the Charge goes. Move-only.
class Charge {
public:
    Charge() = default;
    // Charges `bytes` to the session, its user and the process; the first bound it would pass
    // refuses it (reason 40 with the bound's message, naming the variable and the bound) and
    // nothing is charged. A nil session charges the process only.
    Charge(Holding kind, Nul::Oid const &session, std::uint64_t bytes);
    Charge(Charge &&other) noexcept;
    Charge &operator=(Charge &&other) noexcept;
    Charge(Charge const &) = delete;
    Charge &operator=(Charge const &) = delete;
    ~Charge() { release(); }

    // Refused as above; what was charged stays.
    void grow(std::uint64_t bytes);
    // To exactly `bytes`: grows (may refuse, keeping the old) or shrinks.
    void resize(std::uint64_t bytes);
    // Takes up to `bytes` of `from` (its kind and session) over as they are, and charges the rest
    // as grow() does: bytes that move from one file to another are counted once.
    void take(Charge &from, std::uint64_t bytes);
    void release() noexcept;
    std::uint64_t bytes() const { return bytes_; }
    Holding kind() const { return kind_; }
    Nul::Oid const &owner() const { return session_; }

private:
    Holding kind_ = Holding::disk;
    Nul::Oid session_;
    std::uint64_t bytes_ = 0;
};

std::uint64_t ledger_held(Holding kind, Nul::Oid const &session);
std::uint64_t ledger_user_held(Holding kind, std::string const &user);
std::uint64_t ledger_process_held(Holding kind);

} // namespace KxRpc
