// Which fields of a record changed while a put applied values, for the put reply.
#pragma once

#include <map>

#include "target/held_items.h"
#include "tesutil/ustring.h"
#include "wire/xdrobject.h"

namespace KxRpc {

// Which fields of a record changed while a put applied values, for the reply.
class FieldChangedTracker : public XdrObject {
public:
    enum Flags : unsigned { VALUE_CHANGED = 1, VALIDITY_CHANGED = 2, REQUIREDNESS_CHANGED = 4 };
    struct Entry {
        int value_type = 0;
        unsigned flags = 0;
    };

    explicit FieldChangedTracker(RecordStateItem &record);
    ~FieldChangedTracker() override;
    void start_tracking();
    void stop_tracking();
    void set_changed(Nul::UString const &name, int value_type);
    // Encode only: count, then per field in name order its name, value-type tag and flags.
    bool_t xdr(XDR *xdrs) override;
    std::map<Nul::UString, Entry> const &entries() const { return entries_; }

private:
    static void on_field_update(AdEntity *entity, AdFieldInfo const &info, void *context);
    void field_updated(AdFieldInfo const &info);

    RecordStateItem &record_;
    std::map<Nul::UString, Entry> entries_;
    bool tracking_ = false;
};

} // namespace KxRpc
