#include "kxwin/cexception.h"

#include <atomic>
#include <cwchar>

namespace {
std::atomic<long> g_live{0};
}

CException::CException() { ++g_live; }
CException::CException(const CString &message) : message_(message) { ++g_live; }
CException::~CException() { --g_live; }

BOOL CException::GetErrorMessage(LPWSTR buffer, UINT max_chars, PUINT help_context) const {
    if (help_context) *help_context = 0;
    if (!buffer || max_chars == 0) return FALSE;
    size_t n = static_cast<size_t>(message_.GetLength());
    if (n > max_chars - 1) n = max_chars - 1;
    std::wmemcpy(buffer, message_.GetString(), n);
    buffer[n] = L'\0';
    return message_.IsEmpty() ? FALSE : TRUE;
}

CString CException::GetErrorMessageString() const { return message_; }

void CException::Delete() { delete this; }

long CException::LiveCount() { return g_live.load(); }
