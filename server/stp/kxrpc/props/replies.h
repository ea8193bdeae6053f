// The replies of the property operations: their common base, the fetch reply and the put reply.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <rpc/xdr.h>

#include "kxproduct/entity.h"
#include "props/resource.h"
#include "props/values.h"
#include "target/mru_context.h"
#include "tesutil/stpexception.h"
#include "tesutil/ustring.h"
#include "wire/xdrobject.h"

namespace KxRpc {

// One requested property of a fetch and the meta-properties asked of it.
struct PropRequest {
    int prop_id = 0;
    std::vector<int> metas;
    bool has_metas() const { return !metas.empty(); }
};

// Base of the fetch and put replies: owns the property object of the target.
class PropsOpIter : public XdrObject {
public:
    explicit PropsOpIter(std::unique_ptr<PropsResource> resource);
    PropsOpIter(PropsOpIter const &) = delete;
    PropsOpIter &operator=(PropsOpIter const &) = delete;
    ~PropsOpIter() override;
    PropsResource *resource() const { return resource_.get(); }

protected:
    // Deletes the property object once the work is done, so that no product call is left for
    // the reply's writing.
    void drop_resource() noexcept;
    // Called inside a catch block by the work the handler does: the failure is kept, as the
    // exception the call is answered with when the reply is written.
    void keep_failure(wchar_t const *method) noexcept;
    // Holds the kept failure for the dispatcher (see hold_reply_failure); FALSE.
    bool_t fail_reply() noexcept;
    std::unique_ptr<PropsResource> resource_;
    XDR *xdrs_ = nullptr;
    bool more_ = false;
    std::exception_ptr failure_;
};

// The fetch_props reply. The handler has it read every requested property (`fetch`): each value
// the property object reports is recorded as the words it will be sent as, a property that fails
// is recorded in its place, and the property object is deleted. Writing the reply then only
// sends what was recorded; a write that fails ends the reply.
class FetchPropsIter : public PropsOpIter, public FetchPropResponses {
public:
    // `requested` belongs to the request, which outlives the reply.
    FetchPropsIter(std::unique_ptr<PropsResource> resource, std::vector<PropRequest> const &requested);
    ~FetchPropsIter() override;
    // Reads the requested properties, once; never throws (a failure is recorded as the reply, one
    // outside any property as the call's error).
    void fetch();
    bool fetched() const { return fetched_; }
    // Encode only: per entry TRUE and its values (one per meta id, or one), then FALSE. Reads the
    // properties first when `fetch` was not called.
    bool_t xdr(XDR *xdrs) override;

    void record_empty(int type) override;
    void start_list_property_values(int element_type) override;
    void end_list_property_values() override;
    void unavailable_property() override;
    void unsupported_property() override;
    void record_ustring(Nul::UString const &value) override;
    void record_enum(int value) override;
    void record_property_name(Nul::UString const &name) override;
    void record_property_name(int prop_id) override;
    void record_oid(Nul::Oid const &oid) override;
    void record_int(int value) override;
    void record_bool(bool value) override;
    void record_time_value(Nul::UString const &value) override;
    void record_time_value(std::int64_t value) override;
    void record_property_type(int type) override;
    void record_int64(std::int64_t value) override;
    void record_xml(Nul::XmlDoc &doc) override;
    void record_cstring(CString const &value) override;
    void record_resource_as_cstring(int type, CString const &value) override;
    bool property_error(Nul::STPException &e) override;
    void record_query_obj_name(int type, Nul::UString const &name) override;
    void record_query_obj_binding(int btype, Nul::UString const &leaf, int type, int seg1) override;
    void record_resource(int type, int seg1, int seg2, int attach_fol, int attach) override;
    void record_record_name_selector(Nul::UString const &rec_type, Nul::UString const &rec_name,
                                     Nul::UString const &rec_type_id, Nul::UString const &rec_id) override;
    void record_query_obj_name(int btype, Nul::UString const &leaf, int type, int seg1, int seg2, int attach_folder,
                               int attach) override;
    void record_attachment_full_binding(int btype, Nul::UString const &leaf, FullAttachment const &attachment) override;
    void record_attachment_full(FullAttachment const &attachment) override;
    void record_activity_selector(Nul::UString const &selector) override;
    void record_range(unsigned start, unsigned end) override;

    // Ends the reply after a failed write: tag 100014 and an implementation-error record.
    bool fatal_property_error(Nul::UString const &text);

private:
    // One recorded word (or string, or error record) of the reply: 16 bytes for each 4 sent.
    struct Word {
        // Unwritable: a string that could not be taken as UTF-8, which fails as its write would have.
        enum Kind : std::uint8_t { Enum, Int, UInt, Bool, Int64, String, Unwritable, Error, Abort };
        // The name of the write, for its marshalling error; W_NONE when a failure just fails the reply.
        enum Write : std::uint8_t {
            W_NONE,
            W_PROP_VALUE_TYPE,
            W_LIST_ELEMENT,
            W_STRING,
            W_ENUM,
            W_RESOURCE_SEGMENT,
            W_ATTACHMENT_ID,
            W_ATTACHMENT_SIZE,
            W_PROPERTY_NAME,
            W_OID,
            W_INT,
            W_BOOL,
            W_INT64,
            W_RANGE
        };
        Kind kind;
        Write what;
        std::int64_t value; // the value itself, or the index of the string or error record
    };
    static_assert(sizeof(Word) == 16);

    void fetch_all();
    bool_t write_recorded(XDR *xdrs);
    void fetch_entry(PropRequest const &entry, int &meta_in_progress);
    bool undeclared_dynamic(int prop_id) const;
    Nul::UString resource_text() const;
    void trace_entry_failure(int prop_id, int meta, Nul::STPException const &e) const;
    template <class... Args>
    void trace_value(char const *format, Args const &...args);

    void put(Word::Kind kind, std::int64_t value, Word::Write what);
    void prop_value_type(int type);
    // Inside a list every value is followed by TRUE.
    void value_written();
    void put_string(Nul::UString const &value);
    void put_enum_value(int value);
    void put_reference(int type, int seg1, int seg2, int attach_fol, int attach);
    void put_attachment_full(FullAttachment const &attachment);

    std::vector<PropRequest> const &requested_;
    int list_depth_ = 0;
    bool fetched_ = false;
    std::vector<Word> words_;
    // Strings as the UTF-8 they are sent as.
    std::vector<std::string> strings_;
    std::vector<std::unique_ptr<Nul::STPException>> errors_;
    // Per entry: the index of its first word and its property id, to name it when a write fails.
    std::vector<std::pair<std::size_t, int>> entry_starts_;
};

// The put_props reply. The handler has it apply the request's values (`apply`), each value's
// failure kept as its result, and read what the changed-fields block reports; writing the reply
// then only sends those results.
class PutPropsIter : public PropsOpIter {
public:
    // `values` belong to the request, which outlives the reply.
    PutPropsIter(std::unique_ptr<PropsResource> resource, PropValues const &values, bool register_callback);
    ~PutPropsIter() override;
    // Starts field-change tracking (when asked) and opens the hook-value scope that the puts run
    // in. Handlers call it last, so that a failure here is the call's error and not a reply cut
    // short after its leading FALSE; the reply opens them itself when no handler did.
    void open();
    // Applies the values, once, and closes what `open` opened. A failure of the resource itself
    // (not of one value) is kept: writing the reply answers it as the call's error.
    void apply();
    bool applied() const { return applied_; }
    // Encode only; applies the values first when `apply` was not called.
    bool_t xdr(XDR *xdrs) override;

private:
    void put_values();
    bool_t write_results();
    // Once opened: stops tracking, then closes the scope.
    void close() noexcept;
    PropValues const &values_;
    bool register_callback_;
    bool open_ = false;
    bool applied_ = false;
    bool failed_ = false;
    // One per value in order: null when it was set.
    std::vector<std::unique_ptr<Nul::STPException>> results_;
    std::unique_ptr<MRU_context> mru_;
};

// Item 6 of a fetch request: `count` requested properties, read one enum ahead, so exactly one
// enum past the last entry is consumed (also when `count` is 0). A property followed by -1
// carries meta-property ids up to -2.
bool_t xdr_requested_props(XDR *xdrs, int count, std::vector<PropRequest> &props);
// Items 7 and 8: the count of dynamic names, then namespace abbreviation and name per entry,
// numbered from the first dynamic id.
bool_t xdr_dynamic_prop_names(XDR *xdrs, DynamicPropMap &props);

} // namespace KxRpc
