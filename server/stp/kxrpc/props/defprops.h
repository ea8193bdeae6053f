// The properties of the schema objects of a record type: field, action, hook and form
// definitions, and dynamic choice lists (fetch only).
#pragma once

#include <set>

#include "kxproduct/form.h"
#include "kxproduct/metadata.h"
#include "props/formlayout.h"
#include "props/resource.h"
#include "wexxml/xmldoc.h"

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

    // The form as one FRM document: its heading and the pages the session's user may see, each
    // with its items nested and in rows. Product failures propagate.
    Nul::XmlDoc::Elem form_to_xml(MForm &form);
    // Whole numbers in decimal, however large.
    static Nul::UString number_to_text(long value);

private:
    void fetch_form_xml(FetchPropResponses &out);
    // Heading of the form (with its name) or of a page; `record_type` gets the data source.
    void form_attributes_to_xml(Nul::XmlDoc::Elem &elem, MForm &form, AdEntityDef *&record_type, bool with_name);
    void form_page_items_to_xml(Nul::XmlDoc::Elem &page, MForm &sub_form);
    void form_item_to_xml(Nul::XmlDoc::Elem &elem, FormLayoutItem &item, AdEntityDef *record_type);
    void button_to_xml(Nul::XmlDoc::Elem &elem, MFormBtn &button, AdEntityDef *record_type);
    void item_group_to_xml(Nul::XmlDoc::Elem &elem, FormLayoutItem &item, AdEntityDef *record_type, int wrapper);
    void list_box_to_xml(Nul::XmlDoc::Elem &elem, MFormLBox &box, AdEntityDef *record_type);
    void list_control_to_xml(Nul::XmlDoc::Elem &elem, FormLayoutItem &item, MFormListControl &control,
                             AdEntityDef *record_type);
    void option_button_to_xml(Nul::XmlDoc::Elem &elem, MFormOpBtn &button, AdEntityDef *record_type);
    void edit_box_to_xml(Nul::XmlDoc::Elem &elem, MFormEBox &box, AdEntityDef *record_type);
    void check_box_to_xml(Nul::XmlDoc::Elem &elem, MFormChkBox &box, AdEntityDef *record_type);
    void activex_item_to_xml(Nul::XmlDoc::Elem &elem, MFormActiveXItem &item, AdEntityDef *record_type);
    void field_source_to_xml(Nul::XmlDoc::Elem &elem, MFormItem &item, AdEntityDef *record_type);
    void context_menu_hooks_to_xml(Nul::XmlDoc::Elem &elem, MFormContextMenuHooks const &hooks,
                                   AdEntityDef *record_type);
    void date_to_xml(Nul::XmlDoc::Elem &elem, MFormDate const &date);
    // A hook of the record type as a TEAM:href.
    Nul::XmlDoc::Elem item_selector(AdEntityDef *record_type, CString const &hook);
    // `tag` holding the hook reference when `hook` is not empty.
    void hook_to_xml(Nul::XmlDoc::Elem &elem, int tag, AdEntityDef *record_type, CString const &hook);
    void path_to_xml(Nul::XmlDoc::Elem &container, AdEntityDef *record_type, CString const &path);
    // Check-box and option-button values: GMT ISO texts on a date-time field, else as stored.
    Nul::UString form_value(CString const &value, MFormItem &item, AdEntityDef *record_type);

    AdFormDef *form_;
};

} // namespace KxRpc
