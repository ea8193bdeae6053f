// The scope in which a record of a multi-modify batch is worked on with its session's hook
// message values cleared.
#pragma once

#include "kxproduct/entity.h"
#include "kxproduct/session.h"

namespace KxRpc {

// Saves and clears the session's hook message values while a record of a multi-modify batch is
// being worked on, and puts them back at the end of the scope. Scopes that overlap on one session
// (nested, or calls on the session from two connections) share one saved copy: the first to open
// saves and clears, the last to close puts the values back, so no scope ever saves the cleared
// values of another and restores them over the real ones.
class MRU_context {
public:
    explicit MRU_context(AdEntityPtr const &record);
    MRU_context(MRU_context const &) = delete;
    MRU_context &operator=(MRU_context const &) = delete;
    ~MRU_context();

    // The 16 value names, null-terminated.
    static wchar_t const *const *keys();
    static constexpr wchar_t const *batch_mode_name = L"@ostw_MultiModifyBatchMode";
    // The scope keeps the values of its session cleared.
    bool saved() const { return static_cast<bool>(record_); }

private:
    void restore() noexcept;
    AdEntityPtr record_;
    AdSessionPtr session_;
};

} // namespace KxRpc
