#include "target/held_items.h"

#include <algorithm>
#include <cstring>

#include "target/workspace.h"
#include "tesutil/fileutl.h"
#include "wire/conversions.h"
#include "wire/fieldtypes.h"
#include "wire/product_failure.h"
#include "wire/trace.h"
#include "wire/xdr.h"

namespace KxRpc {

namespace {

// A tree node or a small allocation with its bookkeeping, rounded up: estimates err high.
constexpr std::uint64_t node_bytes = 96;

// Runs `change` with the item charged first for `measure()` plus `incoming`, so a change past a
// bound is refused before it runs; afterwards the charge is `measure()` again.
void charged_change(StateItem &item, std::uint64_t incoming, std::function<std::uint64_t()> const &measure,
                    std::function<void()> const &change) {
    item.hold_bytes(measure() + incoming);
    try {
        change();
    } catch (...) {
        ignoring_failures([&] { item.hold_bytes(measure()); });
        throw;
    }
    // Past a bound here (the change held more than it brought) the larger charge made first stays.
    ignoring_failures([&] { item.hold_bytes(measure()); });
}

} // namespace

std::uint64_t held_text_bytes(Nul::UString const &text) { return node_bytes + 2 * (std::uint64_t(text.length()) + 1); }

// ---- RecordStateItem

RecordStateItem::RecordStateItem(AdEntityPtr const &record, bool owns_edit) : entity_(record), owns_edit_(owns_edit) {
    take_snapshot(at_open_);
    // A record opened with large stored values is charged before anyone can use it.
    charge_held();
}

RecordStateItem::~RecordStateItem() {
    // A file that an attachment item still shares stays for it.
    temp_files_.clear();
    ignoring_failures([&] {
        if (owns_edit_ && entity_ && entity_->IsEditable()) entity_->Revert();
    });
    ignoring_failures([&] { entity_ = AdEntityPtr(); });
}

void RecordStateItem::take_snapshot(Snapshot &into) const {
    into.clear();
    if (!entity_) return;
    AdEntityDef *def = entity_->GetEntityDef();
    if (def == nullptr) return;
    AdIterator<AdFieldDef> fields = def->GetFieldDefs();
    for (int i = 0; i < fields.GetLength(); ++i) {
        AdFieldDef *field = fields.GetItem(i);
        if (field == nullptr) continue;
        CString name = field->GetName();
        into[ustr(name)] = entity_->GetFieldRequiredness(name, 0);
    }
}

bool RecordStateItem::differs(Snapshot const &from, Nul::UString const &field) const {
    auto it = from.find(field);
    if (it == from.end() || !entity_) return false;
    return entity_->GetFieldRequiredness(cstr(field), 0) != it->second;
}

bool RecordStateItem::requiredness_changed(Nul::UString const &field) const { return differs(at_report_, field); }

bool RecordStateItem::requiredness_changed_since_open(Nul::UString const &field) const {
    return differs(at_open_, field);
}

void RecordStateItem::refresh_requiredness() { take_snapshot(at_report_); }

void RecordStateItem::add_temp_file(Nul::UString const &path) { keep_file(std::make_shared<ContentFile>(path)); }

void RecordStateItem::keep_file(ContentFilePtr const &file) {
    if (!file) return;
    std::lock_guard<std::mutex> guard(files_mu_);
    if (std::find(temp_files_.begin(), temp_files_.end(), file) == temp_files_.end()) temp_files_.push_back(file);
}

std::vector<Nul::UString> RecordStateItem::temp_files() const {
    std::lock_guard<std::mutex> guard(files_mu_);
    std::vector<Nul::UString> paths;
    for (ContentFilePtr const &file : temp_files_) paths.push_back(file->path());
    return paths;
}

std::uint64_t RecordStateItem::measure() const {
    std::uint64_t n = sizeof(*this);
    for (Snapshot const *snapshot : {&at_open_, &at_report_})
        for (auto const &entry : *snapshot) n += held_text_bytes(entry.first);
    {
        std::lock_guard<std::mutex> guard(files_mu_);
        for (ContentFilePtr const &file : temp_files_) n += sizeof(ContentFile) + held_text_bytes(file->path());
    }
    if (entity_) n += product_call([&] { return entity_->GetHeldBytes(); }, unexpected_in(L"RecordStateItem::measure"));
    return n;
}

void RecordStateItem::charge_held() { hold_bytes(measure()); }

void RecordStateItem::change_held(std::uint64_t incoming, std::function<void()> const &change) {
    std::lock_guard<std::mutex> guard(change_mu_);
    charged_change(
        *this, incoming, [&] { return measure(); }, change);
}

// ---- QueryItemStateItem

QueryItemStateItem::QueryItemStateItem(Nul::UString const &name, AdQueryDefPtr const &query_def,
                                       AdBucketPtr const &bucket, int item_type)
    : name_(name), item_type_(item_type), query_def_(query_def), bucket_(bucket) {
    // A large definition is charged before anyone can use the item.
    if (query_def_) hold_bytes(measure());
}

QueryItemStateItem::QueryItemStateItem(Nul::UString const &name, int item_type) : name_(name), item_type_(item_type) {}

QueryItemStateItem::QueryItemStateItem(Nul::UString const &name, KXSmartPtr<KXReportDef> const &report_def,
                                       int item_type)
    : name_(name), item_type_(item_type), report_def_(report_def) {}

QueryItemStateItem::QueryItemStateItem(Nul::UString const &name, char const *data, std::size_t length, int item_type)
    : name_(name), item_type_(item_type) {
    hold_bytes(measure() + length + node_bytes);
    data_.reset(new char[length + 1]);
    data_length_ = length;
    if (length > 0) std::memcpy(data_.get(), data, length);
    data_[length] = '\0';
}

QueryItemStateItem::~QueryItemStateItem() {
    ignoring_failures([&] { query_def_ = AdQueryDefPtr(); });
    ignoring_failures([&] {
        if (QueryUtil::is_folder_bucket(bucket_)) {
            AdFolderPtr folder = AdFolder::LookupFolderFromBucket(bucket_);
            if (folder) folder->RevertPermissions();
        }
    });
    ignoring_failures([&] { bucket_ = AdBucketPtr(); });
    data_.reset();
    permissions_.clear();
    ignoring_failures([&] { report_def_ = KXSmartPtr<KXReportDef>(); });
}

std::uint64_t QueryItemStateItem::measure() const {
    std::uint64_t n = sizeof(*this) + held_text_bytes(name_);
    if (data_) n += data_length_ + node_bytes;
    if (query_def_)
        n += product_call([&] { return query_def_->GetHeldBytes(); }, unexpected_in(L"QueryItemStateItem::measure"));
    return n;
}

void QueryItemStateItem::set_query_def(AdQueryDefPtr const &def) {
    std::uint64_t const incoming =
        def ? product_call([&] { return def->GetHeldBytes(); }, unexpected_in(L"QueryItemStateItem::set_query_def"))
            : 0;
    change_held(incoming, [&] { query_def_ = def; });
}

void QueryItemStateItem::change_held(std::uint64_t incoming, std::function<void()> const &change) {
    std::lock_guard<std::mutex> guard(change_mu_);
    charged_change(
        *this, incoming, [&] { return measure(); }, change);
}

std::unique_ptr<char[]> QueryItemStateItem::copy_data() const {
    std::unique_ptr<char[]> copy(new char[data_length_ + 1]);
    if (data_length_ > 0) std::memcpy(copy.get(), data_.get(), data_length_);
    copy[data_length_] = '\0';
    return copy;
}

} // namespace KxRpc
