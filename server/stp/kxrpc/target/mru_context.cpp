// The hook-value scope: the saved values of each session with open scopes, under one lock.
#include "target/mru_context.h"

#include <map>
#include <mutex>
#include <utility>
#include <vector>

#include "kxproduct/session.h"
#include "wire/conversions.h"
#include "wire/product_failure.h"
#include "wire/textfmt.h"
#include "wire/trace.h"

namespace KxRpc {

namespace {

constexpr int mru_trace_level = 4;

wchar_t const *const mru_keys[] = {
    L"_KXXE_ACCEPT",
    L"_KXXE_COMMAND_TYPE_BEGIN",
    L"_KXXE_COMMAND_TYPE_CLOSE",
    L"_KXXE_DOC_BEGIN",
    L"_KXXE_DOC_CLOSE",
    L"_KXXE_GENERATE_CUSTOM_ERROR_MESSAGE",
    L"_KXXE_GENERATE_CUSTOM_MESSAGE_BEGIN",
    L"_KXXE_GENERATE_CUSTOM_MESSAGE_CLOSE",
    L"_KXXE_MSG_DETAILS_BEGIN",
    L"_KXXE_MSG_DETAILS_CLOSE",
    L"_KXXE_MSG_SUMMARY_BEGIN",
    L"_KXXE_MSG_SUMMARY_CLOSE",
    L"_KXXE_MSG_TYPE_BEGIN",
    L"_KXXE_MSG_TYPE_CLOSE",
    L"_KXXE_OPEN_FORM",
    L"_KXXE_OPEN_URL",
    nullptr,
};

CString to_cstring(Nul::UString const &s) { return CString(s.utf8_str().c_str()); }

// The hook values saved for each session that has open scopes.
struct SavedHookValues {
    int scopes = 0;
    std::vector<std::pair<Nul::UString, Nul::UString>> values;
};

std::mutex &saved_values_mutex() {
    static std::mutex mutex;
    return mutex;
}

std::map<AdSession const *, SavedHookValues> &saved_values() {
    static std::map<AdSession const *, SavedHookValues> by_session;
    return by_session;
}

void put_back(AdSession *session, SavedHookValues const &saved) noexcept {
    for (auto const &[name, value] : saved.values)
        ignoring_failures([&] { session->SetNameValue(to_cstring(name), to_cstring(value)); });
}

} // namespace

wchar_t const *const *MRU_context::keys() { return mru_keys; }

MRU_context::MRU_context(AdEntityPtr const &record) {
    trace_lazy(mru_trace_level, [] { return Nul::UString(L"MRU_context ctor"); });
    if (!record) return;
    AdSessionPtr session = record->GetSession();
    CString display_name = record->GetDisplayName();
    CString batch_record = session->GetNameValue(CString(batch_mode_name));
    trace_lazy(mru_trace_level, [&] {
        return text_format("MRU_context ctor: display_name=%s, mru_record=%s", ustr(display_name), ustr(batch_record));
    });
    // An unset batch-mode value names no record; it must not match a new record's empty name.
    if (batch_record.IsEmpty() || display_name != batch_record) return;
    std::lock_guard<std::mutex> lock(saved_values_mutex());
    SavedHookValues &saved = saved_values()[session.get()];
    if (saved.scopes == 0) {
        try {
            for (wchar_t const *const *key = mru_keys; *key; ++key) {
                CString value = session->GetNameValue(CString(*key));
                saved.values.emplace_back(Nul::UString(*key), ustr(value));
                session->SetNameValue(CString(*key), CString());
            }
        } catch (...) {
            // No destructor runs for a scope that failed to open: put back what was cleared.
            put_back(session.get(), saved);
            saved_values().erase(session.get());
            throw;
        }
    }
    ++saved.scopes;
    session_ = session;
    record_ = record;
}

void MRU_context::restore() noexcept {
    if (session_) {
        ignoring_failures([this] {
            std::lock_guard<std::mutex> lock(saved_values_mutex());
            auto it = saved_values().find(session_.get());
            if (it == saved_values().end() || --it->second.scopes > 0) return;
            put_back(session_.get(), it->second);
            saved_values().erase(it);
        });
    }
    ignoring_failures([this] {
        session_ = AdSessionPtr();
        record_ = AdEntityPtr();
    });
}

MRU_context::~MRU_context() {
    trace_lazy(mru_trace_level, [] { return Nul::UString(L"MRU_context dtor"); });
    restore();
}

} // namespace KxRpc
