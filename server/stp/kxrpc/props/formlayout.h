// The layout of one form page: which items nest in which (group boxes, option-button groups,
// list controls with their buttons) and the order of items in rows.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "kxproduct/form.h"

namespace KxRpc {

class FormLayoutItem {
public:
    FormLayoutItem() = default;
    FormLayoutItem(FormLayoutItem const &) = delete;
    FormLayoutItem &operator=(FormLayoutItem const &) = delete;

    void set_item(MFormItem *item);
    MFormItem *item() const { return item_; }
    int left() const { return left_; }
    int top() const { return top_; }
    int right() const { return right_; }
    int bottom() const { return bottom_; }
    unsigned point_size() const { return point_size_; }
    int tab_order() const { return tab_order_; }
    void set_tab_order(int order) { tab_order_ = order; }
    std::vector<FormLayoutItem *> const &children() const { return children_; }
    FormLayoutItem *parent() const { return parent_; }

    int item_type() const;
    CString item_name() const;
    CString option_group_name() const;
    CString associated_control_name() const;

    bool is_field_item() const;
    bool is_button_with_control() const;
    // 12 for the combo-box kinds (their rectangles include the dropped list), else the rectangle's.
    int height() const;
    bool contains(FormLayoutItem const &other) const;
    // Moves this item from its parent (if any) to `container`; refused (false) when the container
    // is this item or one of its descendants, which would make a cycle.
    bool attach_to(FormLayoutItem &container);
    bool row_before(FormLayoutItem const &other) const;
    bool is_top_level() const { return parent_ == nullptr; }

private:
    MFormItem *item_ = nullptr;
    int left_ = 0, top_ = 0, right_ = 0, bottom_ = 0;
    unsigned point_size_ = 0;
    int tab_order_ = 0;
    std::vector<FormLayoutItem *> children_;
    FormLayoutItem *parent_ = nullptr;
};

// Stable merge sort by `row_before`. The rows relation is not a strict weak order (a same-row
// tolerance is not transitive), which std::sort must not be given.
void sort_rows(std::vector<FormLayoutItem *> &items);

// The items of one page in form order, numbered for tabbing, nested and sorted: the top-level
// items in rows (children are sorted within their containers as they are written).
class FormPageLayout {
public:
    explicit FormPageLayout(std::vector<MFormItem *> const &items);
    std::vector<FormLayoutItem *> top_level_rows() const;
    std::vector<std::unique_ptr<FormLayoutItem>> const &items() const { return items_; }

private:
    std::vector<std::unique_ptr<FormLayoutItem>> items_;
};

} // namespace KxRpc
