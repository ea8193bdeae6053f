#include "kxproduct/content.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "core.h"
#include "kxproduct/faults.h"

using namespace kxp;

namespace {

// Text as XML character data or attribute value. Characters XML 1.0 cannot carry become U+FFFD;
// a carriage return is kept as a reference so that parsers do not fold it into a line feed.
void escape(std::wstring &out, const CString &text) {
    for (wchar_t c : std::wstring(text.GetString())) {
        switch (c) {
        case L'&':
            out += L"&amp;";
            break;
        case L'<':
            out += L"&lt;";
            break;
        case L'>':
            out += L"&gt;";
            break;
        case L'"':
            out += L"&quot;";
            break;
        case L'\r':
            out += L"&#13;";
            break;
        default: {
            bool legal = c == L'\t' || c == L'\n' || (c >= 0x20 && c <= 0xD7FF) || (c >= 0xE000 && c <= 0xFFFD) ||
                         (c >= 0x10000 && c <= 0x10FFFF);
            out += legal ? c : L'\uFFFD';
        }
        }
    }
}

void attribute(std::wstring &out, const wchar_t *name, const CString &value) {
    out += L' ';
    out += name;
    out += L"=\"";
    escape(out, value);
    out += L'"';
}

CString number(int64_t n) { return CString(std::to_wstring(n).c_str()); }

} // namespace

KXSmartPtr<KXEntity> KXEntity::Build(const KXSmartPtr<KXSession> &session, const AdEntityPtr &record) {
    KXFaultInjector::Enter("KXEntity::Build");
    if (!session) throw_kx(KX_MSG_SESSION_ENDED, L"The session is not logged on.", "KXEntity::Build");
    live(session->GetReal(), "KXEntity::Build");
    if (!record) throw_kx(KX_MSG_BAD_VALUE, L"No record.", "KXEntity::Build");
    return KXSmartPtr<KXEntity>(new KXEntity(record));
}

CString KXEntity::GetAsXML(const std::vector<CString> &field_names, int reserved) const {
    KXFaultInjector::Enter("KXEntity::GetAsXML");
    if (reserved != 0) throw_kx(KX_MSG_BAD_VALUE, L"The reserved argument must be 0.", "KXEntity::GetAsXML");
    std::wstring out = L"<?xml version=\"1.0\"?>\n<record";
    attribute(out, L"type", record_->GetEntityDef()->GetName());
    attribute(out, L"name", record_->GetDisplayName());
    attribute(out, L"dbid", number(record_->GetDbId()));
    if (!record_->GetStateName().IsEmpty()) attribute(out, L"state", record_->GetStateName());
    out += L">\n";
    const std::vector<CString> names = field_names.empty() ? record_->GetFieldNames() : field_names;
    for (const CString &name : names) {
        AdFieldInfo field = record_->GetFieldValue(name);
        out += L"  <field";
        attribute(out, L"name", name);
        attribute(out, L"type", number(field.GetType()));
        const auto &values = field.GetValueAsList();
        if (values.empty()) {
            out += L"/>\n";
            continue;
        }
        out += L'>';
        // Lists keep one element per value, so values holding line breaks stay apart.
        bool list = field.GetType() == AD_REFERENCE_LIST || field.GetType() == AD_ATTACHMENT_LIST;
        for (const CString &v : values) {
            if (list) out += L"<value>";
            escape(out, v);
            if (list) out += L"</value>";
        }
        out += L"</field>\n";
    }
    out += L"</record>\n";
    return CString(out.c_str());
}

KXSmartPtr<KXReportFormat> GetReportFormat(const AdBucketPtr &bucket) {
    KXFaultInjector::Enter("GetReportFormat");
    if (!bucket || bucket->GetType() != AD_BUCKET_REPORT_FORMAT) return KXSmartPtr<KXReportFormat>();
    return KXSmartPtr<KXReportFormat>(new KXReportFormat(bucket->GetData()));
}

BOOL KXReportFormat::WriteReportFile(const CString &path, CString &error) const {
    KXFaultInjector::Enter("KXReportFormat::WriteReportFile");
    error.Empty();
    const std::string file = u8(path), bytes = u8(text_);
    int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = L"Cannot write '" + path + L"': " + w(std::strerror(errno));
        return FALSE;
    }
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    bool ok = done == bytes.size();
    if (::close(fd) != 0) ok = false;
    if (!ok) {
        ::unlink(file.c_str());
        error = L"Cannot write '" + path + L"'.";
        return FALSE;
    }
    return TRUE;
}
