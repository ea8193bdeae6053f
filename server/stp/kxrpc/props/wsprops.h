// Property objects of workspace items: folders (with their access control), queries and charts,
// reports and report formats, over a stored item or over an item being made or copied.
#pragma once

#include <initializer_list>
#include <memory>
#include <set>

#include "kxproduct/query.h"
#include "kxproduct/workspace.h"
#include "props/resource.h"
#include "target/held_items.h"

namespace KxRpc {

// What every workspace item answers: its place in the tree, names and ids.
class QueryItemProps : public PropsResource {
public:
    QueryItemProps(LoginSession *session, AdBucketPtr const &bucket);
    ~QueryItemProps() override;
    AdBucketPtr const &bucket() const { return bucket_; }
    void set_bucket(AdBucketPtr const &bucket) { bucket_ = bucket; }
    void fetch_prop(FetchPropResponses &out, int prop_id) override;
    std::set<int> const &supported_properties() override;
    // "<class>: (kxobj:<bucket>)", or "no bucket" in its place.
    virtual Nul::UString describe_bucket(wchar_t const *class_name);

protected:
    AdSessionPtr product_session() const;
    // The item's own ids and the base ids, for an item with or without a bucket.
    static std::set<int> const &item_properties(bool with_bucket);
    // A subclass's ids (`own`, the same on every call) added to those of the item's state.
    template <class Props>
    static std::set<int> const &class_properties(bool with_bucket, std::initializer_list<int> own) {
        static std::set<int> const without = merged(item_properties(false), own);
        static std::set<int> const with = merged(item_properties(true), own);
        return with_bucket ? with : without;
    }
    static std::set<int> merged(std::set<int> const &base, std::initializer_list<int> own);

private:
    AdBucketPtr bucket_;
};

class QueryFolderProps : public QueryItemProps {
public:
    QueryFolderProps(LoginSession *session, AdBucketPtr const &bucket);
    // A folder being made: the item must be a QueryItemStateItem (message 44 otherwise).
    QueryFolderProps(LoginSession *session, StateItemPtr const &item);
    ~QueryFolderProps() override;
    void fetch_prop(FetchPropResponses &out, int prop_id) override;
    void put_prop(BasePropValue &value) override;
    std::set<int> const &supported_properties() override;
    Nul::UString describe() override;

private:
    bool security_enabled() const;
    AdFolderPtr folder() const;
    void fetch_children(FetchPropResponses &out, int prop_id);
    void fetch_security(FetchPropResponses &out, int prop_id);
    // A dynamic property "[nested-]APPLIED|EFFECTIVE-<name>" of a group (namespace 11) or user (19).
    void lookup_principal(FetchPropResponses &out, int prop_id);
    void put_applied_permissions(BasePropValue &value);

    std::shared_ptr<QueryItemStateItem> item_;
};

class QueryProps : public QueryItemProps {
public:
    QueryProps(LoginSession *session, AdBucketPtr const &bucket);
    QueryProps(LoginSession *session, StateItemPtr const &item);
    ~QueryProps() override;
    void fetch_prop(FetchPropResponses &out, int prop_id) override;
    void put_prop(BasePropValue &value) override;
    std::set<int> const &supported_properties() override;
    Nul::UString describe() override;

private:
    // The held definition, else the stored one of the bucket (loaded once).
    AdQueryDefPtr const &query_def();
    int item_type() const;
    // Refuses a put that would change a definition this object does not hold ("query is not
    // editable"), before anything changes.
    void require_held() const;
    // 412 display fields and 449 filtering, read into a copy of the held definition.
    void put_definition_xml(BasePropValue &value);
    void apply_definition_xml(BasePropValue &value, AdQueryDefPtr const &def);

    std::shared_ptr<QueryItemStateItem> item_;
    AdQueryDefPtr query_def_;
};

class ReportProps : public QueryItemProps {
public:
    ReportProps(LoginSession *session, AdBucketPtr const &bucket);
    ReportProps(LoginSession *session, StateItemPtr const &item);
    ~ReportProps() override;
    void fetch_prop(FetchPropResponses &out, int prop_id) override;
    void put_prop(BasePropValue &value) override;
    std::set<int> const &supported_properties() override;
    Nul::UString describe() override;

private:
    KXSmartPtr<KXReportDef> const &report_def();

    std::shared_ptr<QueryItemStateItem> item_;
    KXSmartPtr<KXReportDef> report_def_;
};

class ReportFormatProps : public QueryItemProps {
public:
    ReportFormatProps(LoginSession *session, AdBucketPtr const &bucket);
    ReportFormatProps(LoginSession *session, StateItemPtr const &item);
    ~ReportFormatProps() override;
    void fetch_prop(FetchPropResponses &out, int prop_id) override;
    std::set<int> const &supported_properties() override;
    Nul::UString describe() override;
};

// The property object of a workspace target by type code (36 query, 37 folder, 38 report, 39
// report format): over the state item of a handle, or over the bucket looked up under the
// workspace lock.
std::unique_ptr<PropsResource> make_workspace_props(LoginSession *session, TargetResourceArg &target, int type);

} // namespace KxRpc
