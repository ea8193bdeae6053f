// Workspace items by their path under a top folder.
#include "wire/workspace.h"

#include "kxproduct/exceptions.h"
#include "kxwin/cexception.h"
#include "tesutil/selector.h"
#include "wire/exceptions.h"
#include "wire/trace.h"

namespace KxRpc {
namespace QueryUtil {

namespace {

Nul::UString ustr(CString const &s) { return Nul::UString(s.GetString()); }

} // namespace

bool is_folder_bucket(AdBucketPtr const &bucket) { return bucket && (bucket->GetType() & AD_BUCKET_FOLDER) != 0; }

AdBucketPtr top_folder(AdSessionPtr const &session, int folder_type, wchar_t const *method) {
    try {
        return GetTopWorkspaceFolder(session, folder_type, 1);
    } catch (PaMsgException *e) {
        PaMessage const *first = e->First();
        Nul::UString text = first ? ustr(first->GetMsg()) : Nul::UString();
        bool const denied = first != nullptr && first->GetID() == KX_MSG_PERM_DENIED_PUBLIC_FOLDER_ADMIN;
        e->Delete();
        if (!denied) throw_internal_error(text);
        trace_text(1, Nul::UString(L"Ignoring Exception: GetTopWorkspaceFolder PUBLIC_FOLDER "
                                   L"PERM_DENIED_PUBLIC_FOLDER_ADMIN: ") +
                          text);
        return AdBucketPtr();
    } catch (CException *e) {
        Nul::UString text = take_cexception_text(e);
        trace_exception(Nul::UString(method), text);
        throw_internal_error(text);
    } catch (KXException *e) {
        Nul::UString text = ustr(e->GetErrorString());
        e->Delete();
        trace_exception(Nul::UString(method), text);
        throw_internal_error(text);
    }
}

bool get_bucket_for_uri(AdSessionPtr const &session, Nul::UString const &uri, AdBucketPtr &bucket) {
    bucket = nullptr;
    std::wstring path(Nul::Selector::decode_string(uri).c_str());
    if (!path.empty() && path[0] == L'/') path.erase(0, 1);
    std::size_t slash = path.find(L'/');
    std::wstring top = slash == std::wstring::npos ? path : path.substr(0, slash);
    std::wstring rest = slash == std::wstring::npos ? std::wstring() : path.substr(slash + 1);
    trace_lazy(1, [&] {
        return Nul::UString(L"QueryUtil::get_bucket_for_uri (uri: '") + uri + Nul::UString(L"', type: '") +
               Nul::UString(top) + Nul::UString(L"', name: '") + Nul::UString(rest) + Nul::UString(L"')");
    });

    bool personal = false;
    int folder_type = 0;
    if (CString(top.c_str()) == AdWorkspaceMgr::FolderTypeToTopName(AD_PERSONAL_FOLDER)) {
        personal = true;
        folder_type = AD_PERSONAL_FOLDER;
    } else if (CString(top.c_str()) == AdWorkspaceMgr::FolderTypeToTopName(AD_PUBLIC_FOLDER)) {
        folder_type = AD_PUBLIC_FOLDER;
    } else {
        return false;
    }

    bucket = top_folder(session, folder_type, L"QueryUtil::get_bucket_for_uri");
    if (!bucket) return personal;

    if (bucket && !rest.empty()) {
        CString product_path = bucket->GetName() + CString(L"/") + CString(rest.c_str());
        std::int64_t user_id = bucket->GetUserId();
        AdWorkspaceMgrPtr manager = GetWorkspaceMgr(session);
        AdBucketPtr found = manager->LookupBucketByPathName(user_id, product_path);
        if (!found) {
            trace_lazy(1, [&] {
                return Nul::UString(L"path: '") + ustr(product_path) + Nul::UString(L"', for user_id: '") +
                       Nul::UString(std::to_wstring(user_id)) +
                       Nul::UString(L"', was not found, forcing a AdWorkspaceMgrPtr::RefreshEntireWorkspace() call "
                                    L"then will try again");
            });
            manager->RefreshEntireWorkspace(0);
            found = manager->LookupBucketByPathName(user_id, product_path);
        }
        bucket = found;
    }
    return personal;
}

} // namespace QueryUtil
Nul::CriticalSectionLock &workspace_lock() {
    static Nul::CriticalSectionLock lock;
    return lock;
}

} // namespace KxRpc
