#include "target/queryutil.h"

#include "kxproduct/exceptions.h"
#include "kxwin/cexception.h"
#include "target/held_items.h"
#include "target/target.h"
#include "tesutil/selector.h"
#include "tesutil/xmltag.h"
#include "wire/catalog.h"
#include "wire/conversions.h"
#include "wire/exceptions.h"
#include "wire/product_failure.h"

namespace KxRpc {
namespace QueryUtil {

namespace {} // namespace

Nul::UString personal_top_folder_name(AdSessionPtr const &) {
    return ustr(AdWorkspaceMgr::FolderTypeToTopName(AD_PERSONAL_FOLDER));
}

Nul::UString public_top_folder_name(AdSessionPtr const &) {
    return ustr(AdWorkspaceMgr::FolderTypeToTopName(AD_PUBLIC_FOLDER));
}

Nul::UString bucket_uri(AdSessionPtr const &session, AdBucketPtr const &bucket) {
    bool const personal = bucket->GetUserId() != 0;
    Nul::UString path;
    auto prepend = [&path](Nul::UString const &name) {
        Nul::UString segment = Nul::Selector::encode_segment(name);
        if (!path.empty()) segment.append(L"/").append(path);
        path = segment;
    };
    for (AdBucketPtr at = bucket; at;) {
        AdBucketPtr parent = at->GetParent();
        if (!parent) break;
        prepend(ustr(at->GetName()));
        at = parent;
    }
    prepend(personal ? personal_top_folder_name(session) : public_top_folder_name(session));
    return path;
}

Nul::UString bucket_dbid_string(AdBucketPtr const &bucket) {
    return number_to_ustring(static_cast<long>(bucket->GetDbId()));
}

Nul::UString repository_name(AdSessionPtr const &session) {
    Nul::UString name = ustr(session->GetSessionDbSetName());
    KXSmartPtr<KXDatabaseDesc> db = session->GetSessionDatabase();
    name.append(L"/");
    if (db) name.append(ustr(db->GetDatabaseName()));
    return name;
}

Nul::UString bucket_selector(AdSessionPtr const &session, AdBucketPtr const &bucket) {
    Nul::Selector selector(static_cast<Nul::XmlTag::Id>(Nul::XmlTag::RES_kx_queryfolder), bucket_dbid_string(bucket),
                           Nul::Selector::DOMAIN_KX, repository_name(session));
    return selector.to_string_with_domain();
}

int bucket_resource_tag(AdBucketPtr const &bucket) {
    int const type = bucket->GetType();
    if (type & AD_BUCKET_FOLDER) return Nul::XmlTag::RES_kx_queryfolder;
    if (type & (AD_BUCKET_QUERY | AD_BUCKET_CHART)) return Nul::XmlTag::RES_kx_query;
    if (type & AD_BUCKET_REPORT) return Nul::XmlTag::RES_kx_report;
    if (type & AD_BUCKET_REPORT_FORMAT) return Nul::XmlTag::RES_kx_report_format;
    return Nul::XmlTag::RES_kx_query;
}

int resource_type_of_bucket_type(int bucket_type) {
    switch (bucket_type) {
    case AD_BUCKET_FOLDER:
        return 37;
    case AD_BUCKET_REPORT:
        return 38;
    case AD_BUCKET_REPORT_FORMAT:
        return 39;
    default:
        return 36;
    }
}

int bucket_resource_type(AdBucketPtr const &bucket) { return resource_type_of_bucket_type(bucket->GetType()); }

int bucket_wire_resource_type(AdBucketPtr const &bucket) { return bucket_resource_type(bucket) - 1; }

void query_def_for_bucket(AdBucketPtr const &bucket, AdQueryDefPtr &query_def) {
    product_call([&] { query_def = GetQueryOrChartByDbId(bucket->GetSession(), bucket->GetDbId(), 1); },
                 [](ProductFailure const &f) {
                     throw_internal_error(kx_message(MSG_CANNOT_LOAD_QUERY, Nul::UMessage::Arg(f.text)));
                 });
}

void check_repository_selector(AdSessionPtr const &session, Nul::Selector const &selector) {
    Nul::UString const repository = repository_name(session);
    if (selector.repository_name() == repository) return;
    raise_reason(Reason::illegal_value,
                 kx_message(MSG_OTHER_REPOSITORY, Nul::UMessage::Arg(selector.to_string_with_domain()),
                            Nul::UMessage::Arg(repository)));
}

TargetResourceArg object_id_from_selector(AdSessionPtr const &session, Nul::Selector const &selector) {
    check_repository_selector(session, selector);
    if (!selector.is_object_id_selector()) return TargetResourceArg(TT_RECTYPE, selector.object_name());
    bool ok = false;
    unsigned long const dbid = parse_unsigned(selector.object_name(), ok);
    if (!ok) raise_reason(Reason::internal_error);
    return TargetResourceArg(TT_RECTYPE, static_cast<u_int>(dbid), 0u);
}

std::vector<std::int64_t> child_bucket_ids(AdBucketPtr const &folder, int type_mask) {
    AdFolderPtr at = AdFolder::LookupFolderFromBucket(folder);
    if (!at) return {};
    return at->GetChildBucketIds(type_mask);
}

std::unique_ptr<QueryItemStateItem> build_report_def(KXSmartPtr<KXSession> const &session,
                                                     KXSmartPtr<KXReportDef> const &source, Nul::UString const &name,
                                                     AdBucketPtr const &bucket) {
    KXSmartPtr<KXReportDef> report = session->GetWorkSpace()->BuildReportDef();
    report->SetName(cstr(name));
    report->SetReportFormatId(source->GetReportFormatId(), 1);
    report->SetQueryDefId(source->GetQueryDefId(), 1);
    auto item = std::make_unique<QueryItemStateItem>(name, report, AD_BUCKET_REPORT);
    if (bucket) item->set_bucket(bucket);
    return item;
}

} // namespace QueryUtil
} // namespace KxRpc
