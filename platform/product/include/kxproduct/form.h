// Record forms as the web tier draws them: a form of pages (sub-forms), each page a list of items
// with rectangles, captions, fonts and per-kind settings. An MForm is a copy made from a form
// definition; the caller owns it.
#pragma once
#include <memory>
#include <string>
#include <vector>

#include "kxproduct/metadata.h"

// Item kinds (MFormItem::GetType).
enum FORM_ITEM_TYPE : int {
    FORM_BUTTON = 0,
    FORM_LABEL = 1,
    FORM_EDIT_BOX = 2,
    FORM_GROUP_BOX = 3,
    FORM_CHECK_BOX = 4,
    FORM_OPTION_GROUP = 5,
    FORM_OPTION_BUTTON = 6,
    FORM_LIST_BOX = 7,
    FORM_COMBO_BOX = 8,
    FORM_DROP_DOWN_COMBO = 9,
    FORM_DROP_DOWN_LIST = 10,
    FORM_PICTURE = 11,
    FORM_LIST_CONTROL = 12,
    FORM_ACTIVEX = 13,
    FORM_TAB_CONTROL = 14,
    FORM_ATTACHMENT_CONTROL = 21,
    FORM_PARENT_CHILD_CONTROL = 22,
    FORM_DUPLICATES_CONTROL = 23,
    FORM_LAST_ITEM_TYPE = 23,
};

struct MFormRect {
    int left = 0, top = 0, right = 0, bottom = 0;
};

class CFontScheme {
public:
    CString GetFamilyName() const { return family_; }
    unsigned GetPointSize() const { return point_size_; }
    int GetStyle() const { return style_; }

private:
    friend struct MFormReader;
    CString family_ = L"MS Sans Serif";
    unsigned point_size_ = 8;
    int style_ = 0;
};

class MFormDate {
public:
    int GetDateCode() const { return date_code_; }
    int GetTimeCode() const { return time_code_; }

private:
    friend struct MFormReader;
    int date_code_ = 0, time_code_ = 0;
};

class MFormContextMenuHooks {
public:
    const std::vector<CString> &GetContextHooks() const { return hooks_; }
    CString GetControllerHook() const { return controller_; }
    BOOL GetEntityNavigation() const { return navigation_; }

private:
    friend struct MFormReader;
    std::vector<CString> hooks_;
    CString controller_;
    BOOL navigation_ = FALSE;
};

// A column of a list control: a field path relative to the record type the control lists.
class CColumnInfo {
public:
    int GetWidth() const { return width_; }
    CString GetFieldPath() const { return path_; }
    CString GetColumnLabel() const { return label_; }
    // The control's field source, ".", and the column's path.
    CString GetCompleteFieldPath() const { return complete_; }

private:
    friend struct MFormReader;
    int width_ = 0;
    CString path_, label_, complete_;
};

class MFormItem {
public:
    virtual ~MFormItem() = default;
    int GetType() const { return type_; }
    CString GetName() const { return name_; }
    MFormRect GetRect() const { return rect_; }
    CString GetCaption() const { return caption_; }
    // Dotted field path, or empty.
    CString GetFieldSource() const { return field_source_; }
    BOOL HasSeparateCaption() const { return separate_caption_; }
    MFormRect GetCaptionRect() const { return caption_rect_; }
    const CFontScheme &GetFontScheme() const { return font_; }
    // Whether a change of the item's field must redraw the form: its field (of `record_type`) has a
    // value-changed hook. False for items without a field or with no record type.
    BOOL IsWebFormRefresh(const AdEntityDef *record_type) const;

protected:
    explicit MFormItem(int type) : type_(type) {}

private:
    friend struct MFormReader;
    int type_;
    CString name_, caption_, field_source_;
    MFormRect rect_, caption_rect_;
    BOOL separate_caption_ = FALSE;
    CFontScheme font_;
};

class MFormBtn : public MFormItem {
public:
    MFormBtn() : MFormItem(FORM_BUTTON) {}
    // 0 a plain button; other types act on the control named by GetAssociatedControlName.
    int GetButtonType() const { return button_type_; }
    CString GetAssociatedControlName() const { return control_; }
    CString GetPreClickHook() const { return pre_click_; }
    CString GetPostClickHook() const { return post_click_; }
    BOOL IsPreClickHookEnabledForWeb() const { return pre_click_web_; }
    BOOL IsPostClickHookEnabledForWeb() const { return post_click_web_; }

private:
    friend struct MFormReader;
    int button_type_ = 0;
    CString control_, pre_click_, post_click_;
    BOOL pre_click_web_ = FALSE, post_click_web_ = FALSE;
};

class MFormEBox : public MFormItem {
public:
    MFormEBox() : MFormItem(FORM_EDIT_BOX) {}
    BOOL GetIsPassword() const { return password_; }
    BOOL GetMultiLine() const { return multi_line_; }
    BOOL GetAutoHScroll() const { return auto_h_; }
    BOOL GetAutoVScroll() const { return auto_v_; }
    BOOL GetHScrollBar() const { return h_bar_; }
    BOOL GetVScrollBar() const { return v_bar_; }
    const MFormDate &GetFormDate() const { return date_; }
    BOOL GetDisableDataEntry() const { return disabled_; }
    BOOL GetExpandOnRequest() const { return expand_; }
    const MFormContextMenuHooks &GetContextMenuHooks() const { return menu_; }

private:
    friend struct MFormReader;
    BOOL password_ = FALSE, multi_line_ = FALSE, auto_h_ = FALSE, auto_v_ = FALSE, h_bar_ = FALSE, v_bar_ = FALSE;
    BOOL disabled_ = FALSE, expand_ = FALSE;
    MFormDate date_;
    MFormContextMenuHooks menu_;
};

class MFormChkBox : public MFormItem {
public:
    MFormChkBox() : MFormItem(FORM_CHECK_BOX) {}
    CString GetValue() const { return value_; }
    CString GetUncheckedValue() const { return unchecked_; }

private:
    friend struct MFormReader;
    CString value_, unchecked_;
};

class MFormOpBtn : public MFormItem {
public:
    MFormOpBtn() : MFormItem(FORM_OPTION_BUTTON) {}
    // The name of the option-button group the button belongs to.
    CString GetGrpName() const { return group_; }
    CString GetValue() const { return value_; }

private:
    friend struct MFormReader;
    CString group_, value_;
};

// List boxes and the three combo-box kinds.
class MFormLBox : public MFormItem {
public:
    explicit MFormLBox(int type) : MFormItem(type) {}
    BOOL GetAutoSort() const { return auto_sort_; }
    int GetSelection() const { return selection_; }
    BOOL UsesSubDialog() const { return sub_dialog_; }
    const MFormContextMenuHooks &GetContextMenuHooks() const { return menu_; }
    CString GetSelectionHook() const { return selection_hook_; }
    CString GetDblClickHook() const { return dbl_click_hook_; }
    CString GetSubDlgHook() const { return sub_dialog_hook_; }
    // Fields whose values the list's choices depend on.
    const std::vector<CString> &GetWebDependentFields() const { return depends_; }

private:
    friend struct MFormReader;
    BOOL auto_sort_ = FALSE, sub_dialog_ = FALSE;
    int selection_ = 0;
    MFormContextMenuHooks menu_;
    CString selection_hook_, dbl_click_hook_, sub_dialog_hook_;
    std::vector<CString> depends_;
};

// Lists the records of a reference or reference-list field (its field source) in columns.
class MFormListControl : public MFormItem {
public:
    MFormListControl() : MFormItem(FORM_LIST_CONTROL) {}
    CString GetSelectionHook() const { return selection_hook_; }
    CString GetDblClickHook() const { return dbl_click_hook_; }
    const std::vector<CColumnInfo> &GetColInfoArray() const { return columns_; }
    const MFormContextMenuHooks &GetContextMenuHooks() const { return menu_; }

private:
    friend struct MFormReader;
    CString selection_hook_, dbl_click_hook_;
    std::vector<CColumnInfo> columns_;
    MFormContextMenuHooks menu_;
};

class MFormActiveXItem : public MFormItem {
public:
    MFormActiveXItem() : MFormItem(FORM_ACTIVEX) {}
    CString GetRegisteredName() const { return registered_name_; }
    CString GetInitializeHook() const { return initialize_hook_; }
    CString GetSetEntityHook() const { return entity_hook_; }

private:
    friend struct MFormReader;
    CString registered_name_, initialize_hook_, entity_hook_;
};

// Items of the other kinds (labels, pictures, group boxes, option groups, ...): the common part.
class MFormPlainItem : public MFormItem {
public:
    explicit MFormPlainItem(int type) : MFormItem(type) {}
};

// A form, or one page (sub-form) of a form.
class MForm : public KXObject {
public:
    // A copy of the definition's layout, for the caller to delete (a KXSmartPtr does). Throws
    // CException* when the stored layout cannot be read.
    static MForm *CopyFrom(const AdFormDef *definition);
    // The message of what is wrong with a stored layout text; empty when it reads. `owner` (may
    // be null) is the record type the older layout text lays out.
    static std::string CheckDefinition(const std::string &text, const AdEntityDef *owner);

    // Pages in order.
    std::vector<MForm *> GetFormList() const;
    // Whether every user may see the page; otherwise only members of GetUserGroups.
    BOOL IsAllUserGroups() const { return groups_.empty(); }
    const std::vector<CString> &GetUserGroups() const { return groups_; }
    int GetVersionNum() const { return version_; }
    int GetxPos() const { return x_; }
    int GetyPos() const { return y_; }
    int GetWidth() const { return width_; }
    int GetHeight() const { return height_; }
    BOOL IsTabbedForm() const { return tabbed_; }
    CString GetCaption() const { return caption_; }
    // The name of the record type the page's fields belong to.
    CString GetDataSource() const { return data_source_; }
    // Items in form order.
    std::vector<MFormItem *> GetFormItems() const;

private:
    friend struct MFormReader;
    MForm() = default;

    std::vector<std::unique_ptr<MForm>> pages_;
    std::vector<std::unique_ptr<MFormItem>> items_;
    std::vector<CString> groups_;
    int version_ = 1, x_ = 0, y_ = 0, width_ = 0, height_ = 0;
    BOOL tabbed_ = FALSE;
    CString caption_, data_source_;
};
