// The kinds of state items that hold records and workspace items between calls.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "kxproduct/entity.h"
#include "kxproduct/query.h"
#include "kxproduct/workspace.h"
#include "target/attachments.h"
#include "tesutil/ustring.h"
#include "wire/handles.h"
#include "wire/xdrobject.h"

namespace KxRpc {

// What a text that an item keeps costs the heap, its bookkeeping included: an estimate that errs high.
std::uint64_t held_text_bytes(Nul::UString const &text);

// A record being edited.
class RecordStateItem : public StateItem {
public:
    // `owns_edit`: the item opened the record's action and abandons it when it goes; an item over
    // a record that another item holds open leaves that edit alone.
    explicit RecordStateItem(AdEntityPtr const &record, bool owns_edit = true);
    // Deletes its temporary content files, reverts the record when it owns the edit and the
    // record is still editable, and releases it; failures are ignored.
    ~RecordStateItem() override;

    AdEntityPtr const &entity() const { return entity_; }
    bool owns_edit() const { return owns_edit_; }
    // The field's requiredness differs from the snapshot of the last report (false when the
    // snapshot does not hold the field).
    bool requiredness_changed(Nul::UString const &field) const;
    bool requiredness_changed_since_open(Nul::UString const &field) const;
    void refresh_requiredness();
    // A temporary content file that goes with the record; deleted with the item. Uploads on other
    // connections may add theirs at the same time.
    void add_temp_file(Nul::UString const &path);
    // A content file the record's pending add reads at commit: the item keeps it (once) until it
    // goes; the file is deleted when its last holder goes.
    void keep_file(ContentFilePtr const &file);
    std::vector<Nul::UString> temp_files() const;
    // Runs `change` on the record, charged first for what the item holds and `incoming` bytes
    // more: past a memory bound the change is refused before it runs and the record keeps what it
    // had. Afterwards the charge is what the item holds. Changes are one at a time per item.
    void change_held(std::uint64_t incoming, std::function<void()> const &change);

private:
    using Snapshot = std::map<Nul::UString, int>;
    void take_snapshot(Snapshot &into) const;
    bool differs(Snapshot const &from, Nul::UString const &field) const;
    // The bytes the item and its record hold now.
    std::uint64_t measure() const;
    void charge_held();

    AdEntityPtr entity_;
    bool owns_edit_;
    Snapshot at_open_;
    Snapshot at_report_;
    mutable std::mutex files_mu_;
    std::vector<ContentFilePtr> temp_files_;
    std::mutex change_mu_;
};

// A query, report or workspace folder being created or edited.
class QueryItemStateItem : public StateItem {
public:
    using Permissions = std::vector<std::pair<Nul::UString, int>>;

    QueryItemStateItem(Nul::UString const &name, AdQueryDefPtr const &query_def, AdBucketPtr const &bucket,
                       int item_type);
    QueryItemStateItem(Nul::UString const &name, int item_type);
    QueryItemStateItem(Nul::UString const &name, KXSmartPtr<KXReportDef> const &report_def, int item_type);
    // Raw data in place of a query definition; the item keeps its own copy.
    QueryItemStateItem(Nul::UString const &name, char const *data, std::size_t length, int item_type);
    ~QueryItemStateItem() override;

    AdQueryDefPtr const &query_def() const { return query_def_; }
    // Charged first for what the item holds and the new definition: past a memory bound it is
    // refused and the item keeps its definition. Afterwards the charge is what the item holds.
    void set_query_def(AdQueryDefPtr const &def);
    // Runs `change` on the held definition, charged as RecordStateItem::change_held charges.
    void change_held(std::uint64_t incoming, std::function<void()> const &change);
    AdBucketPtr const &bucket() const { return bucket_; }
    void set_bucket(AdBucketPtr const &bucket) { bucket_ = bucket; }
    KXSmartPtr<KXReportDef> const &report_def() const { return report_def_; }
    void set_report_def(KXSmartPtr<KXReportDef> const &def) { report_def_ = def; }
    bool is_startup() const { return is_startup_; }
    void set_is_startup(bool on) { is_startup_ = on; }
    // Group permissions to apply to a folder.
    Permissions &permissions() { return permissions_; }
    Nul::UString const &name() const { return name_; }
    int item_type() const { return item_type_; }
    bool has_data() const { return data_ != nullptr; }
    char const *data() const { return data_.get(); }
    std::size_t data_length() const { return data_length_; }
    // A new buffer of length plus one byte (a terminating zero) holding a copy of the data.
    std::unique_ptr<char[]> copy_data() const;

private:
    // The bytes the item and its definition or data hold now.
    std::uint64_t measure() const;

    Nul::UString name_;
    int item_type_;
    AdQueryDefPtr query_def_;
    AdBucketPtr bucket_;
    KXSmartPtr<KXReportDef> report_def_;
    bool is_startup_ = false;
    Permissions permissions_;
    std::unique_ptr<char[]> data_;
    std::size_t data_length_ = 0;
    std::mutex change_mu_;
};

} // namespace KxRpc
