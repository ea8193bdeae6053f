// The properties of the schema objects of a record type: field, action, hook and form
// definitions, and dynamic choice lists (fetch only).
#pragma once

#include <set>

#include "kxproduct/metadata.h"
#include "props/resource.h"

namespace KxRpc {

// What every definition answers alike: its dbid, its ids and names within its record type, and
// the record type itself. The product objects belong to the session and are not owned.
class DefinitionProps : public PropsResource {
public:
    ~DefinitionProps() override;

protected:
    DefinitionProps(LoginSession *session, AdEntityDef *record_type, AdDataObject *object);
    // False when `prop_id` is none of the common ids.
    bool fetch_common(FetchPropResponses &out, int prop_id);
    // "<class>: (name:<record type>/<object>)"; empty names when an object is missing.
    Nul::UString describe_as(char const *format) const;
    AdDataObject *object() const;
    AdEntityDef *record_type() const;
    AdSessionPtr api_session() const;

private:
    AdEntityDef *record_type_;
    AdDataObject *object_;
};

class FieldDefinitionProps : public DefinitionProps {
public:
    FieldDefinitionProps(LoginSession *session, AdFieldDef *field);
    ~FieldDefinitionProps() override;
    void fetch_prop(FetchPropResponses &out, int prop_id) override;
    Nul::UString describe() override;
    std::set<int> const &supported_properties() override;

private:
    AdFieldDef *field() const;
    bool has_field_hook(int kind) const;
    void fetch_choice_list(FetchPropResponses &out);
    void fetch_dynamic_list(FetchPropResponses &out);
    void fetch_requiredness(FetchPropResponses &out);
    // `filter`: legal for query filters, else for display.
    void fetch_query_legality(FetchPropResponses &out, bool filter);
    void fetch_value_type(FetchPropResponses &out);

    AdFieldDef *field_;
};

class ActionProps : public DefinitionProps {
public:
    ActionProps(LoginSession *session, AdActionDef *action);
    ~ActionProps() override;
    void fetch_prop(FetchPropResponses &out, int prop_id) override;
    Nul::UString describe() override;
    std::set<int> const &supported_properties() override;

private:
    AdActionDef *action() const;
    void fetch_form(FetchPropResponses &out);

    AdActionDef *action_;
};

class HookProps : public DefinitionProps {
public:
    HookProps(LoginSession *session, AdEntityDef *record_type, AdHookDef *hook);
    ~HookProps() override;
    void fetch_prop(FetchPropResponses &out, int prop_id) override;
    Nul::UString describe() override;
    std::set<int> const &supported_properties() override;

private:
    AdHookDef *hook_;
};

class DynamicListProps : public DefinitionProps {
public:
    DynamicListProps(LoginSession *session, AdListDef *list);
    ~DynamicListProps() override;
    void fetch_prop(FetchPropResponses &out, int prop_id) override;
    Nul::UString describe() override;
    std::set<int> const &supported_properties() override;

private:
    void fetch_values(FetchPropResponses &out);

    AdListDef *list_;
};

class FormProps : public DefinitionProps {
public:
    FormProps(LoginSession *session, AdFormDef *form);
    ~FormProps() override;
    void fetch_prop(FetchPropResponses &out, int prop_id) override;
    Nul::UString describe() override;
    std::set<int> const &supported_properties() override;

private:
    AdFormDef *form_;
};

} // namespace KxRpc
