// Sealing of stored secrets (single-sign-on passwords) under the installation's key.
#pragma once
#include "kxwin/cstring.h"

// Gives one token of printable characters without white space, never the plain text; a fresh
// random nonce makes each result different. Encrypting an encrypted text works and nests.
CString AdEncryptStringMaybeUTF8(const CString &plain, int mode = 7);
// Reverses one level of AdEncryptStringMaybeUTF8. Text that is not such a token, or whose check
// fails, throws KXException (KX_MSG_BAD_ENCRYPTED_TEXT).
CString AdDecryptStringMaybeUTF8(const CString &encrypted);
