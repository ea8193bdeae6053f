// TargetResourceArg: construction, copies, XDR and trace text; the encoder of targets in error records.
#include "target/target.h"

#include <string>

#include "wire/conversions.h"
#include "wire/decode_budget.h"
#include "wire/exceptions.h"
#include "wire/product_failure.h"
#include "wire/xdr.h"

namespace KxRpc {

namespace {

constexpr int RECTYPE = 0, TARGET_NAME = 1, FOLDER = 2, ATTACHMENT = 3;

// Which segments a target of this code carries on the wire, first to last: a bit per segment.
unsigned wire_segments(int type, int marshall_type) {
    switch (type) {
    case TT_RECTYPE:
        return 1u << RECTYPE;
    case TT_RECORD:
    case TT_FIELDDEF:
    case TT_ACTION:
    case TT_FORM:
    case TT_HOOK:
        return (1u << RECTYPE) | (1u << TARGET_NAME);
    case TT_REPLICA:
    case TT_QUERY:
    case TT_QUERY_FOLDER:
    case TT_REPORT:
    case TT_REPORT_FORMAT:
    case TT_DYNAMIC_LIST:
    case TT_CURRENT_USER:
    case TT_USER:
    case TT_GROUP:
        return 1u << TARGET_NAME;
    case TT_ATTACHMENT:
        return 0xFu;
    case TT_ATTACHMENT_FOLDER:
        return 0x7u;
    case TT_GLOBAL_HOOK:
        return marshall_type == TargetResourceArg::BY_NAME ? 1u << TARGET_NAME : 0u;
    default:
        return 0;
    }
}

bool is_owning_code(int type) {
    switch (type) {
    case TT_DBSET:
    case TT_USERDB:
    case TT_RECTYPE:
    case TT_RECORD:
    case TT_QUERY:
    case TT_QUERY_FOLDER:
    case TT_REPORT:
    case TT_REPORT_FORMAT:
    case TT_USER:
    case TT_GROUP:
        return true;
    default:
        return false;
    }
}

u_int low_dbid(std::int64_t dbid) { return static_cast<u_int>(dbid); }

Nul::UString text_of(std::string const &s) { return Nul::UString(Nul::Utf8String(s)); }

} // namespace

TargetResourceArg::TargetResourceArg() = default;

TargetResourceArg::TargetResourceArg(int type) : op_type_(type) {}

TargetResourceArg::TargetResourceArg(int type, Nul::UString const &name) : marshall_type_(BY_NAME), op_type_(type) {
    names_[RECTYPE] = std::make_unique<Nul::UString>(name);
}

TargetResourceArg::TargetResourceArg(int type, Nul::UString const &name1, Nul::UString const &name2)
    : marshall_type_(BY_NAME), op_type_(type) {
    names_[RECTYPE] = std::make_unique<Nul::UString>(name1);
    names_[TARGET_NAME] = std::make_unique<Nul::UString>(name2);
}

TargetResourceArg::TargetResourceArg(int type, u_int dbid1, u_int dbid2) : marshall_type_(BY_DBID), op_type_(type) {
    dbids_[RECTYPE] = dbid1;
    dbids_[TARGET_NAME] = dbid2;
}

TargetResourceArg::TargetResourceArg(int type, StateItemPtr const &item)
    : marshall_type_(BY_STATE_ITEM), op_type_(type), state_item_(item) {}

TargetResourceArg::TargetResourceArg(KXSmartPtr<KXDatabaseDesc> const &userdb) : op_type_(TT_USERDB), owned_(userdb) {}

TargetResourceArg::TargetResourceArg(KXSmartPtr<KXEntityDef> const &rectype) : op_type_(TT_RECTYPE), owned_(rectype) {
    if (rectype) rectype_ref_ = rectype->GetReal();
}

TargetResourceArg::TargetResourceArg(AdEntityPtr const &record) : op_type_(TT_RECORD), owned_(record) {}

TargetResourceArg::TargetResourceArg(AdFieldDef *field) : op_type_(TT_FIELDDEF), borrowed_(field) {}

TargetResourceArg::TargetResourceArg(AdActionDef *action) : op_type_(TT_ACTION), borrowed_(action) {}

TargetResourceArg::TargetResourceArg(AdFormDef *form) : op_type_(TT_FORM), borrowed_(form) {}

TargetResourceArg::TargetResourceArg(AdEntityDef *rectype, AdHookDef *hook)
    : op_type_(TT_HOOK), rectype_ref_(rectype), borrowed_(hook) {}

TargetResourceArg::TargetResourceArg(AdListDef *list) : op_type_(TT_DYNAMIC_LIST), borrowed_(list) {}

TargetResourceArg::TargetResourceArg(AdReplica *replica) : op_type_(TT_REPLICA), borrowed_(replica) {}

TargetResourceArg::TargetResourceArg(int type, KXObject *object) : op_type_(type) {
    if (is_owning_code(type))
        owned_ = object;
    else
        borrowed_ = object;
}

TargetResourceArg::TargetResourceArg(TargetResourceArg const &other)
    : XdrObject(other), KxRpcResource(other), marshall_type_(other.marshall_type_), op_type_(other.op_type_),
      rectype_ref_(other.rectype_ref_) {
    copy_from(other);
}

TargetResourceArg &TargetResourceArg::operator=(TargetResourceArg const &other) {
    if (this == &other) return *this;
    clear();
    marshall_type_ = other.marshall_type_;
    op_type_ = other.op_type_;
    rectype_ref_ = other.rectype_ref_;
    copy_from(other);
    return *this;
}

TargetResourceArg::~TargetResourceArg() = default;

bool TargetResourceArg::owns_code() const { return is_owning_code(op_type_); }

// Segments are deep-copied; the cached object goes with the copy (a new counted reference, or
// a copy of the folder or attachment), so a copy of a resolved target still addresses it.
void TargetResourceArg::copy_from(TargetResourceArg const &other) {
    for (int i = 0; i < 4; ++i) {
        if (other.names_[i]) names_[i] = std::make_unique<Nul::UString>(*other.names_[i]);
        dbids_[i] = other.dbids_[i];
    }
    state_item_ = other.state_item_;
    aux_marshall_type_ = other.aux_marshall_type_;
    owned_ = other.owned_;
    borrowed_ = other.borrowed_;
    if (other.folder_) folder_ = std::make_unique<AttachmentFolder>(*other.folder_);
    if (other.attachment_) attachment_ = std::make_unique<Attachment>(*other.attachment_);
    if (other.current_user_) current_user_ = std::make_unique<CurrentUserInfo>(*other.current_user_);
}

void TargetResourceArg::release_segments() {
    for (int i = 0; i < 4; ++i) {
        names_[i].reset();
        dbids_[i] = 0;
    }
    state_item_.reset();
    aux_marshall_type_ = 0;
}

void TargetResourceArg::release_cached() {
    owned_ = nullptr;
    borrowed_ = nullptr;
    folder_.reset();
    attachment_.reset();
    current_user_.reset();
}

void TargetResourceArg::clear() {
    release_segments();
    release_cached();
    marshall_type_ = NOT_MARSHALLED;
}

StateItem *TargetResourceArg::state_item_or_fail() const {
    if (!state_item_) throw_internal_error(L"Invalid Pointer");
    return state_item_.get();
}

Nul::UString const *TargetResourceArg::name_segment(int i) const {
    if (marshall_type_ != BY_NAME || i < 0 || i > 3) return nullptr;
    return names_[i].get();
}

Nul::UString TargetResourceArg::first_name_segment() const {
    Nul::UString const *s = name_segment(RECTYPE);
    return s ? *s : Nul::UString();
}

Nul::UString TargetResourceArg::second_name_segment() const {
    Nul::UString const *s = name_segment(TARGET_NAME);
    return s ? *s : Nul::UString();
}

Nul::UString TargetResourceArg::first_dbid_text() const {
    return marshall_type_ == BY_DBID ? number_to_ustring(static_cast<long>(dbids_[RECTYPE])) : Nul::UString();
}

Nul::UString TargetResourceArg::second_dbid_text() const {
    return marshall_type_ == BY_DBID ? number_to_ustring(static_cast<long>(dbids_[TARGET_NAME])) : Nul::UString();
}

Nul::UString TargetResourceArg::hook_name() const {
    if (op_type_ != TT_HOOK && op_type_ != TT_GLOBAL_HOOK) throw_internal_error(L"type not HOOK");
    return second_name_segment();
}

void TargetResourceArg::fill_dbids_from_cached() {
    KXObject *object = cached_object();
    auto set = [this](int i, std::int64_t dbid) { dbids_[i] = low_dbid(dbid); };
    switch (op_type_) {
    case TT_RECTYPE:
        if (auto *def = static_cast<KXEntityDef *>(object); def && def->GetReal())
            set(RECTYPE, def->GetReal()->GetDbId());
        break;
    case TT_RECORD:
        if (auto *record = static_cast<AdEntity *>(object)) {
            if (record->GetEntityDef()) set(RECTYPE, record->GetEntityDef()->GetDbId());
            set(TARGET_NAME, record->GetDbId());
        }
        break;
    case TT_REPLICA:
        if (object) set(TARGET_NAME, static_cast<AdReplica *>(object)->GetDbId());
        break;
    case TT_DYNAMIC_LIST:
    case TT_QUERY:
    case TT_QUERY_FOLDER:
    case TT_REPORT:
    case TT_REPORT_FORMAT:
        if (object) set(TARGET_NAME, static_cast<AdDataObject *>(object)->GetDbId());
        break;
    case TT_FIELDDEF:
        if (auto *field = static_cast<AdFieldDef *>(object)) {
            if (field->GetEntityDef()) set(RECTYPE, field->GetEntityDef()->GetDbId());
            set(TARGET_NAME, field->GetDbId());
        }
        break;
    case TT_ACTION:
        if (auto *action = static_cast<AdActionDef *>(object)) {
            if (action->GetEntityDef()) set(RECTYPE, action->GetEntityDef()->GetDbId());
            set(TARGET_NAME, action->GetDbId());
        }
        break;
    case TT_FORM:
        if (auto *form = static_cast<AdFormDef *>(object)) {
            if (form->GetEntityDef()) set(RECTYPE, form->GetEntityDef()->GetDbId());
            set(TARGET_NAME, form->GetDbId());
        }
        break;
    case TT_HOOK:
        if (object) {
            if (rectype_ref_) set(RECTYPE, rectype_ref_->GetDbId());
            set(TARGET_NAME, static_cast<AdHookDef *>(object)->GetDbId());
        }
        break;
    case TT_ATTACHMENT:
    case TT_ATTACHMENT_FOLDER: {
        AttachmentFolder const *folder =
            op_type_ == TT_ATTACHMENT ? (attachment_ ? &attachment_->folder() : nullptr) : folder_.get();
        if (!folder) break;
        if (AdEntityPtr const &record = folder->entity()) {
            if (record->GetEntityDef()) set(RECTYPE, record->GetEntityDef()->GetDbId());
            set(TARGET_NAME, record->GetDbId());
        }
        set(FOLDER, folder->field_dbid());
        if (op_type_ == TT_ATTACHMENT) set(ATTACHMENT, attachment_->dbid());
        break;
    }
    case TT_CURRENT_USER:
        if (current_user_) set(TARGET_NAME, current_user_->dbid);
        break;
    case TT_USER:
        if (object) set(TARGET_NAME, static_cast<KXUser *>(object)->GetDbId());
        break;
    case TT_GROUP:
        if (object) set(TARGET_NAME, static_cast<KXGroup *>(object)->GetDbId());
        break;
    default:
        break;
    }
}

bool_t TargetResourceArg::xdr(XDR *xdrs) {
    if (xdrs->x_op == XDR_FREE) return TRUE;
    try {
        return encode_or_decode(xdrs);
    } catch (...) {
        return hold_failure(xdrs, L"TargetResourceArg::xdr");
    }
}

bool_t TargetResourceArg::encode_or_decode(XDR *xdrs) {
    if (op_type_ == TT_NONE) return FALSE;
    if (op_type_ == TT_DBSET || op_type_ == TT_USERDB) return TRUE;

    bool const encoding = xdrs->x_op == XDR_ENCODE;
    int marshall = marshall_type_;
    if (encoding && marshall == NOT_MARSHALLED) {
        bool const cached = cached_object() != nullptr || folder_ || attachment_ || current_user_;
        if (cached) {
            fill_dbids_from_cached();
            marshall_type_ = marshall = BY_DBID;
        }
    }
    if (!xdr_enum(xdrs, reinterpret_cast<enum_t *>(&marshall))) return FALSE;
    marshall_type_ = marshall;

    switch (marshall_type_) {
    case BY_NAME: {
        unsigned const places = wire_segments(op_type_, BY_NAME);
        for (int i = 0; i < 4; ++i) {
            if (!(places & (1u << i))) continue;
            if (encoding) {
                Nul::UString value = names_[i] ? *names_[i] : Nul::UString();
                if (!xdr_ustring(xdrs, value)) return FALSE;
            } else {
                if (!charge_decoded(heap_cost(sizeof(Nul::UString)))) return FALSE;
                names_[i] = std::make_unique<Nul::UString>();
                if (!xdr_ustring(xdrs, *names_[i])) return FALSE;
            }
        }
        return TRUE;
    }
    case BY_DBID: {
        unsigned const places = wire_segments(op_type_, BY_DBID);
        for (int i = 0; i < 4; ++i)
            if ((places & (1u << i)) && !xdr_u_int(xdrs, &dbids_[i])) return FALSE;
        return TRUE;
    }
    case BY_STATE_ITEM:
        if (!xdr_state_handle(xdrs, state_item_)) return FALSE;
        if (op_type_ != TT_ATTACHMENT_FOLDER) return TRUE;
        if (!xdr_enum(xdrs, reinterpret_cast<enum_t *>(&aux_marshall_type_))) return FALSE;
        if (aux_marshall_type_ == BY_NAME) {
            if (encoding) {
                Nul::UString value = names_[FOLDER] ? *names_[FOLDER] : Nul::UString();
                return xdr_ustring(xdrs, value);
            }
            if (!charge_decoded(heap_cost(sizeof(Nul::UString)))) return FALSE;
            names_[FOLDER] = std::make_unique<Nul::UString>();
            return xdr_ustring(xdrs, *names_[FOLDER]);
        }
        return xdr_u_int(xdrs, &dbids_[FOLDER]);
    default:
        return TRUE;
    }
}

Nul::UString TargetResourceArg::trace_line() {
    std::string line = "op_type(" + std::to_string(op_type_) + ")";
    Nul::UString text = text_of(line);
    auto name_or_null = [](Nul::UString const *s) { return s ? *s : Nul::UString(L"NULL"); };
    switch (marshall_type_) {
    case NOT_MARSHALLED:
        text.append(L" not_marshalled");
        break;
    case BY_NAME:
        text.append(L" rectype(").append(name_or_null(names_[RECTYPE].get()));
        text.append(L") target_name(").append(name_or_null(names_[TARGET_NAME].get()));
        text.append(L") attachment_folder(").append(name_or_null(names_[FOLDER].get()));
        text.append(L") attachment(").append(name_or_null(names_[ATTACHMENT].get())).append(L")");
        break;
    case BY_DBID:
        text.append(text_of(" rectype(" + std::to_string(static_cast<int>(dbids_[RECTYPE])) + ") target_name(" +
                            std::to_string(static_cast<int>(dbids_[TARGET_NAME])) + ") attachment_folder(" +
                            std::to_string(static_cast<int>(dbids_[FOLDER])) + ") attachment(" +
                            std::to_string(static_cast<int>(dbids_[ATTACHMENT])) + ")"));
        break;
    case BY_STATE_ITEM:
        text.append(L" stateitem(")
            .append(state_item_ ? state_item_->oid().dense_str() : Nul::UString(L"NULL"))
            .append(text_of(") aux_marshall_type(" + std::to_string(aux_marshall_type_) + ")"));
        if (aux_marshall_type_ == BY_NAME)
            text.append(L" aux_info_name(").append(name_or_null(names_[FOLDER].get())).append(L")");
        else if (aux_marshall_type_ == BY_DBID)
            text.append(text_of(" aux_info_dbid(" + std::to_string(static_cast<int>(dbids_[FOLDER])) + ")"));
        break;
    default:
        break;
    }
    return text;
}

// ---- KxRpcResourceEncoder

KxRpcResourceEncoder::~KxRpcResourceEncoder() = default;

bool KxRpcResourceEncoder::wire_code(int type, int &code) {
    if (type < TT_DBSET || type > TT_GLOBAL_HOOK) return false;
    if (type == TT_UNUSED_33 || type == TT_UNUSED_49 || type == TT_UNUSED_50) return false;
    code = type - 1;
    return true;
}

bool KxRpcResourceEncoder::encode(XDR *xdrs, Nul::Resource const *resource) {
    if (xdrs->x_op != XDR_ENCODE) return false;
    auto const *target = dynamic_cast<TargetResourceArg const *>(resource);
    if (target == nullptr) return false;
    enum_t code = 0;
    int wire = 0;
    if (!wire_code(target->type(), wire)) return false;
    code = wire;
    // Encoding may fill the dbids of a resolved target; the exception's own copy stays as it was.
    TargetResourceArg copy(*target);
    return xdr_enum(xdrs, &code) && copy.xdr(xdrs);
}

} // namespace KxRpc
