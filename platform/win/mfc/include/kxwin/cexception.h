// MFC-style exception base: thrown by pointer, read with GetErrorMessageString, freed with Delete.
#pragma once
#include "kxwin/cstring.h"
#include "kxwin/wintypes.h"

class CException {
public:
    CException();
    explicit CException(const CString &message);
    CException(const CException &) = delete;
    CException &operator=(const CException &) = delete;

    // Copies the message into buffer (at most max_chars including the terminator).
    virtual BOOL GetErrorMessage(LPWSTR buffer, UINT max_chars, PUINT help_context = nullptr) const;
    CString GetErrorMessageString() const;
    // The catcher's release; the object must not be used afterwards.
    void Delete();

    // Number of exception objects alive in the process, for leak checks.
    static long LiveCount();

protected:
    virtual ~CException();
    CString message_;
};
