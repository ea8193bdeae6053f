#include "props/attachprops.h"

#include "props/value_tags.h"
#include "props/values.h"
#include "target/attachments.h"
#include "tesutil/selector.h"
#include "tesutil/xmltag.h"
#include "wire/casts.h"
#include "wire/conversions.h"
#include "wire/exceptions.h"
#include "wire/textfmt.h"

namespace KxRpc {

namespace {

using Nul::XmlTag;

enum : int { E_CHILD_MAP = 950, E_INTEGER = 956, E_RESOURCE_LIST = 967 };
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
    case XmlTag::TEAMPVT_dbid:
        return stored ? out.record_int(static_cast<int>(a.dbid())) : out.record_empty(XmlTag::MPT_integer);
    case XmlTag::CTG_size:
        return stored ? out.record_int(a.size()) : out.record_empty(XmlTag::MPT_integer);
    case XmlTag::CTG_description:
    case XmlTag::TEAM_comment:
        return out.record_ustring(a.description());
    case XmlTag::CTG_file_name:
    case XmlTag::TEAM_display_name:
        return out.record_ustring(a.file_name());
    default:
        break;
    }
    Place const p = place_of(a.folder());
    switch (prop_id) {
    case XmlTag::TEAMPVT_object_id:
        return out.record_ustring(folder_ids(p) + Nul::UString(L"/") + decimal(static_cast<long>(a.dbid())));
    case XmlTag::CTG_object_name:
        return out.record_ustring(folder_names(p, a.folder()) + Nul::UString(L"/") +
                                  Nul::Selector::encode_segment(a.file_name()));
    case XmlTag::CTG_parent_field:
        return out.record_resource(PV_REF_FIELD_DEF, p.rectype, p.field, 0, 0);
    case XmlTag::CTG_parent_folder:
        return out.record_resource(PV_REF_ATTACHMENT_FOLDER, p.rectype, p.record, p.field, 0);
    case XmlTag::CTG_parent_list:
        out.start_list_property_values(PV_REF_ATTACHMENT_FOLDER);
        out.record_resource(PV_REF_ATTACHMENT_FOLDER, p.rectype, p.record, p.field, 0);
        return out.end_list_property_values();
    default:
        PropsResource::fetch_prop(out, prop_id);
    }
}

void AttachmentProps::put_prop(BasePropValue &value) {
    int const id = value.prop_id();
    if (value.is_type_100015()) raise_reason(is_supported_prop(id) ? Reason::refused : Reason::unknown_property);
    if (id != XmlTag::CTG_description) return PropsResource::put_prop(value);
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
    case XmlTag::CTG_attachment_list:
    case XmlTag::CTG_child_list:
        return fetch_children(out, false);
    case XmlTag::CTG_child_map:
        return fetch_children(out, true);
    case XmlTag::TEAMPVT_dbid:
        return out.record_int(static_cast<int>(folder_->field_dbid()));
    case XmlTag::TEAM_display_name:
        return out.record_ustring(folder_->field_name());
    default:
        break;
    }
    Place const p = place_of(*folder_);
    switch (prop_id) {
    case XmlTag::TEAMPVT_object_id:
        return out.record_ustring(folder_ids(p));
    case XmlTag::CTG_object_name:
        return out.record_ustring(folder_names(p, *folder_));
    case XmlTag::CTG_parent_field:
        return out.record_resource(PV_REF_FIELD_DEF, p.rectype, p.field, 0, 0);
    case XmlTag::CTG_parent_record:
        return out.record_resource(PV_REF_RECORD, p.rectype, p.record, 0, 0);
    case XmlTag::CTG_parent_record_type:
        return out.record_resource(PV_REF_RECTYPE, p.rectype, 0, 0, 0);
    default:
        PropsResource::fetch_prop(out, prop_id);
    }
}

void AttachmentFolderProps::fetch_children(FetchPropResponses &out, bool as_map) {
    std::vector<Attachment> const all = folder_->attachments();
    if (all.empty()) return out.record_empty(as_map ? XmlTag::MPT_child_map : XmlTag::MPT_resource_list);
    Place const p = place_of(*folder_);
    out.start_list_property_values(as_map ? PV_CHILD_BINDING : PV_ATTACHMENT);
    for (Attachment const &a : all) {
        if (as_map)
            out.record_attachment_full_binding(PV_CHILD_BINDING, a.file_name(), full(p, *folder_, a));
        else
            out.record_attachment_full(full(p, *folder_, a));
    }
    out.end_list_property_values();
}

} // namespace KxRpc
