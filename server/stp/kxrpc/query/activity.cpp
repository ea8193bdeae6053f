// The activity list: the user's stored activity query, or the built-in one, with the project and
// the stream as its two parameters.
#include <vector>

#include "kxproduct/metadata.h"
#include "props/queryxml.h"
#include "query/execute.h"
#include "query/paged.h"
#include "target/queryutil.h"
#include "target/workspace.h"
#include "tesutil/selector.h"
#include "wire/catalog.h"
#include "wire/conversions.h"
#include "wire/exceptions.h"

namespace KxRpc {

namespace {

using Nul::XmlTag;
using OutElem = Nul::XmlDoc::Elem;

wchar_t const project_field[] = L"zrm_project";
wchar_t const stream_field[] = L"zrm_stream_object";
wchar_t const builtin_record_type[] = L"All_ZRM_Activities";

void prompted_filters(AdFilterNode *node, std::vector<AdFieldFilter *> &out, int depth) {
    if (!node || depth > QueryUtil::max_filter_depth + 1) return;
    if (AdFieldFilter *f = node->AsFieldFilter()) {
        if (!f->GetPrompt().IsEmpty()) out.push_back(f);
        return;
    }
    for (int i = 0; i < node->NumChildren(); ++i) prompted_filters(node->GetChild(i), out, depth + 1);
}

CString field_db_name(AdEntityDef *primary, CString const &path) {
    AdFieldDef *field = QueryUtil::field_of_path(primary, path);
    return field ? field->GetDbName() : CString();
}

void add_param(OutElem &parameters, Nul::UString const &value) {
    OutElem &param = parameters.add_elem(OutElem(XmlTag::CTG_param));
    param.add_elem(OutElem(XmlTag::CTG_constant_value, value, true));
}

Nul::UString document(OutElem const &root) {
    Nul::XmlDoc doc(root);
    return doc.str();
}

// The parameters for the stored query's prompts, in prompt order.
Nul::UString stored_query_document(KxGetMyActivityListArgs &args, AdSessionPtr const &session,
                                   AdBucketPtr const &bucket) {
    AdQueryDefPtr def;
    QueryUtil::query_def_for_bucket(bucket, def);
    std::vector<AdFieldFilter *> prompts;
    if (def) prompted_filters(def->GetTopFilterNode(), prompts, 1);
    OutElem root(XmlTag::CTG_execute_query);
    OutElem &parameters = root.add_elem(OutElem(XmlTag::CTG_parameters));
    if (prompts.empty()) return document(root);
    auto invalid = [&] {
        throw KXInternalErrorException(
            kx_message(MSG_INVALID_ACTIVITY_PARAMETERS, Nul::UMessage::Arg(QueryUtil::bucket_uri(session, bucket))));
    };
    if (prompts.size() > 2) invalid();
    std::vector<Nul::UString> values;
    for (AdFieldFilter *f : prompts) {
        CString const name = field_db_name(def->GetPrimaryEntity(), f->GetFieldPath());
        if (name == project_field)
            values.push_back(args.project());
        else if (name == stream_field)
            values.push_back(args.stream());
        else
            invalid();
    }
    for (Nul::UString const &v : values) add_param(parameters, v);
    return document(root);
}

OutElem comparison(QueryContext const &ctx, AdEntityDef *type, wchar_t const *field, int operator_tag) {
    OutElem out(XmlTag::CTG_comparison_expression);
    out.add_elem(OutElem(static_cast<XmlTag::Id>(operator_tag)));
    OutElem &path = out.add_elem(OutElem(XmlTag::CTG_field_path));
    QueryUtil::field_path_to_xml(ctx, type, path, ustr(type->GetFieldDef(CString(field))->GetName()));
    return out;
}

OutElem expression(int bool_tag) {
    OutElem out(XmlTag::CTG_filtering_expression);
    out.add_elem(OutElem(static_cast<XmlTag::Id>(bool_tag)));
    return out;
}

Nul::UString builtin_document(KxGetMyActivityListArgs &args, AdSessionPtr const &session) {
    AdEntityDef *type = LookupEntityDefOrFamily(session, CString(builtin_record_type));
    if (!type)
        throw KXInternalErrorException(Nul::UString(L"Could not find \"All_ZRM_Activities\" record type"), nullptr);
    QueryContext const ctx{session, args.context_text()};
    OutElem root(XmlTag::CTG_execute_query);
    OutElem &definition = root.add_elem(OutElem(XmlTag::CTG_definition));
    OutElem &primary = definition.add_elem(OutElem(XmlTag::CTG_primary_record_type));
    Nul::Selector const selector(XmlTag::RES_kx_rectype, number_to_ustring(static_cast<long>(type->GetDbId())),
                                 Nul::Selector::DOMAIN_KX, QueryUtil::repository_name(session));
    primary.add_elem(OutElem(XmlTag::TEAM_href, selector.to_string_with_domain(), true));
    OutElem &fields = definition.add_elem(OutElem(XmlTag::CTG_display_fields));
    for (wchar_t const *name : {L"id", L"Headline", L"ostw_mastership"}) {
        OutElem &column = fields.add_elem(OutElem(XmlTag::CTG_column));
        OutElem &path = column.add_elem(OutElem(XmlTag::CTG_field_path));
        QueryUtil::field_path_to_xml(ctx, type, path, ustr(type->GetFieldDef(CString(name))->GetName()));
    }
    OutElem &filtering = definition.add_elem(OutElem(XmlTag::CTG_filtering));
    OutElem &all = filtering.add_elem(expression(XmlTag::CTG_and));
    OutElem &owner = all.add_elem(comparison(ctx, type, L"Owner", XmlTag::CTG_is_equal));
    owner.add_elem(OutElem(XmlTag::CTG_user));
    OutElem &states = all.add_elem(expression(XmlTag::CTG_or));
    for (wchar_t const *state : {L"Active", L"Ready"}) {
        OutElem &is = states.add_elem(comparison(ctx, type, L"am_statetype", XmlTag::CTG_is_equal));
        is.add_elem(OutElem(XmlTag::CTG_constant_value, Nul::UString(state), true));
    }
    for (wchar_t const *field : {project_field, stream_field}) {
        OutElem &either = all.add_elem(expression(XmlTag::CTG_or));
        OutElem &prompted = either.add_elem(comparison(ctx, type, field, XmlTag::CTG_is_equal));
        prompted.add_elem(OutElem(XmlTag::CTG_prompt, Nul::UString(L"Enter ").append(field), true));
        either.add_elem(comparison(ctx, type, field, XmlTag::CTG_is_null));
    }
    OutElem &parameters = root.add_elem(OutElem(XmlTag::CTG_parameters));
    add_param(parameters, args.project());
    add_param(parameters, args.stream());
    return document(root);
}

} // namespace

void prepare_activity_query(KxGetMyActivityListArgs &args) {
    AdSessionPtr const session(args.api_session_or_fail());
    AdBucketPtr bucket;
    Nul::UString uri = QueryUtil::personal_top_folder_name(session);
    QueryUtil::get_bucket_for_uri(session, uri.append(L"/ZRMCustomQuery1"), bucket);
    if (!bucket) {
        Nul::UString public_uri = QueryUtil::public_top_folder_name(session);
        QueryUtil::get_bucket_for_uri(session, public_uri.append(L"/ZRMSystemQueries/ZRMCustomQuery1"), bucket);
    }
    if (bucket) {
        args.set_bucket(bucket);
        args.set_has_def(false);
        args.set_request(stored_query_document(args, session, bucket));
    } else {
        args.set_bucket(AdBucketPtr());
        args.set_has_def(true);
        args.set_request(builtin_document(args, session));
    }
}

} // namespace KxRpc
