#include "wire/decode_budget.h"

#include <string>

#include "wire/call_scope.h"
#include "wire/catalog.h"
#include "wire/environment.h"
#include "wire/exceptions.h"

namespace KxRpc {

std::size_t decode_bytes_limit() {
    static std::size_t const limit =
        static_cast<std::size_t>(positive_from_environment("KX_DECODE_BYTES", static_cast<long>(default_decode_bytes)));
    return limit;
}

DecodeBudget::DecodeBudget(std::size_t limit) : limit_(limit), call_(this_call()), outer_(call_.budget) {
    call_.budget = this;
}

DecodeBudget::~DecodeBudget() { call_.budget = outer_; }

bool charge_decoded(std::size_t bytes) noexcept {
    DecodeBudget *budget = this_call().budget;
    if (budget == nullptr || !budget->keep_) return true;
    if (budget->exceeded_ || bytes > budget->limit_ - budget->charged_) {
        if (!budget->exceeded_) {
            budget->exceeded_ = true;
            try {
                std::string const limit = std::to_string(budget->limit_);
                hold_decode_failure(std::make_exception_ptr(KxRpcException(
                    Reason::internal_error, kx_message(MSG_DECODE_BUDGET, Nul::UString(Nul::Utf8String(limit))))));
            } catch (...) {
                // Without the message the arguments are still refused, as undecodable.
            }
        }
        return false;
    }
    budget->charged_ += bytes;
    return true;
}

void drop_decoded_lists() noexcept {
    if (DecodeBudget *budget = this_call().budget) budget->keep_ = false;
}

bool keep_decoded_lists() noexcept {
    DecodeBudget const *budget = this_call().budget;
    return budget == nullptr || budget->keep_;
}

} // namespace KxRpc
