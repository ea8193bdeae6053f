// The properties of one attachment and of a record's attachment field seen as a folder.
#pragma once

#include <set>

#include "props/resource.h"

namespace KxRpc {

class Attachment;
class AttachmentFolder;

// Wraps an attachment that its target or state item owns.
class AttachmentProps : public PropsResource {
public:
    AttachmentProps(LoginSession *session, Attachment *attachment);
    ~AttachmentProps() override;
    void fetch_prop(FetchPropResponses &out, int prop_id) override;
    void put_prop(BasePropValue &value) override;
    Nul::UString describe() override;
    std::set<int> const &supported_properties() override;

private:
    Attachment *attachment_;
};

// Wraps an attachment folder that its target owns.
class AttachmentFolderProps : public PropsResource {
public:
    AttachmentFolderProps(LoginSession *session, AttachmentFolder *folder);
    ~AttachmentFolderProps() override;
    void fetch_prop(FetchPropResponses &out, int prop_id) override;
    Nul::UString describe() override;
    std::set<int> const &supported_properties() override;

private:
    void fetch_children(FetchPropResponses &out, bool as_map);

    AttachmentFolder *folder_;
};

} // namespace KxRpc
