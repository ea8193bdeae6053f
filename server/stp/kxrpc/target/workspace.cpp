// Workspace items by their path under a top folder.
#include "target/workspace.h"
#include "wire/conversions.h"

#include <string>
#include <vector>

#include "kxproduct/exceptions.h"
#include "kxwin/cexception.h"
#include "tesutil/selector.h"
#include "wire/exceptions.h"
#include "wire/product_failure.h"
#include "wire/trace.h"

namespace KxRpc {
namespace QueryUtil {

namespace {} // namespace

bool is_folder_bucket(AdBucketPtr const &bucket) { return bucket && (bucket->GetType() & AD_BUCKET_FOLDER) != 0; }

AdBucketPtr top_folder(AdSessionPtr const &session, int folder_type, wchar_t const *method) {
    AdBucketPtr top;
    // A failure that is not the product's goes on as it came.
    std::optional<ProductFailure> const f = failure_of(
        [&] { top = GetTopWorkspaceFolder(session, folder_type, 1); },
        Taking{.kinds = ProductFailure::KX_EXCEPTION | ProductFailure::PA_MSG_EXCEPTION | ProductFailure::C_EXCEPTION});
    if (!f) return top;
    if (f->kind != ProductFailure::PA_MSG_EXCEPTION) {
        trace_exception(Nul::UString(method), f->text);
        throw_internal_error(f->text);
    }
    if (f->msg_id != KX_MSG_PERM_DENIED_PUBLIC_FOLDER_ADMIN) throw_internal_error(f->text);
    trace_text(1, Nul::UString(L"Ignoring Exception: GetTopWorkspaceFolder PUBLIC_FOLDER "
                               L"PERM_DENIED_PUBLIC_FOLDER_ADMIN: ") +
                      f->text);
    return AdBucketPtr();
}

std::vector<Nul::UString> uri_segments(Nul::UString const &uri) {
    std::vector<Nul::UString> segments;
    std::wstring const text(uri.c_str());
    std::wstring segment;
    bool escaped = false;
    auto flush = [&] {
        if (!segment.empty()) segments.push_back(Nul::Selector::decode_string(Nul::UString(segment)));
        segment.clear();
    };
    for (wchar_t c : text) {
        if (c == L'/' && !escaped) {
            flush();
            continue;
        }
        segment.push_back(c);
        escaped = c == L'%' && !escaped;
    }
    flush();
    return segments;
}

namespace {

// The item reached from `top` through folders of the given names; null when a name is missing.
AdBucketPtr find_below(AdSessionPtr const &session, AdBucketPtr const &top,
                       std::vector<Nul::UString>::const_iterator name, std::vector<Nul::UString>::const_iterator end) {
    AdWorkspaceMgrPtr manager = GetWorkspaceMgr(session);
    AdBucketPtr at = top;
    for (; name != end && at; ++name) {
        AdFolderPtr folder = AdFolder::LookupFolderFromBucket(at);
        AdBucketPtr next;
        for (std::int64_t id : folder ? folder->GetChildBucketIds(all_items_mask) : std::vector<std::int64_t>()) {
            AdBucketPtr child = manager->GetBucket(id);
            if (child && ustr(child->GetName()) == *name) {
                next = child;
                break;
            }
        }
        at = next;
    }
    return at;
}

Nul::UString joined(std::vector<Nul::UString>::const_iterator from, std::vector<Nul::UString>::const_iterator end) {
    Nul::UString text;
    for (auto at = from; at != end; ++at) {
        if (at != from) text.append(L"/");
        text.append(*at);
    }
    return text;
}

} // namespace

bool get_bucket_for_uri(AdSessionPtr const &session, Nul::UString const &uri, AdBucketPtr &bucket) {
    bucket = nullptr;
    // Split first: an escaped "/" belongs to a name, so escapes are undone per segment.
    std::vector<Nul::UString> const segments = uri_segments(uri);
    Nul::UString const top = segments.empty() ? Nul::UString() : segments.front();
    auto const first = segments.empty() ? segments.end() : segments.begin() + 1;
    Nul::UString const rest = joined(first, segments.end());
    trace_lazy(1, [&] {
        return Nul::UString(L"QueryUtil::get_bucket_for_uri (uri: '") + uri + Nul::UString(L"', type: '") + top +
               Nul::UString(L"', name: '") + rest + Nul::UString(L"')");
    });

    bool personal = false;
    int folder_type = 0;
    if (top == ustr(AdWorkspaceMgr::FolderTypeToTopName(AD_PERSONAL_FOLDER))) {
        personal = true;
        folder_type = AD_PERSONAL_FOLDER;
    } else if (top == ustr(AdWorkspaceMgr::FolderTypeToTopName(AD_PUBLIC_FOLDER))) {
        folder_type = AD_PUBLIC_FOLDER;
    } else {
        return false;
    }

    bucket = top_folder(session, folder_type, L"QueryUtil::get_bucket_for_uri");
    if (!bucket || first == segments.end()) return personal;

    AdBucketPtr found = find_below(session, bucket, first, segments.end());
    if (!found) {
        std::int64_t const user_id = bucket->GetUserId();
        trace_lazy(1, [&] {
            return Nul::UString(L"path: '") + ustr(bucket->GetName()) + Nul::UString(L"/") + rest +
                   Nul::UString(L"', for user_id: '") + Nul::UString(std::to_wstring(user_id)) +
                   Nul::UString(L"', was not found, forcing a AdWorkspaceMgrPtr::RefreshEntireWorkspace() call "
                                L"then will try again");
        });
        GetWorkspaceMgr(session)->RefreshEntireWorkspace(0);
        found = find_below(session, bucket, first, segments.end());
    }
    bucket = found;
    return personal;
}

} // namespace QueryUtil
Nul::CriticalSectionLock &workspace_lock() {
    static Nul::CriticalSectionLock lock;
    return lock;
}

} // namespace KxRpc
