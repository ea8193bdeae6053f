/* Settings of the product family in the registry. Every function returns a Windows error code, 0
 * for success; keys handed out are the caller's to close with vexhub_ntregy_close_key. A machine
 * name of null means the local registry. Rows outside the parameter tables answer 87. */
#pragma once

#include <stdint.h>

#include "kxwin/registry.h"

extern "C" {

int32_t vexhub_ntregy_close_key(HKEY key);
int32_t vexhub_ntregy_connect_remote(const char *machine, HKEY root, HKEY *result);
int32_t vexhub_ntregy_get_handle(HKEY root, const char *subkey, REGSAM access, HKEY *result);
/* With a buffer, reads the value into it; string values are always NUL-terminated within it and a
 * REG_MULTI_SZ value gets its closing NUL, or 234 when the buffer has no room for that. */
int32_t vexhub_ntregy_get_value(HKEY root, const char *subkey, const char *value_name, void *data, uint32_t size,
                                HKEY *result);
int32_t vexhub_ntregy_create_value(HKEY root, const char *key_path, const char *value_name, const void *data,
                                   uint32_t size, uint32_t type, HKEY *result);
int32_t vexhub_ntregy_del_value(HKEY root, const char *subkey, const char *value_name);
int32_t vexhub_ntregy_del_key(HKEY root, const char *key_path);
int32_t vexhub_ntregy_enum_subkeys(HKEY key, uint32_t index, char *name, uint32_t *name_size);
/* The data is NUL-terminated at its length; 234 when the buffer has no room for that NUL. */
int32_t vexhub_ntregy_enum_value(HKEY key, uint32_t index, char *name, uint32_t *name_size, uint32_t *type, void *data,
                                 uint32_t *data_size);

const char *vexhub_ntregy_get_common_key(void);
const char *vexhub_ntregy_get_common_key_mfc_style(void);
int32_t vexhub_ntregy_get_common_key_modtime(FILETIME *time, const char *machine);
int32_t vexhub_ntregy_modtime_product_info_keys(FILETIME *time, const char *machine);
int32_t vexhub_ntregy_modtime_vtrgy_keys(FILETIME *time, const char *machine);
int32_t vexhub_ntregy_get_param(int row, uint32_t size, void *buffer, const char *machine);
int32_t vexhub_ntregy_set_param(int row, const void *data, const char *machine);
int32_t vexhub_ntregy_del_param(int row, const char *machine);
int32_t vexhub_ntregy_get_datatype(int row);
int32_t vexhub_ntregy_get_app_param(const char *app, const char *value_name, uint32_t size, void *buffer,
                                    const char *machine);
int32_t vexhub_ntregy_set_app_param(const char *app, const char *value_name, uint32_t type, const void *data,
                                    const char *machine);
int32_t vexhub_ntregy_set_app_geometry(const char *app, long a, long b, long c, long d, const char *machine);
int32_t vexhub_ntregy_get_app_geometry(const char *app, long *a, long *b, long *c, long *d, const char *machine);
int32_t vexhub_ntregy_update_product_info_keys(const char *text, const char *machine);
int32_t vexhub_ntregy_add_persistent_vob(const char *name);
int32_t vexhub_ntregy_remove_persistent_vob(const char *name);
int32_t vexhub_ntregy_add_to_recent_views(const char *view);
int32_t vexhub_ntregy_del_from_recent_views(const char *view);
int32_t vexhub_ntregy_del_rgy_svrtype(const char *machine);
int32_t vexhub_ntregy_get_rgy_passwd(char *buffer, uint32_t size, const char *machine);
int32_t vexhub_ntregy_set_rgy_passwd(const char *text, const char *machine);
int32_t vexhub_ntregy_del_veltrane_tree(const char *machine);

int32_t vexhub_ntregy_get_tarnfs_datatype(int row);
int32_t vexhub_ntregy_get_tarnfs_param(int row, void *buffer, uint32_t size, const char *machine);
int32_t vexhub_ntregy_get_installed_tarnfs_param(int row, void *buffer, uint32_t size, const char *machine);
/* value: the string for string rows; for number rows the number itself, cast to a pointer. */
int32_t vexhub_ntregy_set_tarnfs_param(int row, const void *value, const char *machine);
int32_t vexhub_ntregy_del_tarnfs_param(int row);
int32_t vexhub_ntregy_get_default_param(int row, void *buffer, uint32_t size);
int32_t vexhub_ntregy_default_tarnfs_param(int row, const char *machine);
int32_t vexhub_ntregy_should_install_default_tarnfs_param(int row);

} // extern "C"
