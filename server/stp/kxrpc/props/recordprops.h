// The property object of one record: its record-level properties, its fields as dynamic
// properties with their meta-properties, and the put of field values for a record being edited.
#pragma once

#include <memory>
#include <optional>
#include <set>
#include <vector>

#include "kxproduct/entity.h"
#include "props/field_tracker.h"
#include "props/resource.h"
#include "tesutil/ustring.h"
#include "wire/product_failure.h"

namespace KxRpc {

class RecordProps : public PropsResource {
public:
    // A record held by a state item; `seed` fills the change tracker with the fields the last
    // set-value updated.
    RecordProps(LoginSession *session, std::shared_ptr<RecordStateItem> const &item, bool seed);
    // A record looked up by name or dbid: not being edited through this object, no tracker.
    RecordProps(LoginSession *session, AdEntityPtr const &record);
    ~RecordProps() override;

    void fetch_prop(FetchPropResponses &out, int id) override;
    void fetch_meta(FetchPropResponses &out, int id, int meta) override;
    virtual void fetch_field_meta(FetchPropResponses &out, int id, int meta);
    void put_prop(BasePropValue &value) override;
    std::unique_ptr<std::vector<Nul::UString>> dynamic_prop_names() override;
    void start_field_change_tracking() override;
    void stop_field_change_tracking() override;
    // Reads the record's name for the changed-fields block.
    void read_changed_fields() override;
    // TRUE, the record's selector text, then the tracker's changed fields (a single 0 without one).
    bool_t xdr_changed_fields(XDR *xdrs) override;
    AdEntityPtr entity() override { return record_; }
    Nul::UString describe() override;
    std::set<int> const &supported_properties() override;

    void set_family_name(Nul::UString const &name) { family_name_ = name; }
    // The family or record-type name, "/", the display name as one selector segment.
    Nul::UString object_name() const;
    bool temporary() const { return item_ != nullptr; }

    // The record supported set with or without the ids that only records of a record type with
    // the version-control binding field have; each built once.
    static std::set<int> const &supported_set(bool zrm_enabled);
    // The namespace of record fields among the dynamic properties.
    static constexpr int field_namespace = 8;

    // Whether references are checked here before the product sees them; set once at start-up.
    static void set_upfront_reference_validation(bool on);
    static bool upfront_reference_validation();

private:
    struct FieldCache {
        int id = -1;
        Nul::UString name;
        AdFieldDef *def = nullptr;
        AdFieldInfo info;
    };

    bool editable() const;
    // A dynamic id the request declared in the namespace of record fields.
    bool is_field_prop(int id) const;
    AdSessionPtr api_session() const;
    AdEntityDef *record_type() const;
    bool has_field(wchar_t const *name) const;
    CString field_text(wchar_t const *name) const;
    // The field a dynamic id names, or null when it is not a field property of this record.
    AdFieldDef *field_of(int id);
    FieldCache &cached_field(int id);

    void fetch_field_value(FetchPropResponses &out, int id);
    // A field's value by its type; `current` values (not original ones) report the dbids of
    // their references.
    void report_field_value(FetchPropResponses &out, AdFieldDef *def, AdFieldInfo const &value, bool current);
    std::vector<std::int64_t> referenced_dbids(AdFieldDef *def, bool current) const;
    // Seconds since 1970 of the record's first commit, 0 when unknown.
    std::int64_t creation_date() const;
    void fetch_creation_date(FetchPropResponses &out);
    void fetch_legal_actions(FetchPropResponses &out, bool accessible);
    void fetch_duplicates(FetchPropResponses &out, bool all_levels);
    // The product's answer, asked once per object: three properties read it in one fetch.
    bool has_duplicates();
    void fetch_attachment_folders(FetchPropResponses &out, bool as_child_map);
    void fetch_fields_updated(FetchPropResponses &out, int scope);
    void fetch_parent_list(FetchPropResponses &out);
    void fetch_hidden(FetchPropResponses &out, int id);

    // Put helpers (recordput.cpp).
    void put_field(BasePropValue &value, CString const &name);
    // Deletes what the new list drops, then adds what it brings; a failure restores the list.
    void put_reference_list(AdFieldDef *def, BasePropValue &value);
    // The name of the record a reference target names, checked against the field's type.
    CString reference_name(AdFieldDef *def, TargetResourceArg &target);
    // With up-front validation, the name must find a record of the referenced type.
    CString checked_name(AdFieldDef *def, CString const &name);
    void set_field(AdFieldDef *def, bool empty, CString const &text);

    AdEntityPtr record_;
    std::shared_ptr<RecordStateItem> item_;
    std::unique_ptr<FieldChangedTracker> tracker_;
    FieldCache cache_;
    Nul::UString family_name_;
    // The name read by read_changed_fields; empty when it was not read or the product failed.
    std::optional<Nul::UString> changed_selector_;
    bool changed_selector_read_ = false;
    std::optional<bool> has_duplicates_;
};

// How record properties take a failure: every one, the server's own exceptions included, with
// the full text of a message exception (read with ProductFailure::product_text).
constexpr Taking taking_record_failure{ProductFailure::ANY_KIND, true, true};

// Product field type (1 to 14) to the field-definition value-type tag (914 short string ...);
// another type raises the internal error "Unknown field value type".
int field_definition_type_tag(int field_type);
// Product action type (1 to 10) to its ACT: tag; another type raises the internal error
// `unknown_text`.
int action_type_tag(int action_type, wchar_t const *unknown_text);

} // namespace KxRpc
