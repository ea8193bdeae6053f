#include "props/field_tracker.h"

#include "wire/conversions.h"
#include "wire/fieldtypes.h"
#include "wire/product_failure.h"
#include "wire/trace.h"
#include "wire/xdr.h"

namespace KxRpc {

namespace {} // namespace

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
    ignoring_failures([&] { static_cast<FieldChangedTracker *>(context)->field_updated(info); });
}

void FieldChangedTracker::field_updated(AdFieldInfo const &info) {
    Nul::UString name = ustr(info.GetName());
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
        return hold_failure(xdrs, L"FieldChangedTracker::xdr");
    }
}

} // namespace KxRpc
