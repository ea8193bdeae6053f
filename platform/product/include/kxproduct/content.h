// Content the server hands out as files: a record as XML, and the text of a report format.
#pragma once
#include <vector>

#include "kxproduct/entity.h"
#include "kxproduct/session.h"
#include "kxproduct/workspace.h"

// A record seen through a user session, for export.
class KXEntity : public KXObject {
public:
    // KXException KX_MSG_SESSION_ENDED for a session that is not logged on, KX_MSG_BAD_VALUE for
    // no record.
    static KXSmartPtr<KXEntity> Build(const KXSmartPtr<KXSession> &session, const AdEntityPtr &record);
    // The record as one XML document (see README); only the named fields, or all of them when
    // `field_names` is empty. `reserved` must be 0. KXException KX_MSG_NOT_FOUND for a name that
    // is no field of the record.
    CString GetAsXML(const std::vector<CString> &field_names, int reserved) const;

private:
    explicit KXEntity(const AdEntityPtr &record) : record_(record) {}
    AdEntityPtr record_;
};

// The stored text of a report format.
class KXReportFormat : public KXObject {
public:
    // Writes the text (UTF-8) to a new file at `path` (or over an empty temporary file). TRUE on
    // success; FALSE with the reason in `error`, leaving no partial file.
    BOOL WriteReportFile(const CString &path, CString &error) const;

private:
    friend KXSmartPtr<KXReportFormat> GetReportFormat(const AdBucketPtr &bucket);
    explicit KXReportFormat(const CString &text) : text_(text) {}
    CString text_;
};

// The report format stored in a workspace item; null when the item is none.
KXSmartPtr<KXReportFormat> GetReportFormat(const AdBucketPtr &bucket);
