// The properties of one record type (fetch only).
#pragma once

#include <set>

#include "kxproduct/metadata.h"
#include "props/resource.h"

namespace KxRpc {

class RecordTypeProps : public PropsResource {
public:
    RecordTypeProps(LoginSession *session, KXSmartPtr<KXEntityDef> const &record_type);
    ~RecordTypeProps() override;
    void fetch_prop(FetchPropResponses &out, int prop_id) override;
    Nul::UString describe() override;
    // A family has no forms of its own to submit or modify with.
    std::set<int> const &supported_properties() override;

private:
    AdEntityDef *def() const;
    void fetch_zrm_enabled(FetchPropResponses &out);
    void fetch_submittable(FetchPropResponses &out);
    void fetch_submit_form(FetchPropResponses &out);
    void report_form(FetchPropResponses &out, AdFormDef *form);

    KXSmartPtr<KXEntityDef> record_type_;
};

} // namespace KxRpc
