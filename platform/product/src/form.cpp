// Form layouts: reading the stored layout text (format: README.md of this folder) into MForm.
#include "kxproduct/form.h"

#include <xercesc/dom/DOM.hpp>
#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/parsers/XercesDOMParser.hpp>
#include <xercesc/sax/HandlerBase.hpp>
#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/util/SecurityManager.hpp>
#include <xercesc/util/TransService.hpp>

#include <algorithm>
#include <charconv>
#include <map>
#include <mutex>
#include <set>

#include "kxproduct/faults.h"
#include "kxwin/cexception.h"

using namespace xercesc;

namespace {

struct FormError {
    std::string text;
};

std::string utf8(const XMLCh *s) {
    if (s == nullptr) return {};
    TranscodeToStr bytes(s, "UTF-8");
    return std::string(reinterpret_cast<const char *>(bytes.str()), bytes.length());
}

std::string name_of(const DOMElement &e) { return utf8(e.getTagName()); }

std::vector<const DOMElement *> elements(const DOMElement &e) {
    std::vector<const DOMElement *> out;
    for (const DOMElement *c = e.getFirstElementChild(); c; c = c->getNextElementSibling()) out.push_back(c);
    return out;
}

[[noreturn]] void fail(const DOMElement &e, const std::string &text) {
    throw FormError{"<" + name_of(e) + ">: " + text};
}

// Attribute access with checks: each element names the attributes it may carry.
class Attrs {
public:
    Attrs(const DOMElement &e, const std::set<std::string> &allowed) : e_(e) {
        const DOMNamedNodeMap *map = e.getAttributes();
        for (XMLSize_t i = 0; map && i < map->getLength(); ++i) {
            std::string name = utf8(map->item(i)->getNodeName());
            if (!allowed.count(name)) fail(e, "unknown attribute '" + name + "'");
            values_[name] = utf8(map->item(i)->getNodeValue());
        }
    }
    bool has(const std::string &k) const { return values_.count(k) != 0; }
    std::string text(const std::string &k, const std::string &fallback = {}) const {
        auto it = values_.find(k);
        return it == values_.end() ? fallback : it->second;
    }
    CString str(const std::string &k, const CString &fallback = CString()) const {
        return has(k) ? CString::FromUtf8(text(k)) : fallback;
    }
    std::string need(const std::string &k) const {
        if (text(k).empty()) fail(e_, "needs the attribute '" + k + "'");
        return text(k);
    }
    int number(const std::string &k, int fallback = 0) const { return has(k) ? to_int(text(k)) : fallback; }
    BOOL flag(const std::string &k) const {
        if (!has(k)) return FALSE;
        if (text(k) == "1") return TRUE;
        if (text(k) == "0") return FALSE;
        fail(e_, "'" + k + "' is 0 or 1, not '" + text(k) + "'");
    }
    // "left top right bottom".
    MFormRect rect(const std::string &k) const {
        std::vector<int> v;
        const std::string s = text(k);
        size_t at = 0;
        while (at < s.size()) {
            size_t end = s.find(' ', at);
            if (end == std::string::npos) end = s.size();
            if (end > at) v.push_back(to_int(s.substr(at, end - at)));
            at = end + 1;
        }
        if (v.size() != 4) fail(e_, "'" + k + "' is four numbers: left top right bottom");
        return MFormRect{v[0], v[1], v[2], v[3]};
    }
    int to_int(const std::string &s) const {
        int v = 0;
        auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
        if (ec != std::errc() || end != s.data() + s.size() || s.empty()) fail(e_, "'" + s + "' is no number");
        return v;
    }

private:
    const DOMElement &e_;
    std::map<std::string, std::string> values_;
};

const std::map<std::string, int> kKinds = {{"button", FORM_BUTTON},
                                           {"label", FORM_LABEL},
                                           {"edit-box", FORM_EDIT_BOX},
                                           {"group-box", FORM_GROUP_BOX},
                                           {"check-box", FORM_CHECK_BOX},
                                           {"option-group", FORM_OPTION_GROUP},
                                           {"option-button", FORM_OPTION_BUTTON},
                                           {"list-box", FORM_LIST_BOX},
                                           {"combo-box", FORM_COMBO_BOX},
                                           {"drop-down-combo", FORM_DROP_DOWN_COMBO},
                                           {"drop-down-list", FORM_DROP_DOWN_LIST},
                                           {"picture", FORM_PICTURE},
                                           {"list-control", FORM_LIST_CONTROL},
                                           {"activex", FORM_ACTIVEX},
                                           {"tab-control", FORM_TAB_CONTROL},
                                           {"attachment-control", FORM_ATTACHMENT_CONTROL},
                                           {"parent-child-control", FORM_PARENT_CHILD_CONTROL},
                                           {"duplicates-control", FORM_DUPLICATES_CONTROL}};

const std::set<std::string> kCommonAttrs = {"kind",         "name",        "rect",      "caption",   "field",
                                            "caption-rect", "font-family", "font-size", "font-style"};
const std::set<std::string> kMenuAttrs = {"controller-hook", "entity-navigation"};
const std::map<int, std::set<std::string>> kKindAttrs = {
    {FORM_BUTTON, {"button-type", "control", "pre-click-hook", "post-click-hook", "pre-click-web", "post-click-web"}},
    {FORM_EDIT_BOX,
     {"password", "multi-line", "auto-hscroll", "auto-vscroll", "hscroll", "vscroll", "date-code", "time-code",
      "disable-entry", "expand-on-request"}},
    {FORM_CHECK_BOX, {"value", "unchecked-value"}},
    {FORM_OPTION_BUTTON, {"group", "value"}},
    {FORM_LIST_BOX, {"auto-sort", "selection", "sub-dialog", "selection-hook", "double-click-hook", "sub-dialog-hook"}},
    {FORM_LIST_CONTROL, {"selection-hook", "double-click-hook"}},
    {FORM_ACTIVEX, {"registered-name", "initialize-hook", "entity-hook"}}};

bool is_list_box(int kind) { return kind >= FORM_LIST_BOX && kind <= FORM_DROP_DOWN_LIST; }
bool has_menu(int kind) { return kind == FORM_EDIT_BOX || kind == FORM_LIST_CONTROL || is_list_box(kind); }

int kind_of(const DOMElement &e, const std::string &text) {
    auto it = kKinds.find(text);
    if (it != kKinds.end()) return it->second;
    int v = -1;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || end != text.data() + text.size() || v < 0 || v > FORM_LAST_ITEM_TYPE)
        fail(e, "unknown item kind '" + text + "'");
    return v;
}

std::set<std::string> attrs_of(int kind) {
    std::set<std::string> out = kCommonAttrs;
    auto it = kKindAttrs.find(is_list_box(kind) ? FORM_LIST_BOX : kind);
    if (it != kKindAttrs.end()) out.insert(it->second.begin(), it->second.end());
    if (has_menu(kind)) out.insert(kMenuAttrs.begin(), kMenuAttrs.end());
    return out;
}

void init_xerces() {
    // Initialised once and never terminated: terminating would pull the parser from under any
    // other user in the process.
    static std::once_flag once;
    std::call_once(once, [] { XMLPlatformUtils::Initialize(); });
}

} // namespace

struct MFormReader {
    const AdEntityDef *owner;

    std::unique_ptr<MForm> read(const std::string &text) {
        if (text.find_first_not_of(" \t\r\n") == std::string::npos) throw FormError{"the form has no layout"};
        init_xerces();
        XercesDOMParser parser;
        SecurityManager security;
        security.setEntityExpansionLimit(100);
        HandlerBase errors;
        parser.setErrorHandler(&errors);
        parser.setSecurityManager(&security);
        parser.setDoNamespaces(false);
        parser.setLoadExternalDTD(false);
        parser.setDisableDefaultEntityResolution(true);
        parser.setCreateEntityReferenceNodes(false);
        MemBufInputSource src(reinterpret_cast<const XMLByte *>(text.data()), text.size(), "form");
        try {
            parser.parse(src);
        } catch (const SAXParseException &e) {
            throw FormError{"line " + std::to_string(e.getLineNumber()) + ": " + utf8(e.getMessage())};
        } catch (const XMLException &e) {
            throw FormError{utf8(e.getMessage())};
        } catch (const DOMException &e) {
            throw FormError{utf8(e.getMessage())};
        }
        const DOMDocument *doc = parser.getDocument();
        const DOMElement *root = doc ? doc->getDocumentElement() : nullptr;
        if (root == nullptr) throw FormError{"the form has no layout"};
        if (name_of(*root) == "layout") return layout(*root);
        if (name_of(*root) == "form") return simple(*root);
        fail(*root, "a layout starts with <layout> (or <form> of tabs and controls)");
    }

    // The full layout: <layout> of <page>s of <item>s.
    std::unique_ptr<MForm> layout(const DOMElement &e) {
        std::unique_ptr<MForm> form(new MForm);
        Attrs a(e, {"version", "x", "y", "width", "height", "tabbed", "caption", "data-source"});
        heading(*form, a, nullptr);
        if (!a.has("data-source") && owner) form->data_source_ = owner->GetName();
        for (const DOMElement *c : elements(e)) {
            if (name_of(*c) != "page") fail(*c, "a <layout> holds only <page> elements");
            std::unique_ptr<MForm> page(new MForm);
            Attrs p(*c, {"version", "x", "y", "width", "height", "tabbed", "caption", "data-source", "groups"});
            heading(*page, p, form.get());
            for (const std::string &g : split(p.text("groups"), ',')) page->groups_.push_back(CString::FromUtf8(g));
            std::set<std::string> names;
            for (const DOMElement *i : elements(*c)) {
                if (name_of(*i) != "item") fail(*i, "a <page> holds only <item> elements");
                page->items_.push_back(item(*i));
                if (!names.insert(page->items_.back()->GetName().ToUtf8()).second)
                    fail(*i, "a second item named '" + page->items_.back()->GetName().ToUtf8() + "' on one page");
            }
            form->pages_.push_back(std::move(page));
        }
        return form;
    }

    // A page takes what it does not say from its form.
    static void heading(MForm &f, const Attrs &a, const MForm *form) {
        f.version_ = a.number("version", form ? form->version_ : 1);
        f.x_ = a.number("x", form ? form->x_ : 0);
        f.y_ = a.number("y", form ? form->y_ : 0);
        f.width_ = a.number("width", form ? form->width_ : 0);
        f.height_ = a.number("height", form ? form->height_ : 0);
        f.tabbed_ = a.flag("tabbed");
        f.caption_ = a.str("caption");
        f.data_source_ = a.str("data-source", form ? form->data_source_ : CString());
    }

    static std::vector<std::string> split(const std::string &s, char sep) {
        std::vector<std::string> out;
        size_t at = 0;
        while (at < s.size()) {
            size_t end = s.find(sep, at);
            if (end == std::string::npos) end = s.size();
            std::string part = s.substr(at, end - at);
            size_t b = part.find_first_not_of(' '), l = part.find_last_not_of(' ');
            if (b != std::string::npos) out.push_back(part.substr(b, l - b + 1));
            at = end + 1;
        }
        return out;
    }

    std::unique_ptr<MFormItem> item(const DOMElement &e) {
        static const XMLCh kKind[] = {'k', 'i', 'n', 'd', 0};
        if (!e.hasAttribute(kKind)) fail(e, "needs the attribute 'kind'");
        int kind = kind_of(e, utf8(e.getAttribute(kKind)));
        Attrs a(e, attrs_of(kind));
        std::unique_ptr<MFormItem> out = make(kind, a);
        out->name_ = CString::FromUtf8(a.need("name"));
        out->rect_ = a.rect("rect");
        out->caption_ = a.str("caption");
        out->field_source_ = a.str("field");
        if (a.has("caption-rect")) {
            out->separate_caption_ = TRUE;
            out->caption_rect_ = a.rect("caption-rect");
        }
        out->font_.family_ = a.str("font-family", out->font_.family_);
        int size = a.number("font-size", static_cast<int>(out->font_.point_size_));
        if (size < 0 || size > 1000) fail(e, "'font-size' is 0 to 1000");
        out->font_.point_size_ = static_cast<unsigned>(size);
        out->font_.style_ = a.number("font-style");
        children(e, *out);
        return out;
    }

    static std::unique_ptr<MFormItem> make(int kind, const Attrs &a) {
        if (kind == FORM_BUTTON) {
            auto b = std::make_unique<MFormBtn>();
            b->button_type_ = a.number("button-type");
            b->control_ = a.str("control");
            b->pre_click_ = a.str("pre-click-hook");
            b->post_click_ = a.str("post-click-hook");
            b->pre_click_web_ = a.flag("pre-click-web");
            b->post_click_web_ = a.flag("post-click-web");
            return b;
        }
        if (kind == FORM_EDIT_BOX) {
            auto b = std::make_unique<MFormEBox>();
            b->password_ = a.flag("password");
            b->multi_line_ = a.flag("multi-line");
            b->auto_h_ = a.flag("auto-hscroll");
            b->auto_v_ = a.flag("auto-vscroll");
            b->h_bar_ = a.flag("hscroll");
            b->v_bar_ = a.flag("vscroll");
            b->date_.date_code_ = a.number("date-code");
            b->date_.time_code_ = a.number("time-code");
            b->disabled_ = a.flag("disable-entry");
            b->expand_ = a.flag("expand-on-request");
            menu(b->menu_, a);
            return b;
        }
        if (kind == FORM_CHECK_BOX) {
            auto b = std::make_unique<MFormChkBox>();
            b->value_ = a.str("value");
            b->unchecked_ = a.str("unchecked-value");
            return b;
        }
        if (kind == FORM_OPTION_BUTTON) {
            auto b = std::make_unique<MFormOpBtn>();
            b->group_ = a.str("group");
            b->value_ = a.str("value");
            return b;
        }
        if (is_list_box(kind)) {
            auto b = std::make_unique<MFormLBox>(kind);
            b->auto_sort_ = a.flag("auto-sort");
            b->selection_ = a.number("selection");
            b->sub_dialog_ = a.flag("sub-dialog");
            b->selection_hook_ = a.str("selection-hook");
            b->dbl_click_hook_ = a.str("double-click-hook");
            b->sub_dialog_hook_ = a.str("sub-dialog-hook");
            menu(b->menu_, a);
            return b;
        }
        if (kind == FORM_LIST_CONTROL) {
            auto b = std::make_unique<MFormListControl>();
            b->selection_hook_ = a.str("selection-hook");
            b->dbl_click_hook_ = a.str("double-click-hook");
            menu(b->menu_, a);
            return b;
        }
        if (kind == FORM_ACTIVEX) {
            auto b = std::make_unique<MFormActiveXItem>();
            b->registered_name_ = a.str("registered-name");
            b->initialize_hook_ = a.str("initialize-hook");
            b->entity_hook_ = a.str("entity-hook");
            return b;
        }
        return std::make_unique<MFormPlainItem>(kind);
    }

    static void menu(MFormContextMenuHooks &m, const Attrs &a) {
        m.controller_ = a.str("controller-hook");
        m.navigation_ = a.flag("entity-navigation");
    }

    static MFormContextMenuHooks *menu_of(MFormItem &i) {
        if (auto *b = dynamic_cast<MFormEBox *>(&i)) return &b->menu_;
        if (auto *b = dynamic_cast<MFormLBox *>(&i)) return &b->menu_;
        if (auto *b = dynamic_cast<MFormListControl *>(&i)) return &b->menu_;
        return nullptr;
    }

    // <context-hook name>, <depends field> and <column width field label> inside an item.
    static void children(const DOMElement &e, MFormItem &i) {
        for (const DOMElement *c : elements(e)) {
            const std::string n = name_of(*c);
            MFormContextMenuHooks *m = menu_of(i);
            auto *list = dynamic_cast<MFormLBox *>(&i);
            auto *control = dynamic_cast<MFormListControl *>(&i);
            if (n == "context-hook" && m) {
                m->hooks_.push_back(CString::FromUtf8(Attrs(*c, {"name"}).need("name")));
            } else if (n == "depends" && list) {
                list->depends_.push_back(CString::FromUtf8(Attrs(*c, {"field"}).need("field")));
            } else if (n == "column" && control) {
                Attrs a(*c, {"width", "field", "label"});
                CColumnInfo col;
                col.width_ = a.number("width");
                col.path_ = CString::FromUtf8(a.need("field"));
                col.label_ = a.str("label", col.path_);
                col.complete_ = i.field_source_.IsEmpty() ? col.path_ : i.field_source_ + CString(L".") + col.path_;
                control->columns_.push_back(col);
            } else {
                fail(*c, "not allowed inside an item of kind " + std::to_string(i.GetType()));
            }
        }
    }

    // The older layout: <form> of <tab name>s of <control field>s, laid out one field a row with
    // its caption to the left.
    std::unique_ptr<MForm> simple(const DOMElement &e) {
        constexpr int kLeft = 8, kCaptionRight = 96, kFieldLeft = 104, kRight = 400, kRow = 14, kGap = 10;
        std::unique_ptr<MForm> form(new MForm);
        Attrs check(e, {});
        form->tabbed_ = TRUE;
        form->width_ = kRight + kLeft;
        if (owner) form->data_source_ = form->caption_ = owner->GetName();
        for (const DOMElement *t : elements(e)) {
            if (name_of(*t) != "tab") fail(*t, "a <form> holds only <tab> elements");
            std::unique_ptr<MForm> page(new MForm);
            page->caption_ = CString::FromUtf8(Attrs(*t, {"name"}).need("name"));
            page->data_source_ = form->data_source_;
            page->width_ = form->width_;
            int y = kLeft;
            for (const DOMElement *c : elements(*t)) {
                if (name_of(*c) != "control") fail(*c, "a <tab> holds only <control> elements");
                CString field = CString::FromUtf8(Attrs(*c, {"field"}).need("field"));
                const AdFieldDef *def = owner ? owner->LookupFieldDef(field) : nullptr;
                bool tall = def && (def->GetFieldType() == AD_MULTILINE_STRING || def->GetFieldType() == AD_JOURNAL);
                auto box = std::make_unique<MFormEBox>();
                box->name_ = box->field_source_ = box->caption_ = field;
                box->separate_caption_ = TRUE;
                box->caption_rect_ = MFormRect{kLeft, y, kCaptionRight, y + kRow};
                int height = tall ? 4 * kRow : kRow;
                box->rect_ = MFormRect{kFieldLeft, y, kRight, y + height};
                box->multi_line_ = box->v_bar_ = tall ? TRUE : FALSE;
                page->items_.push_back(std::move(box));
                y += height + kGap;
            }
            page->height_ = y;
            form->height_ = std::max(form->height_, y);
            form->pages_.push_back(std::move(page));
        }
        return form;
    }
};

BOOL MFormItem::IsWebFormRefresh(const AdEntityDef *record_type) const {
    KXFaultInjector::Enter("MFormItem::IsWebFormRefresh");
    if (record_type == nullptr || field_source_.IsEmpty()) return FALSE;
    auto hooks = record_type->GetHookDefs();
    for (int i = 0; i < hooks.GetLength(); ++i) {
        const AdHookDef *h = hooks.GetItem(i);
        if (h->GetHookType() == AD_HOOK_FIELD_VALUE_CHANGED && h->GetFieldName() == field_source_) return TRUE;
    }
    return FALSE;
}

MForm *MForm::CopyFrom(const AdFormDef *definition) {
    KXFaultInjector::Enter("MForm::CopyFrom");
    if (definition == nullptr) throw new CException(CString(L"No form definition to copy."));
    try {
        return MFormReader{definition->GetEntityDef()}.read(definition->GetDefinition().ToUtf8()).release();
    } catch (const FormError &e) {
        throw new CException(
            CString::FromUtf8("The layout of form '" + definition->GetName().ToUtf8() + "' cannot be read: " + e.text));
    }
}

std::string MForm::CheckDefinition(const std::string &text, const AdEntityDef *owner) {
    try {
        MFormReader{owner}.read(text);
    } catch (const FormError &e) {
        return e.text;
    }
    return {};
}

std::vector<MForm *> MForm::GetFormList() const {
    KXFaultInjector::Enter("MForm::GetFormList");
    std::vector<MForm *> out;
    for (const auto &p : pages_) out.push_back(p.get());
    return out;
}

std::vector<MFormItem *> MForm::GetFormItems() const {
    KXFaultInjector::Enter("MForm::GetFormItems");
    std::vector<MFormItem *> out;
    for (const auto &i : items_) out.push_back(i.get());
    return out;
}
