// Paged requests: query execution, the activity list and full-text search.
#pragma once

#include <vector>

#include <rpc/xdr.h>

#include "target/genericop.h"
#include "target/requests.h"

namespace KxRpc {

class QueryItemStateItem;

// Session header, the interruptible part; unless returning, has-target, the target when present,
// and the request document.
class ExecuteQueryArgs : public TargetOpArgs {
public:
    ExecuteQueryArgs();
    ~ExecuteQueryArgs() override;
    Nul::UString arm_target_uri() override;
    // "(%s) :: (%s) :: (%s) :: (request:%s :: has_def:%s) ", ending with one blank.
    Nul::UString trace_line();
    int request_num() const { return paging_.request_num(); }
    bool is_returning() const { return paging_.is_returning(); }
    StateItemPtr const &state() const { return paging_.state(); }

    virtual AdBucketPtr bucket();
    virtual bool is_state_item_target();
    // The target's state item as a query item.
    virtual QueryItemStateItem *query_state_item();
    // The query definition is inside the request document (the call came without a target).
    virtual bool has_def();
    virtual Nul::UString request();

protected:
    bool_t decode(XDR *xdrs) override;

    InterruptibleArgs paging_;
    Nul::UString request_;
    bool has_def_ = false;
};

// The query runs from a stored or built-in definition the server prepares; the client sends
// only the paging part and, unless returning, the project and the stream.
class KxGetMyActivityListArgs : public ExecuteQueryArgs {
public:
    KxGetMyActivityListArgs();
    ~KxGetMyActivityListArgs() override;
    Nul::UString arm_target_uri() override { return Nul::UString(); }

    AdBucketPtr bucket() override { return bucket_; }
    bool is_state_item_target() override { return false; }
    bool has_def() override { return flag_; }
    Nul::UString request() override { return document_; }

    void set_bucket(AdBucketPtr const &bucket) { bucket_ = bucket; }
    void set_has_def(bool flag) { flag_ = flag; }
    void set_request(Nul::UString const &document) { document_ = document; }
    Nul::UString project() const { return project_; }
    Nul::UString stream() const { return stream_; }

protected:
    // Session header, the interruptible part, then, unless returning, the project and the stream.
    bool_t decode(XDR *xdrs) override;

private:
    AdBucketPtr bucket_;
    bool flag_ = false;
    Nul::UString document_;
    Nul::UString project_;
    Nul::UString stream_;
};

class ExecuteFullTextSearchArgs : public SessionArg {
public:
    ExecuteFullTextSearchArgs();
    ~ExecuteFullTextSearchArgs() override;
    Nul::UString trace_line();
    int request_num() const { return paging_.request_num(); }
    bool is_returning() const { return paging_.is_returning(); }
    StateItemPtr const &state() const { return paging_.state(); }

    int page_size() const { return page_size_; }
    int cache_size() const { return cache_size_; }
    int start_row() const { return start_row_; }
    long parent_record_dbid() const { return parent_record_dbid_; }
    Nul::UString const &search_string() const { return search_string_; }
    std::vector<GenericOpArgs> &rec_types() { return rec_types_; }
    std::vector<GenericOpArgs> &display_field_names() { return display_field_names_; }
    GenericOpArgs &parent_record_type() { return parent_record_type_; }
    GenericOpArgs &parent_field_name() { return parent_field_name_; }
    bool has_parent_record() const { return parent_record_dbid_ != 0; }
    // False when the parent dbid was sent but is not a decimal number (then there is no parent).
    bool parent_record_dbid_valid() const { return parent_dbid_valid_; }
    Nul::UString const &parent_record_dbid_text() const { return parent_dbid_text_; }

protected:
    // Session header, the interruptible part, then unless returning: page size, cache size,
    // search string, start row, record types, and (older clients end before them) the display
    // fields, the parent record type, the parent record's dbid text and the parent field.
    bool_t decode(XDR *xdrs) override;

private:
    InterruptibleArgs paging_;
    int page_size_ = 0;
    int cache_size_ = 0;
    Nul::UString search_string_;
    int start_row_ = 0;
    std::vector<GenericOpArgs> rec_types_;
    std::vector<GenericOpArgs> display_field_names_;
    GenericOpArgs parent_record_type_;
    long parent_record_dbid_ = 0;
    Nul::UString parent_dbid_text_;
    bool parent_dbid_valid_ = true;
    GenericOpArgs parent_field_name_;
};

} // namespace KxRpc
