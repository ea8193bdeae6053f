// The text form of a target (a resource selector) and its ARM target text.
#include <vector>

#include "target/held_items.h"
#include "target/target.h"
#include "tesutil/selector.h"
#include "tesutil/xmltag_ids.h"
#include "wire/casts.h"
#include "wire/conversions.h"

namespace KxRpc {

namespace {

using Nul::Selector;

Nul::UString joined(std::vector<Nul::UString> const &parts) {
    Nul::UString text;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (i) text.append(L"/");
        text.append(parts[i]);
    }
    return text;
}

Nul::UString escaped(Nul::UString const *s) { return s ? Selector::encode_segment(*s) : Nul::UString(); }

Nul::UString escaped(CString const &s) { return Selector::encode_segment(ustr(s)); }

Nul::UString decimal(std::int64_t n) { return number_to_ustring(static_cast<long>(n)); }

// Segments used by the text form, by code: 1 rectype, 2 target_name, 3 folder, 4 attachment.
std::vector<int> text_segments(int type) {
    switch (type) {
    case TT_RECTYPE:
        return {0};
    case TT_RECORD:
    case TT_FIELDDEF:
    case TT_ACTION:
    case TT_FORM:
    case TT_HOOK:
        return {0, 1};
    case TT_ATTACHMENT_FOLDER:
        return {0, 1, 2};
    case TT_ATTACHMENT:
        return {0, 1, 2, 3};
    case TT_DBSET:
    case TT_USERDB:
        return {};
    default:
        return {1};
    }
}

bool name_namespace(int type, Selector::namespace_t &ns) {
    switch (type) {
    case TT_DBSET:
        ns = Selector::NS_DBSET;
        return true;
    case TT_USERDB:
        ns = Selector::NS_USERDB;
        return true;
    case TT_RECTYPE:
    case TT_RECORD:
    case TT_ATTACHMENT:
    case TT_ATTACHMENT_FOLDER:
        ns = Selector::NS_RECORD;
        return true;
    case TT_FIELDDEF:
        ns = Selector::NS_FIELD;
        return true;
    case TT_ACTION:
        ns = Selector::NS_ACTION;
        return true;
    case TT_FORM:
        ns = Selector::NS_FORM;
        return true;
    case TT_HOOK:
    case TT_GLOBAL_HOOK:
        ns = Selector::NS_HOOK;
        return true;
    case TT_DYNAMIC_LIST:
        ns = Selector::NS_CHOICELIST;
        return true;
    case TT_QUERY:
    case TT_QUERY_FOLDER:
    case TT_REPORT:
    case TT_REPORT_FORMAT:
        ns = Selector::NS_QUERY;
        return true;
    case TT_CURRENT_USER:
    case TT_USER:
        ns = Selector::NS_USER;
        return true;
    case TT_GROUP:
        ns = Selector::NS_GROUP;
        return true;
    case TT_REPLICA:
        ns = Selector::NS_REPLICA;
        return true;
    default:
        return false;
    }
}

bool dbid_tag(int type, Nul::XmlTag::Id &tag) {
    switch (type) {
    case TT_DBSET:
        tag = Nul::XmlTag::RES_kx_dbset;
        return true;
    case TT_USERDB:
        tag = Nul::XmlTag::RES_kx_userdb;
        return true;
    case TT_RECTYPE:
        tag = Nul::XmlTag::RES_kx_rectype;
        return true;
    case TT_RECORD:
        tag = Nul::XmlTag::RES_kx_record;
        return true;
    case TT_REPLICA:
        tag = Nul::XmlTag::RES_kx_replica;
        return true;
    case TT_FIELDDEF:
        tag = Nul::XmlTag::RES_kx_field;
        return true;
    case TT_QUERY:
        tag = Nul::XmlTag::RES_kx_query;
        return true;
    case TT_QUERY_FOLDER:
        tag = Nul::XmlTag::RES_kx_queryfolder;
        return true;
    case TT_REPORT:
        tag = Nul::XmlTag::RES_kx_report;
        return true;
    case TT_REPORT_FORMAT:
        tag = Nul::XmlTag::RES_kx_report_format;
        return true;
    case TT_ACTION:
        tag = Nul::XmlTag::RES_kx_action;
        return true;
    case TT_FORM:
        tag = Nul::XmlTag::RES_kx_form;
        return true;
    case TT_HOOK:
        tag = Nul::XmlTag::RES_kx_hook;
        return true;
    case TT_DYNAMIC_LIST:
        tag = Nul::XmlTag::RES_kx_choicelist;
        return true;
    case TT_ATTACHMENT:
        tag = Nul::XmlTag::RES_kx_attachment;
        return true;
    case TT_ATTACHMENT_FOLDER:
        tag = Nul::XmlTag::RES_kx_attachment_folder;
        return true;
    case TT_CURRENT_USER:
    case TT_USER:
        tag = Nul::XmlTag::RES_kx_user;
        return true;
    case TT_GROUP:
        tag = Nul::XmlTag::RES_kx_group;
        return true;
    default:
        return false;
    }
}

Nul::UString record_path(AdEntityPtr const &record) {
    if (!record) return Nul::UString();
    AdEntityDef *def = record->GetEntityDef();
    return joined({def ? escaped(def->GetName()) : Nul::UString(), escaped(record->GetDisplayName())});
}

} // namespace

Nul::UString TargetResourceArg::to_selector() const {
    Nul::UString repository = Selector::encode_segment(dbset_name_);
    if (!db_name_.empty()) repository.append(L"/").append(Selector::encode_segment(db_name_));

    switch (marshall_type_) {
    case BY_NAME: {
        if (op_type_ == TT_NONE) return Nul::UString(L"NONE");
        Selector::namespace_t ns;
        if (!name_namespace(op_type_, ns)) return Nul::UString();
        std::vector<Nul::UString> parts;
        for (int i : text_segments(op_type_)) parts.push_back(escaped(names_[i].get()));
        return Selector(ns, joined(parts), Selector::DOMAIN_KX, repository).to_string_with_domain();
    }
    case BY_DBID: {
        if (op_type_ == TT_NONE) return Nul::UString(L"NONE");
        Nul::XmlTag::Id tag;
        if (!dbid_tag(op_type_, tag)) return Nul::UString();
        std::vector<Nul::UString> parts;
        for (int i : text_segments(op_type_)) parts.push_back(decimal(dbids_[i]));
        return Selector(tag, joined(parts), Selector::DOMAIN_KX, repository).to_string_with_domain();
    }
    case BY_STATE_ITEM: {
        StateItem *item = state_item_or_fail();
        switch (op_type_) {
        case TT_RECORD: {
            auto *record = checked_cast<RecordStateItem>(item);
            return Selector(Selector::NS_RECORD, record_path(record->entity()), Selector::DOMAIN_KX, repository)
                .to_string_with_domain();
        }
        case TT_QUERY:
        case TT_QUERY_FOLDER:
        case TT_REPORT:
        case TT_REPORT_FORMAT: {
            auto *query = checked_cast<QueryItemStateItem>(item);
            Nul::UString name = query->bucket() ? escaped(query->bucket()->GetName()) : query->name();
            return Selector(Selector::NS_QUERY, name, Selector::DOMAIN_KX, repository).to_string_with_domain();
        }
        case TT_ATTACHMENT: {
            auto *holder = checked_cast<AttachmentStateItem>(item);
            Attachment const *a = holder->attachment();
            if (!a) return Nul::UString();
            Nul::UString path =
                joined({record_path(a->folder().entity()), Selector::encode_segment(a->folder().field_name()),
                        Selector::encode_segment(a->file_name())});
            return Selector(Selector::NS_RECORD, path, Selector::DOMAIN_KX, repository).to_string_with_domain();
        }
        case TT_ATTACHMENT_FOLDER: {
            auto *record = checked_cast<RecordStateItem>(item);
            AdEntityPtr const &entity = record->entity();
            if (aux_marshall_type_ == BY_NAME) return joined({record_path(entity), escaped(names_[2].get())});
            AdEntityDef *def = entity ? entity->GetEntityDef() : nullptr;
            return joined(
                {decimal(def ? def->GetDbId() : 0), decimal(entity ? entity->GetDbId() : 0), decimal(dbids_[2])});
        }
        default:
            return Nul::UString();
        }
    }
    default:
        return Nul::UString();
    }
}

Nul::UString TargetResourceArg::arm_target_uri(AdSession *session) const {
    Nul::UString text;
    if (session) {
        KXSmartPtr<KXDatabaseDesc> db = session->GetSessionDatabase();
        if (db) {
            text.append(ustr(db->GetDatabaseSetName())).append(L"/").append(ustr(db->GetDatabaseName())).append(L"/");
        }
    }
    Nul::UString selector = to_selector();
    if (selector.empty() && marshall_type_ == BY_STATE_ITEM && op_type_ >= TT_QUERY && op_type_ <= TT_REPORT_FORMAT)
        selector = Nul::UString(L"<temporary query object>");
    return text.append(selector);
}

} // namespace KxRpc
