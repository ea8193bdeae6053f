// Small Windows type names used by the wide-string and exception stand-ins.
#pragma once
#include <cstdint>

typedef int BOOL;
typedef unsigned int UINT;
typedef UINT *PUINT;
typedef long LONG;
typedef unsigned long DWORD;
typedef wchar_t WCHAR;
typedef WCHAR *LPWSTR;
typedef const WCHAR *LPCWSTR;
typedef char *LPSTR;
typedef const char *LPCSTR;
typedef int32_t HRESULT;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif
