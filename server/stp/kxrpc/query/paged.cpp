#include "query/paged.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <string>

#include "target/held_items.h"
#include "target/login_session.h"
#include "wire/casts.h"
#include "wire/textfmt.h"
#include "wire/xdr.h"

namespace KxRpc {

// ---- ExecuteQueryArgs

ExecuteQueryArgs::ExecuteQueryArgs() = default;
ExecuteQueryArgs::~ExecuteQueryArgs() = default;

bool_t ExecuteQueryArgs::decode(XDR *xdrs) {
    if (!xdr_session_header(xdrs) || !xdr_interruptible(xdrs, paging_)) return FALSE;
    if (paging_.is_returning()) return TRUE;
    bool has_target = false;
    if (!xdr_optional_target(xdrs, has_target, target_op_)) return FALSE;
    has_def_ = !has_target;
    return xdr_ustring(xdrs, request_, max_wire_text);
}

Nul::UString ExecuteQueryArgs::arm_target_uri() {
    if (target().type() == TT_NONE) return Nul::UString();
    return TargetOpArgs::arm_target_uri();
}

Nul::UString ExecuteQueryArgs::trace_line() {
    return text_format("(%s) :: (%s) :: (%s) :: (request:%s :: has_def:%s) ", SessionArg::trace_line(),
                       paging_.trace_line(), target_op_.trace_line(), request(), tf(has_def()));
}

AdBucketPtr ExecuteQueryArgs::bucket() { return target_op_.bucket(api_session_or_fail()); }
bool ExecuteQueryArgs::is_state_item_target() { return target_op_.is_state_item_target(); }

QueryItemStateItem *ExecuteQueryArgs::query_state_item() {
    return checked_cast<QueryItemStateItem>(state_item_or_fail());
}

bool ExecuteQueryArgs::has_def() { return has_def_; }
Nul::UString ExecuteQueryArgs::request() { return request_; }

// ---- KxGetMyActivityListArgs

KxGetMyActivityListArgs::KxGetMyActivityListArgs() = default;
KxGetMyActivityListArgs::~KxGetMyActivityListArgs() = default;

bool_t KxGetMyActivityListArgs::decode(XDR *xdrs) {
    if (!xdr_session_header(xdrs) || !xdr_interruptible(xdrs, paging_)) return FALSE;
    return paging_.is_returning() || (xdr_ustring(xdrs, project_) && xdr_ustring(xdrs, stream_));
}

// ---- ExecuteFullTextSearchArgs

ExecuteFullTextSearchArgs::ExecuteFullTextSearchArgs() = default;
ExecuteFullTextSearchArgs::~ExecuteFullTextSearchArgs() = default;

bool_t ExecuteFullTextSearchArgs::decode(XDR *xdrs) {
    if (!xdr_session_header(xdrs) || !xdr_interruptible(xdrs, paging_)) return FALSE;
    if (paging_.is_returning()) return TRUE;
    if (!xdr_int(xdrs, &page_size_) || !xdr_int(xdrs, &cache_size_) ||
        !xdr_ustring(xdrs, search_string_, max_wire_text) || !xdr_int(xdrs, &start_row_) ||
        !xdr_target_list(xdrs, rec_types_))
        return FALSE;
    // Older clients end the request before the display fields.
    int count = 0;
    if (!xdr_list_count(xdrs, count)) return TRUE;
    if (!xdr_targets(xdrs, count, display_field_names_)) return FALSE;
    if (!xdr_target(xdrs, parent_record_type_) || !xdr_ustring(xdrs, parent_dbid_text_)) return FALSE;
    // Empty text means no parent; other text must be a whole decimal number, never read as "none".
    std::string text = parent_dbid_text_.utf8_str();
    char *end = nullptr;
    errno = 0;
    long dbid = std::strtol(text.c_str(), &end, 10);
    parent_dbid_valid_ =
        text.empty() || (*end == '\0' && errno == 0 && !std::isspace(static_cast<unsigned char>(text[0])));
    parent_record_dbid_ = parent_dbid_valid_ ? dbid : 0;
    return xdr_target(xdrs, parent_field_name_);
}

Nul::UString ExecuteFullTextSearchArgs::trace_line() {
    return text_format("%s :: %s :: page_size:%d :: cache_size:%d :: search_string:%s :: start_row:%d :: "
                       "rec_types:(%s) :: display_field_names:(%s) :: parent_record_type:%s :: "
                       "parent_record_dbid:%ld :: parent_field_name:%s",
                       SessionArg::trace_line(), paging_.trace_line(), page_size_, cache_size_, search_string_,
                       start_row_, trace_list(rec_types_.begin(), rec_types_.end()),
                       trace_list(display_field_names_.begin(), display_field_names_.end()),
                       parent_record_type_.trace_line(), parent_record_dbid_, parent_field_name_.trace_line());
}

} // namespace KxRpc
