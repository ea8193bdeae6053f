/* A registry of keys and typed values with the calls and error codes of the Windows registry.
 * Two hives, HKEY_LOCAL_MACHINE and HKEY_CURRENT_USER, each kept in one file under a root
 * directory: kxwin_registry_set_root, else $KXWIN_REGISTRY_ROOT, else $HOME/.kxwin/registry.
 * Key and value names compare without case (ASCII). Remote registries are never reachable. */
#ifndef KXWIN_REGISTRY_H
#define KXWIN_REGISTRY_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct kxwin_hkey *HKEY;
typedef uint32_t REGSAM;

#ifndef KXWIN_FILETIME_DEFINED
#define KXWIN_FILETIME_DEFINED
/* 100-nanosecond units since 1 January 1601 (UTC). */
typedef struct _FILETIME {
    uint32_t dwLowDateTime;
    uint32_t dwHighDateTime;
} FILETIME;
#endif

#ifdef __cplusplus
#define HKEY_CURRENT_USER (reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x80000001u)))
#define HKEY_LOCAL_MACHINE (reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x80000002u)))
#else
#define HKEY_CURRENT_USER ((HKEY)(uintptr_t)0x80000001u)
#define HKEY_LOCAL_MACHINE ((HKEY)(uintptr_t)0x80000002u)
#endif

#define REG_NONE 0u
#define REG_SZ 1u
#define REG_EXPAND_SZ 2u
#define REG_BINARY 3u
#define REG_DWORD 4u
#define REG_DWORD_BIG_ENDIAN 5u
#define REG_MULTI_SZ 7u

#define KEY_QUERY_VALUE 0x0001u
#define KEY_SET_VALUE 0x0002u
#define KEY_CREATE_SUB_KEY 0x0004u
#define KEY_ENUMERATE_SUB_KEYS 0x0008u
#define KEY_NOTIFY 0x0010u
#define KEY_READ 0x20019u
#define KEY_WRITE 0x20006u
#define KEY_ALL_ACCESS 0xF003Fu

#define REG_OPTION_NON_VOLATILE 0u
#define REG_CREATED_NEW_KEY 1u
#define REG_OPENED_EXISTING_KEY 2u

/* The codes the store answers with. */
#define ERROR_SUCCESS 0
#define ERROR_FILE_NOT_FOUND 2
#define ERROR_ACCESS_DENIED 5
#define ERROR_INVALID_HANDLE 6
#define ERROR_NOT_ENOUGH_MEMORY 8
#define ERROR_INVALID_DATA 13
#define ERROR_BAD_NETPATH 53
#define ERROR_INVALID_PARAMETER 87
#define ERROR_BUFFER_OVERFLOW 111
#define ERROR_BAD_ARGUMENTS 160
#define ERROR_BAD_PATHNAME 161
#define ERROR_MORE_DATA 234
#define ERROR_NO_MORE_ITEMS 259
#define ERROR_KEY_DELETED 1018
#define ERROR_REGISTRY_IO_FAILED 1016

/* Where the hive files live; null goes back to the environment or the default. */
void kxwin_registry_set_root(const char *dir);
/* The root directory in use, copied into buf (NUL-terminated when it fits); returns its length. */
size_t kxwin_registry_get_root(char *buf, size_t size);

int32_t RegOpenKeyExA(HKEY key, const char *subkey, uint32_t options, REGSAM sam, HKEY *result);
int32_t RegCreateKeyExA(HKEY key, const char *subkey, uint32_t reserved, char *key_class, uint32_t options, REGSAM sam,
                        void *security, HKEY *result, uint32_t *disposition);
int32_t RegCloseKey(HKEY key);
int32_t RegQueryValueExA(HKEY key, const char *name, uint32_t *reserved, uint32_t *type, uint8_t *data, uint32_t *size);
int32_t RegSetValueExA(HKEY key, const char *name, uint32_t reserved, uint32_t type, const uint8_t *data,
                       uint32_t size);
int32_t RegDeleteValueA(HKEY key, const char *name);
/* Deletes a key without subkeys; one that has subkeys gives ERROR_ACCESS_DENIED. */
int32_t RegDeleteKeyA(HKEY key, const char *subkey);
int32_t RegEnumKeyExA(HKEY key, uint32_t index, char *name, uint32_t *name_size, uint32_t *reserved, char *key_class,
                      uint32_t *class_size, FILETIME *last_write);
int32_t RegEnumValueA(HKEY key, uint32_t index, char *name, uint32_t *name_size, uint32_t *reserved, uint32_t *type,
                      uint8_t *data, uint32_t *data_size);
int32_t RegQueryInfoKeyA(HKEY key, char *key_class, uint32_t *class_size, uint32_t *reserved, uint32_t *subkeys,
                         uint32_t *max_subkey_len, uint32_t *max_class_len, uint32_t *values,
                         uint32_t *max_value_name_len, uint32_t *max_value_len, uint32_t *security_size,
                         FILETIME *last_write);
/* A null or empty machine name is the local registry; any other gives ERROR_BAD_NETPATH. */
int32_t RegConnectRegistryA(const char *machine, HKEY root, HKEY *result);

#ifdef __cplusplus
}
#endif

#endif
