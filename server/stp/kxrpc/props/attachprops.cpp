#include "props/attachprops.h"

#include "props/values.h"
#include "tesutil/selector.h"
#include "target/attachments.h"
#include "wire/casts.h"
#include "wire/conversions.h"
#include "wire/exceptions.h"
#include "wire/textfmt.h"

namespace KxRpc {

namespace {

enum : int {
    P_ATTACHMENT_LIST = 320,
    P_CHILD_LIST = 352,
    P_CHILD_MAP = 353,
    P_DBID = 385,
    P_DESCRIPTION = 401,
    P_FILE_NAME = 447,
    P_OBJECT_ID = 576,
    P_OBJECT_NAME = 578,
    P_PARENT_FIELD = 593,
    P_PARENT_FOLDER = 594,
    P_PARENT_LIST = 595,
    P_PARENT_RECORD = 599,
    P_PARENT_RECORD_TYPE = 600,
    P_SIZE = 685,
    P_COMMENT = 1044,
    P_DISPLAY_NAME = 1061,
};

enum : int {
    R_RECTYPE = 31,
    R_RECORD = 32,
    R_FIELDDEF = 34,
    R_ATTACHMENT_FOLDER = 44, // the parent folder of an attachment, and the list of it
    R_ATTACHMENT_FULL = 55,
    R_BINDING = 100020,
};

enum : int { E_CHILD_MAP = 950, E_INTEGER = 956, E_RESOURCE_LIST = 967 };
enum : int { R_NOT_APPLICABLE = 31, R_UNKNOWN_PROPERTY = 64 };

// The dbids and names that place a folder: its record type, record and field.
struct Place {
    int rectype, record, field;
    Nul::UString rectype_name, record_name;
};

Place place_of(AttachmentFolder const &folder) {
    AdEntityPtr const &record = folder.entity();
    AdEntityDef *def = record ? record->GetEntityDef() : nullptr;
    if (def == nullptr) throw_internal_error(Nul::UString(L"Invalid Pointer"));
    return {static_cast<int>(def->GetDbId()), static_cast<int>(record->GetDbId()),
            static_cast<int>(folder.field_dbid()), ustr(def->GetName()), ustr(record->GetDisplayName())};
}

Nul::UString decimal(long n) { return number_to_ustring(n); }

// "rectype/record/field" in dbids or in selector segments.
Nul::UString folder_ids(Place const &p) {
    return decimal(p.rectype) + Nul::UString(L"/") + decimal(p.record) + Nul::UString(L"/") + decimal(p.field);
}

Nul::UString folder_names(Place const &p, AttachmentFolder const &folder) {
    return Nul::Selector::encode_segment(p.rectype_name) + Nul::UString(L"/") +
           Nul::Selector::encode_segment(p.record_name) + Nul::UString(L"/") +
           Nul::Selector::encode_segment(folder.field_name());
}

FullAttachment full(Place const &p, AttachmentFolder const &folder, Attachment const &a) {
    FullAttachment f;
    f.rectype_id = static_cast<u_int>(p.rectype);
    f.record_id = static_cast<u_int>(p.record);
    f.field_id = static_cast<u_int>(p.field);
    f.attachment_id = static_cast<u_int>(a.dbid());
    f.rectype_name = p.rectype_name;
    f.record_name = p.record_name;
    f.field_name = folder.field_name();
    f.attachment_name = a.file_name();
    f.size = a.size();
    f.description = a.description();
    return f;
}

} // namespace

// ---- AttachmentProps

AttachmentProps::AttachmentProps(LoginSession *session, Attachment *attachment)
    : PropsResource(session), attachment_(attachment) {
    if (attachment_ == nullptr) throw_internal_error(Nul::UString(L"Invalid Pointer"));
}

AttachmentProps::~AttachmentProps() = default;

Nul::UString AttachmentProps::describe() {
    return text_format("AttachmentProps: (attach:%s)", attachment_->to_string());
}

std::set<int> const &AttachmentProps::supported_properties() {
    static std::set<int> const ids = with_base_properties({385, 1044, 401, 447, 576, 578, 593, 594, 595, 685, 1061});
    return ids;
}

void AttachmentProps::fetch_prop(FetchPropResponses &out, int prop_id) {
    Attachment const &a = *attachment_;
    bool const stored = a.dbid() != 0;
    switch (prop_id) {
    case P_DBID:
        return stored ? out.record_int(static_cast<int>(a.dbid())) : out.record_empty(E_INTEGER);
    case P_SIZE:
        return stored ? out.record_int(a.size()) : out.record_empty(E_INTEGER);
    case P_DESCRIPTION:
    case P_COMMENT:
        return out.record_ustring(a.description());
    case P_FILE_NAME:
    case P_DISPLAY_NAME:
        return out.record_ustring(a.file_name());
    default:
        break;
    }
    Place const p = place_of(a.folder());
    switch (prop_id) {
    case P_OBJECT_ID:
        return out.record_ustring(folder_ids(p) + Nul::UString(L"/") + decimal(static_cast<long>(a.dbid())));
    case P_OBJECT_NAME:
        return out.record_ustring(folder_names(p, a.folder()) + Nul::UString(L"/") +
                                  Nul::Selector::encode_segment(a.file_name()));
    case P_PARENT_FIELD:
        return out.record_resource(R_FIELDDEF, p.rectype, p.field, 0, 0);
    case P_PARENT_FOLDER:
        return out.record_resource(R_ATTACHMENT_FOLDER, p.rectype, p.record, p.field, 0);
    case P_PARENT_LIST:
        out.start_list_property_values(R_ATTACHMENT_FOLDER);
        out.record_resource(R_ATTACHMENT_FOLDER, p.rectype, p.record, p.field, 0);
        return out.end_list_property_values();
    default:
        PropsResource::fetch_prop(out, prop_id);
    }
}

void AttachmentProps::put_prop(BasePropValue &value) {
    int const id = value.prop_id();
    if (value.is_type_100015())
        throw Nul::STPException(reason(is_supported_prop(id) ? R_NOT_APPLICABLE : R_UNKNOWN_PROPERTY),
                                Nul::UMessage::nil);
    if (id != P_DESCRIPTION) return PropsResource::put_prop(value);
    // The product hears of it when the change batch commits the attachment.
    if (value.is_empty_value()) return;
    auto *text = dynamic_cast<PropValue<Nul::UString> *>(&value);
    if (text == nullptr) throw_internal_error(Nul::UString(L"Invalid value"));
    attachment_->set_description(text->value);
}

// ---- AttachmentFolderProps

AttachmentFolderProps::AttachmentFolderProps(LoginSession *session, AttachmentFolder *folder)
    : PropsResource(session), folder_(folder) {
    if (folder_ == nullptr) throw_internal_error(Nul::UString(L"Invalid Pointer"));
}

AttachmentFolderProps::~AttachmentFolderProps() = default;

Nul::UString AttachmentFolderProps::describe() {
    return text_format("AttachmentFolderProps: (name:%s)", folder_->field_name());
}

std::set<int> const &AttachmentFolderProps::supported_properties() {
    static std::set<int> const ids = with_base_properties({320, 385, 352, 353, 576, 578, 593, 599, 600, 1061});
    return ids;
}

void AttachmentFolderProps::fetch_prop(FetchPropResponses &out, int prop_id) {
    switch (prop_id) {
    case P_ATTACHMENT_LIST:
    case P_CHILD_LIST:
        return fetch_children(out, false);
    case P_CHILD_MAP:
        return fetch_children(out, true);
    case P_DBID:
        return out.record_int(static_cast<int>(folder_->field_dbid()));
    case P_DISPLAY_NAME:
        return out.record_ustring(folder_->field_name());
    default:
        break;
    }
    Place const p = place_of(*folder_);
    switch (prop_id) {
    case P_OBJECT_ID:
        return out.record_ustring(folder_ids(p));
    case P_OBJECT_NAME:
        return out.record_ustring(folder_names(p, *folder_));
    case P_PARENT_FIELD:
        return out.record_resource(R_FIELDDEF, p.rectype, p.field, 0, 0);
    case P_PARENT_RECORD:
        return out.record_resource(R_RECORD, p.rectype, p.record, 0, 0);
    case P_PARENT_RECORD_TYPE:
        return out.record_resource(R_RECTYPE, p.rectype, 0, 0, 0);
    default:
        PropsResource::fetch_prop(out, prop_id);
    }
}

void AttachmentFolderProps::fetch_children(FetchPropResponses &out, bool as_map) {
    std::vector<Attachment> const all = folder_->attachments();
    if (all.empty()) return out.record_empty(as_map ? E_CHILD_MAP : E_RESOURCE_LIST);
    Place const p = place_of(*folder_);
    out.start_list_property_values(as_map ? R_BINDING : R_ATTACHMENT_FULL);
    for (Attachment const &a : all) {
        if (as_map)
            out.record_attachment_full_binding(R_BINDING, a.file_name(), full(p, *folder_, a));
        else
            out.record_attachment_full(full(p, *folder_, a));
    }
    out.end_list_property_values();
}

} // namespace KxRpc
