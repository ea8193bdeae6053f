#include "props/formlayout.h"

#include <algorithm>

namespace KxRpc {

void FormLayoutItem::set_item(MFormItem *item) {
    item_ = item;
    MFormRect const r = item->GetRect();
    left_ = r.left;
    top_ = r.top;
    right_ = r.right;
    bottom_ = r.bottom;
    point_size_ = item->GetFontScheme().GetPointSize();
}

int FormLayoutItem::item_type() const { return item_->GetType(); }
CString FormLayoutItem::item_name() const { return item_->GetName(); }

CString FormLayoutItem::option_group_name() const {
    auto const *button = dynamic_cast<MFormOpBtn const *>(item_);
    return button ? button->GetGrpName() : CString();
}

CString FormLayoutItem::associated_control_name() const {
    auto const *button = dynamic_cast<MFormBtn const *>(item_);
    return button ? button->GetAssociatedControlName() : CString();
}

bool FormLayoutItem::is_field_item() const {
    switch (item_type()) {
    case FORM_BUTTON:
    case FORM_EDIT_BOX:
    case FORM_CHECK_BOX:
    case FORM_OPTION_GROUP:
    case FORM_OPTION_BUTTON:
    case FORM_LIST_BOX:
    case FORM_COMBO_BOX:
    case FORM_DROP_DOWN_COMBO:
    case FORM_DROP_DOWN_LIST:
    case FORM_LIST_CONTROL:
    case FORM_ATTACHMENT_CONTROL:
    case FORM_PARENT_CHILD_CONTROL:
    case FORM_DUPLICATES_CONTROL:
        return true;
    default:
        return false;
    }
}

bool FormLayoutItem::is_button_with_control() const {
    if (item_type() != FORM_BUTTON) return false;
    auto const *button = dynamic_cast<MFormBtn const *>(item_);
    return button && button->GetButtonType() != 0 && !button->GetAssociatedControlName().IsEmpty();
}

int FormLayoutItem::height() const {
    int const type = item_type();
    if (type == FORM_COMBO_BOX || type == FORM_DROP_DOWN_COMBO || type == FORM_DROP_DOWN_LIST) return 12;
    return bottom_ - top_;
}

bool FormLayoutItem::contains(FormLayoutItem const &x) const {
    if (&x == this || x.is_button_with_control()) return false;
    // Wide arithmetic: coordinates are the product's ints and may be anything.
    return x.left_ >= left_ && x.right_ <= right_ && x.top_ >= top_ &&
           static_cast<long long>(x.top_) + x.height() <= static_cast<long long>(top_) + height();
}

bool FormLayoutItem::attach_to(FormLayoutItem &container) {
    for (FormLayoutItem const *up = &container; up != nullptr; up = up->parent_)
        if (up == this) return false;
    if (parent_ != nullptr) {
        auto &siblings = parent_->children_;
        siblings.erase(std::remove(siblings.begin(), siblings.end(), this), siblings.end());
    }
    parent_ = &container;
    container.children_.push_back(this);
    return true;
}

bool FormLayoutItem::row_before(FormLayoutItem const &b) const {
    long long const p = point_size_;
    if (top_ < b.top_ - p) return true;
    if (top_ > b.top_ + p) return false;
    return left_ < b.left_;
}

namespace {

void merge_sort(std::vector<FormLayoutItem *> &v, std::vector<FormLayoutItem *> &scratch, size_t from, size_t to) {
    if (to - from < 2) return;
    size_t const mid = from + (to - from) / 2;
    merge_sort(v, scratch, from, mid);
    merge_sort(v, scratch, mid, to);
    size_t a = from, b = mid, out = from;
    // An item of the right half goes first only when it precedes: equal rows keep their order.
    while (a < mid && b < to) scratch[out++] = v[b]->row_before(*v[a]) ? v[b++] : v[a++];
    while (a < mid) scratch[out++] = v[a++];
    while (b < to) scratch[out++] = v[b++];
    std::copy(scratch.begin() + static_cast<long>(from), scratch.begin() + static_cast<long>(to),
              v.begin() + static_cast<long>(from));
}

} // namespace

void sort_rows(std::vector<FormLayoutItem *> &items) {
    std::vector<FormLayoutItem *> scratch(items.size());
    merge_sort(items, scratch, 0, items.size());
}

FormPageLayout::FormPageLayout(std::vector<MFormItem *> const &items) {
    int tab = 0;
    for (MFormItem *item : items) {
        items_.push_back(std::make_unique<FormLayoutItem>());
        items_.back()->set_item(item);
        if (items_.back()->is_field_item()) items_.back()->set_tab_order(++tab);
    }
    // Group boxes take what lies inside them; the last one in form order keeps an item.
    for (auto const &g : items_) {
        if (g->item_type() != FORM_GROUP_BOX) continue;
        for (auto const &x : items_)
            if (g->contains(*x)) x->attach_to(*g);
    }
    // Then option buttons join their groups and bound buttons their list controls.
    for (auto const &p : items_) {
        int const type = p->item_type();
        if (type != FORM_OPTION_GROUP && type != FORM_LIST_CONTROL) continue;
        CString const name = p->item_name();
        for (auto const &x : items_) {
            bool const bound = type == FORM_OPTION_GROUP
                                   ? x->item_type() == FORM_OPTION_BUTTON && x->option_group_name() == name
                                   : x->is_button_with_control() && x->associated_control_name() == name;
            if (bound) x->attach_to(*p);
        }
    }
}

std::vector<FormLayoutItem *> FormPageLayout::top_level_rows() const {
    std::vector<FormLayoutItem *> all;
    for (auto const &i : items_) all.push_back(i.get());
    sort_rows(all);
    std::vector<FormLayoutItem *> top;
    for (FormLayoutItem *i : all)
        if (i->is_top_level()) top.push_back(i);
    return top;
}

} // namespace KxRpc
