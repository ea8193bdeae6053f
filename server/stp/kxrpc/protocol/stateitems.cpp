#include "protocol/stateitems.h"

#include <cstring>

#include "protocol/fieldtypes.h"
#include "protocol/queryutil.h"
#include "protocol/trace.h"
#include "protocol/xdr.h"
#include "tesutil/fileutl.h"

namespace KxRpc {

namespace {
Nul::UString from_cstring(CString const &s) { return Nul::UString(s.GetString()); }
} // namespace

// ---- RecordStateItem

RecordStateItem::RecordStateItem(AdEntityPtr const &record) : entity_(record) { take_snapshot(at_open_); }

RecordStateItem::~RecordStateItem() {
    for (auto const &path : temp_files_) {
        // The temporary-file table removes the private directory it made for the file, and no
        // other: a content file that sits in a shared directory leaves that directory alone.
        ignoring_failures([&] { Nul::Fileutl::delete_tmp_file(path); });
    }
    ignoring_failures([&] {
        if (entity_ && entity_->IsEditable()) entity_->Revert();
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
        into[from_cstring(name)] = entity_->GetFieldRequiredness(name, 0);
    }
}

bool RecordStateItem::differs(Snapshot const &from, Nul::UString const &field) const {
    auto it = from.find(field);
    if (it == from.end() || !entity_) return false;
    return entity_->GetFieldRequiredness(CString(field.c_str()), 0) != it->second;
}

bool RecordStateItem::requiredness_changed(Nul::UString const &field) const { return differs(at_report_, field); }

bool RecordStateItem::requiredness_changed_since_open(Nul::UString const &field) const {
    return differs(at_open_, field);
}

void RecordStateItem::refresh_requiredness() { take_snapshot(at_report_); }

void RecordStateItem::add_temp_file(Nul::UString const &path) { temp_files_.push_back(path); }

// ---- QueryItemStateItem

QueryItemStateItem::QueryItemStateItem(Nul::UString const &name, AdQueryDefPtr const &query_def,
                                       AdBucketPtr const &bucket, int item_type)
    : name_(name), item_type_(item_type), query_def_(query_def), bucket_(bucket) {}

QueryItemStateItem::QueryItemStateItem(Nul::UString const &name, int item_type) : name_(name), item_type_(item_type) {}

QueryItemStateItem::QueryItemStateItem(Nul::UString const &name, KXSmartPtr<KXReportDef> const &report_def,
                                       int item_type)
    : name_(name), item_type_(item_type), report_def_(report_def) {}

QueryItemStateItem::QueryItemStateItem(Nul::UString const &name, char const *data, std::size_t length, int item_type)
    : name_(name), item_type_(item_type), data_(new char[length + 1]), data_length_(length) {
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

std::unique_ptr<char[]> QueryItemStateItem::copy_data() const {
    std::unique_ptr<char[]> copy(new char[data_length_ + 1]);
    if (data_length_ > 0) std::memcpy(copy.get(), data_.get(), data_length_);
    copy[data_length_] = '\0';
    return copy;
}

// ---- FieldChangedTracker

FieldChangedTracker::FieldChangedTracker(RecordStateItem &record) : record_(record) {}

FieldChangedTracker::~FieldChangedTracker() {
    if (tracking_) ignoring_failures([&] { stop_tracking(); });
}

void FieldChangedTracker::start_tracking() {
    record_.refresh_requiredness();
    AdEntityPtr const &entity = record_.entity();
    if (!entity || entity->GetEntityDef() == nullptr) return;
    AdIterator<AdFieldDef> fields = entity->GetEntityDef()->GetFieldDefs();
    tracking_ = true;
    for (int i = 0; i < fields.GetLength(); ++i) {
        if (AdFieldDef *field = fields.GetItem(i))
            entity->SetFieldUpdateCallback(field->GetName(), &FieldChangedTracker::on_field_update, this, 0);
    }
}

void FieldChangedTracker::stop_tracking() {
    tracking_ = false;
    if (record_.entity()) record_.entity()->ClearAllFieldUpdateCallbacks();
}

void FieldChangedTracker::set_changed(Nul::UString const &name, int value_type) {
    Entry &entry = entries_[name];
    entry.value_type = value_type;
    entry.flags |= VALUE_CHANGED;
}

void FieldChangedTracker::on_field_update(AdEntity *, AdFieldInfo const &info, void *context) {
    // Called from inside the product: nothing may escape.
    try {
        static_cast<FieldChangedTracker *>(context)->field_updated(info);
    } catch (...) {
        ignore_current_exception(std::source_location::current());
    }
}

void FieldChangedTracker::field_updated(AdFieldInfo const &info) {
    Nul::UString name = from_cstring(info.GetName());
    Entry &entry = entries_[name];
    entry.value_type = info.GetType();
    if (info.ValueChangedThisSetValue()) entry.flags |= VALUE_CHANGED;
    if (info.ValidityChangedThisSetValue()) entry.flags |= VALIDITY_CHANGED;
    if (record_.requiredness_changed(name)) entry.flags |= REQUIREDNESS_CHANGED;
}

bool_t FieldChangedTracker::xdr(XDR *xdrs) {
    if (xdrs->x_op != XDR_ENCODE) return FALSE;
    try {
        int count = static_cast<int>(entries_.size());
        if (!xdr_int(xdrs, &count)) return FALSE;
        for (auto const &[field, entry] : entries_) {
            Nul::UString name = field;
            if (!xdr_ustring(xdrs, name)) return FALSE;
            enum_t tag = field_value_tag(entry.value_type);
            if (!xdr_enum(xdrs, &tag)) return FALSE;
            u_int flags = entry.flags;
            if (!xdr_u_int(xdrs, &flags)) return FALSE;
        }
        return TRUE;
    } catch (...) {
        return FALSE;
    }
}

} // namespace KxRpc
