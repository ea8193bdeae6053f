// A record form as one FRM document, for clients that draw the form themselves.
#include <memory>

#include "kxproduct/datetime.h"
#include "props/defprops.h"
#include "target/login_session.h"
#include "tesutil/selector.h"
#include "tesutil/xmltag_ids.h"
#include "wire/catalog.h"
#include "wire/conversions.h"
#include "wire/exceptions.h"
#include "wire/fieldtypes.h"
#include "wire/product_failure.h"

namespace KxRpc {

using Elem = Nul::XmlDoc::Elem;
using Nul::XmlTag;

namespace {

Elem text_elem(XmlTag::Id tag, Nul::UString const &text) { return Elem(tag, text, true); }
Elem text_elem(XmlTag::Id tag, CString const &text) { return Elem(tag, ustr(text), true); }
Elem number_elem(XmlTag::Id tag, long value) { return Elem(tag, FormProps::number_to_text(value), true); }
Elem flag_elem(XmlTag::Id tag, BOOL value) { return Elem(tag, Nul::UString(value ? L"1" : L"0"), true); }

void rect_attributes(Elem &elem, MFormRect const &r) {
    elem.add_attr(XmlTag::FRM_x, FormProps::number_to_text(r.left));
    elem.add_attr(XmlTag::FRM_y, FormProps::number_to_text(r.top));
    elem.add_attr(XmlTag::FRM_width, FormProps::number_to_text(static_cast<long>(r.right) - r.left));
    elem.add_attr(XmlTag::FRM_height, FormProps::number_to_text(static_cast<long>(r.bottom) - r.top));
}

// The reference fields that lead from `record_type` along the dotted path; null when a segment
// names no field or a field that refers to no record type.
AdEntityDef *referenced_type(AdEntityDef *record_type, CString const &path) {
    Nul::UString const text = ustr(path);
    unsigned from = 0;
    while (record_type != nullptr && from <= text.length()) {
        unsigned dot = text.find(L'.', from);
        if (dot == Nul::UString::npos) dot = text.length();
        AdFieldDef *field = record_type->LookupFieldDef(cstr(text.substr(from, dot - from)));
        record_type = field ? field->GetReferenceEntityDef() : nullptr;
        from = dot + 1;
    }
    return record_type;
}

} // namespace

Nul::UString FormProps::number_to_text(long value) { return number_to_ustring(value); }

void FormProps::fetch_form_xml(FetchPropResponses &out) {
    Nul::XmlDoc doc;
    product_call(
        [&] {
            KXSmartPtr<MForm> form(MForm::CopyFrom(form_));
            doc = Nul::XmlDoc(form_to_xml(*form));
        },
        [](ProductFailure const &f) {
            throw KXInternalErrorException(kx_message(MSG_UNREADABLE_FORM, Nul::UMessage::Arg(f.text)));
        },
        taking_only(ProductFailure::C_EXCEPTION));
    out.record_xml(doc);
}

Elem FormProps::form_to_xml(MForm &form) {
    Elem root(XmlTag::FRM_mForm);
    AdEntityDef *record_type = nullptr;
    form_attributes_to_xml(root, form, record_type, true);
    AdSession *session = api_session().get();
    for (MForm *page : form.GetFormList()) {
        bool visible = page->IsAllUserGroups() != 0;
        for (CString const &group : page->GetUserGroups()) {
            if (visible) break;
            visible = session->IsSessionUserInGroup(group) != 0;
        }
        if (!visible) continue;
        Elem page_elem(XmlTag::FRM_mFormPage);
        form_page_items_to_xml(page_elem, *page);
        root.add_elem(page_elem);
    }
    return root;
}

void FormProps::form_attributes_to_xml(Elem &elem, MForm &form, AdEntityDef *&record_type, bool with_name) {
    if (with_name) elem.add_attr(XmlTag::FRM_name, ustr(object()->GetName()));
    elem.add_attr(XmlTag::FRM_version, number_to_text(form.GetVersionNum()));
    elem.add_attr(XmlTag::FRM_x, number_to_text(form.GetxPos()));
    elem.add_attr(XmlTag::FRM_y, number_to_text(form.GetyPos()));
    elem.add_attr(XmlTag::FRM_width, number_to_text(form.GetWidth()));
    elem.add_attr(XmlTag::FRM_height, number_to_text(form.GetHeight()));
    elem.add_elem(number_elem(XmlTag::FRM_isTabbed, form.IsTabbedForm()));
    elem.add_elem(text_elem(XmlTag::FRM_caption, form.GetCaption()));
    CString const source = form.GetDataSource();
    record_type = LookupEntityDef(api_session(), source);
    // Every field path and hook of the page hangs on this record type: without it there is no
    // form to send.
    if (record_type == nullptr)
        throw KXInternalErrorException(
            kx_message(MSG_UNREADABLE_FORM, ustr(L"the data source '" + source + L"' names no record type")));
    Nul::Selector const selector(XmlTag::RES_kx_rectype, number_to_text(static_cast<long>(record_type->GetDbId())),
                                 Nul::Selector::DOMAIN_KX, login_session()->repository());
    Elem &source_elem = elem.add_elem(Elem(XmlTag::FRM_dataSource));
    source_elem.add_elem(text_elem(XmlTag::TEAM_href, selector.to_string_with_domain()));
}

void FormProps::form_page_items_to_xml(Elem &page, MForm &sub_form) {
    AdEntityDef *record_type = nullptr;
    form_attributes_to_xml(page, sub_form, record_type, false);
    FormPageLayout const layout(sub_form.GetFormItems());
    for (FormLayoutItem *item : layout.top_level_rows()) {
        Elem &elem = page.add_elem(Elem(XmlTag::FRM_mFormItem));
        form_item_to_xml(elem, *item, record_type);
    }
}

void FormProps::form_item_to_xml(Elem &elem, FormLayoutItem &layout, AdEntityDef *record_type) {
    MFormItem &item = *layout.item();
    elem.add_attr(XmlTag::FRM_itemType, number_to_text(item.GetType()));
    elem.add_attr(XmlTag::FRM_name, ustr(item.GetName()));
    rect_attributes(elem, MFormRect{layout.left(), layout.top(), layout.right(), layout.bottom()});
    elem.add_elem(text_elem(XmlTag::FRM_caption, item.GetCaption()));
    if (!item.GetFieldSource().IsEmpty())
        path_to_xml(elem.add_elem(Elem(XmlTag::FRM_fieldSource)), record_type, item.GetFieldSource());
    BOOL const separate = item.HasSeparateCaption();
    elem.add_elem(flag_elem(XmlTag::FRM_hasSeparateCaption, separate));
    if (separate) rect_attributes(elem.add_elem(Elem(XmlTag::FRM_captionRect)), item.GetCaptionRect());
    CFontScheme const &font = item.GetFontScheme();
    Elem &font_elem = elem.add_elem(Elem(XmlTag::FRM_fontScheme));
    font_elem.add_elem(text_elem(XmlTag::FRM_familyName, font.GetFamilyName()));
    font_elem.add_elem(number_elem(XmlTag::FRM_pointSize, static_cast<long>(font.GetPointSize())));
    font_elem.add_elem(number_elem(XmlTag::FRM_style, font.GetStyle()));

    switch (item.GetType()) {
    case FORM_BUTTON:
        if (auto *b = dynamic_cast<MFormBtn *>(&item)) button_to_xml(elem, *b, record_type);
        break;
    case FORM_EDIT_BOX:
        if (auto *b = dynamic_cast<MFormEBox *>(&item)) edit_box_to_xml(elem, *b, record_type);
        break;
    case FORM_GROUP_BOX:
        item_group_to_xml(elem, layout, record_type, XmlTag::FRM_item);
        break;
    case FORM_CHECK_BOX:
        if (auto *b = dynamic_cast<MFormChkBox *>(&item)) check_box_to_xml(elem, *b, record_type);
        break;
    case FORM_OPTION_GROUP:
        item_group_to_xml(elem, layout, record_type, XmlTag::FRM_optButton);
        break;
    case FORM_OPTION_BUTTON:
        if (auto *b = dynamic_cast<MFormOpBtn *>(&item)) option_button_to_xml(elem, *b, record_type);
        break;
    case FORM_LIST_BOX:
    case FORM_COMBO_BOX:
    case FORM_DROP_DOWN_COMBO:
    case FORM_DROP_DOWN_LIST:
        if (auto *b = dynamic_cast<MFormLBox *>(&item)) list_box_to_xml(elem, *b, record_type);
        break;
    case FORM_LIST_CONTROL:
        if (auto *c = dynamic_cast<MFormListControl *>(&item)) list_control_to_xml(elem, layout, *c, record_type);
        break;
    case FORM_ACTIVEX:
        if (auto *x = dynamic_cast<MFormActiveXItem *>(&item)) activex_item_to_xml(elem, *x, record_type);
        break;
    default:
        break;
    }
    if (layout.is_field_item()) elem.add_elem(number_elem(XmlTag::FRM_tabOrder, layout.tab_order()));
}

void FormProps::button_to_xml(Elem &elem, MFormBtn &button, AdEntityDef *record_type) {
    elem.add_elem(number_elem(XmlTag::FRM_btnType, button.GetButtonType()));
    hook_to_xml(elem, XmlTag::FRM_preClickHook, record_type, button.GetPreClickHook());
    hook_to_xml(elem, XmlTag::FRM_postClickHook, record_type, button.GetPostClickHook());
    elem.add_elem(text_elem(XmlTag::FRM_associatedControlName, button.GetAssociatedControlName()));
    elem.add_elem(flag_elem(XmlTag::FRM_isPreclickHookEnabledForWeb, button.IsPreClickHookEnabledForWeb()));
    elem.add_elem(flag_elem(XmlTag::FRM_isPostclickHookEnabledForWeb, button.IsPostClickHookEnabledForWeb()));
}

void FormProps::item_group_to_xml(Elem &elem, FormLayoutItem &item, AdEntityDef *record_type, int wrapper) {
    std::vector<FormLayoutItem *> children = item.children();
    sort_rows(children);
    for (FormLayoutItem *child : children) {
        Elem &holder = elem.add_elem(Elem(XmlTag::Id(wrapper)));
        form_item_to_xml(holder.add_elem(Elem(XmlTag::FRM_mFormItem)), *child, record_type);
    }
}

void FormProps::list_box_to_xml(Elem &elem, MFormLBox &box, AdEntityDef *record_type) {
    elem.add_elem(flag_elem(XmlTag::FRM_isAutoSort, box.GetAutoSort()));
    elem.add_elem(number_elem(XmlTag::FRM_selection, box.GetSelection()));
    elem.add_elem(flag_elem(XmlTag::FRM_usesSubdialog, box.UsesSubDialog()));
    context_menu_hooks_to_xml(elem, box.GetContextMenuHooks(), record_type);
    hook_to_xml(elem, XmlTag::FRM_selectionHook, record_type, box.GetSelectionHook());
    hook_to_xml(elem, XmlTag::FRM_dblClickHook, record_type, box.GetDblClickHook());
    hook_to_xml(elem, XmlTag::FRM_subDlgHook, record_type, box.GetSubDlgHook());
    field_source_to_xml(elem, box, record_type);
    if (box.IsWebFormRefresh(record_type)) return;
    for (CString const &field : box.GetWebDependentFields())
        path_to_xml(elem.add_elem(Elem(XmlTag::FRM_webDependentFields)), record_type, field);
}

void FormProps::list_control_to_xml(Elem &elem, FormLayoutItem &item, MFormListControl &control,
                                    AdEntityDef *record_type) {
    hook_to_xml(elem, XmlTag::FRM_selectionHook, record_type, control.GetSelectionHook());
    hook_to_xml(elem, XmlTag::FRM_dblClickHook, record_type, control.GetDblClickHook());
    item_group_to_xml(elem, item, record_type, XmlTag::FRM_button);
    // Columns name fields of the records listed: the record type the field source leads to. A
    // source that leads nowhere gives columns without field paths rather than wrong ones.
    CString const source = control.GetFieldSource();
    AdEntityDef *listed = source.IsEmpty() ? record_type : referenced_type(record_type, source);
    for (CColumnInfo const &column : control.GetColInfoArray()) {
        Elem &col = elem.add_elem(Elem(XmlTag::FRM_columnInfo));
        col.add_elem(number_elem(XmlTag::FRM_widthInPercent, column.GetWidth()));
        Elem &path = col.add_elem(Elem(XmlTag::FRM_fieldPath));
        if (listed != nullptr) path_to_xml(path, listed, column.GetFieldPath());
        col.add_elem(text_elem(XmlTag::FRM_fieldLabel, column.GetColumnLabel()));
        col.add_elem(text_elem(XmlTag::FRM_completeFieldPath, column.GetCompleteFieldPath()));
    }
    context_menu_hooks_to_xml(elem, control.GetContextMenuHooks(), record_type);
}

void FormProps::option_button_to_xml(Elem &elem, MFormOpBtn &button, AdEntityDef *record_type) {
    elem.add_elem(text_elem(XmlTag::FRM_grpName, button.GetGrpName()));
    elem.add_elem(text_elem(XmlTag::FRM_value, form_value(button.GetValue(), button, record_type)));
    field_source_to_xml(elem, button, record_type);
}

void FormProps::check_box_to_xml(Elem &elem, MFormChkBox &box, AdEntityDef *record_type) {
    elem.add_elem(text_elem(XmlTag::FRM_value, form_value(box.GetValue(), box, record_type)));
    elem.add_elem(text_elem(XmlTag::FRM_unCheckedValue, form_value(box.GetUncheckedValue(), box, record_type)));
    field_source_to_xml(elem, box, record_type);
}

void FormProps::edit_box_to_xml(Elem &elem, MFormEBox &box, AdEntityDef *record_type) {
    elem.add_elem(flag_elem(XmlTag::FRM_isPassword, box.GetIsPassword()));
    elem.add_elem(flag_elem(XmlTag::FRM_isMultiLine, box.GetMultiLine()));
    elem.add_elem(flag_elem(XmlTag::FRM_isAutoHScroll, box.GetAutoHScroll()));
    elem.add_elem(flag_elem(XmlTag::FRM_isAutoVScroll, box.GetAutoVScroll()));
    elem.add_elem(flag_elem(XmlTag::FRM_isHScrollbar, box.GetHScrollBar()));
    elem.add_elem(flag_elem(XmlTag::FRM_isVScrollbar, box.GetVScrollBar()));
    date_to_xml(elem, box.GetFormDate());
    elem.add_elem(flag_elem(XmlTag::FRM_isDataEntryDisabled, box.GetDisableDataEntry()));
    elem.add_elem(flag_elem(XmlTag::FRM_isExpandOnRequest, box.GetExpandOnRequest()));
    context_menu_hooks_to_xml(elem, box.GetContextMenuHooks(), record_type);
    field_source_to_xml(elem, box, record_type);
}

void FormProps::activex_item_to_xml(Elem &elem, MFormActiveXItem &item, AdEntityDef *record_type) {
    elem.add_elem(text_elem(XmlTag::FRM_name, item.GetRegisteredName()));
    hook_to_xml(elem, XmlTag::FRM_initialize_hook, record_type, item.GetInitializeHook());
    hook_to_xml(elem, XmlTag::FRM_entity_hook, record_type, item.GetSetEntityHook());
}

void FormProps::field_source_to_xml(Elem &elem, MFormItem &item, AdEntityDef *record_type) {
    if (!item.IsWebFormRefresh(record_type)) return;
    path_to_xml(elem.add_elem(Elem(XmlTag::FRM_webDependentFields)), record_type, item.GetFieldSource());
}

void FormProps::context_menu_hooks_to_xml(Elem &elem, MFormContextMenuHooks const &hooks, AdEntityDef *record_type) {
    Elem &menu = elem.add_elem(Elem(XmlTag::FRM_contextMenuHooks));
    for (CString const &hook : hooks.GetContextHooks())
        menu.add_elem(Elem(XmlTag::FRM_hook)).add_elem(item_selector(record_type, hook));
    hook_to_xml(elem, XmlTag::FRM_controllerHook, record_type, hooks.GetControllerHook());
    elem.add_elem(flag_elem(XmlTag::FRM_isEntityNavigation, hooks.GetEntityNavigation()));
}

void FormProps::date_to_xml(Elem &elem, MFormDate const &date) {
    Elem &d = elem.add_elem(Elem(XmlTag::FRM_formDate));
    d.add_elem(number_elem(XmlTag::FRM_dateCode, date.GetDateCode()));
    d.add_elem(number_elem(XmlTag::FRM_timeCode, date.GetTimeCode()));
}

Elem FormProps::item_selector(AdEntityDef *record_type, CString const &hook) {
    Nul::UString const name = Nul::Selector::encode_segment(ustr(record_type->GetName())) + Nul::UString(L"/") +
                              Nul::Selector::encode_segment(ustr(hook));
    Nul::Selector const selector(Nul::Selector::NS_HOOK, name, Nul::Selector::DOMAIN_KX, login_session()->repository());
    return text_elem(XmlTag::TEAM_href, selector.to_string_with_domain());
}

void FormProps::hook_to_xml(Elem &elem, int tag, AdEntityDef *record_type, CString const &hook) {
    Elem &holder = elem.add_elem(Elem(XmlTag::Id(tag)));
    if (!hook.IsEmpty()) holder.add_elem(item_selector(record_type, hook));
}

void FormProps::path_to_xml(Elem &container, AdEntityDef *record_type, CString const &path) {
    Nul::UString const text = ustr(path);
    if (text.length() == 0) return;
    unsigned from = 0;
    while (record_type != nullptr && from <= text.length()) {
        unsigned dot = text.find(L'.', from);
        if (dot == Nul::UString::npos) dot = text.length();
        Nul::UString const segment = text.substr(from, dot - from);
        AdFieldDef *field = record_type->LookupFieldDef(cstr(segment));
        if (field == nullptr) return;
        Nul::Selector const selector(XmlTag::RES_kx_field,
                                     number_to_text(static_cast<long>(record_type->GetDbId())) + Nul::UString(L"/") +
                                         number_to_text(static_cast<long>(field->GetDbId())),
                                     Nul::Selector::DOMAIN_KX, login_session()->repository());
        Elem &field_elem = container.add_elem(Elem(XmlTag::CTG_field));
        field_elem.add_elem(text_elem(XmlTag::CTG_definition, selector.to_string_with_domain()));
        field_elem.add_elem(text_elem(XmlTag::TEAM_display_name, segment));
        if (is_path_reference_type(field->GetFieldType())) record_type = field->GetReferenceEntityDef();
        from = dot + 1;
    }
}

Nul::UString FormProps::form_value(CString const &value, MFormItem &item, AdEntityDef *record_type) {
    CString const source = item.GetFieldSource();
    AdFieldDef *field = source.IsEmpty() ? nullptr : record_type->LookupFieldDef(source);
    AdDateTime date;
    // A value that is no date stays as stored rather than failing the whole form.
    if (field == nullptr || field->GetFieldType() != AD_DATE_TIME || !date.ParseDateTime(value)) return ustr(value);
    return to_iso_datetime(value, false);
}

} // namespace KxRpc
