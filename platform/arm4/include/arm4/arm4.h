/* The ARM 4.0 C binding as this system uses it: data types, sub-buffer layouts and the seven
 * entry points that the utility library looks up in the agent at run time. */
#ifndef KX_ARM4_ARM4_H
#define KX_ARM4_ARM4_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef int8_t arm_int8_t;
typedef uint8_t arm_uint8_t;
typedef int16_t arm_int16_t;
typedef uint16_t arm_uint16_t;
typedef int32_t arm_int32_t;
typedef uint32_t arm_uint32_t;
typedef int64_t arm_int64_t;
typedef uint64_t arm_uint64_t;
typedef char arm_char_t;

typedef arm_int32_t arm_boolean_t;
typedef arm_int32_t arm_error_t;
typedef arm_int32_t arm_charset_t;
typedef arm_int32_t arm_status_t;
typedef arm_int32_t arm_subbuffer_format_t;
typedef arm_int64_t arm_app_start_handle_t;
typedef arm_int64_t arm_tran_start_handle_t;
typedef arm_int64_t arm_arrival_time_t;

#define ARM_FALSE 0
#define ARM_TRUE 1

#define ARM_CORR_MAX_LENGTH 512
#define ARM_MSG_BUFFER_LENGTH 256
#define ARM_PROPERTY_MAX_COUNT 20
#define ARM_MAX_SUBBUFFER_COUNT 4

/* Flags of the start and register calls. */
#define ARM_FLAG_NONE 0
#define ARM_FLAG_TRACE_REQUEST 1
#define ARM_FLAG_BIND_THREAD 2
#define ARM_FLAG_CORR_IN_PROC 4

/* Transaction status at stop. */
#define ARM_STATUS_GOOD 0
#define ARM_STATUS_ABORTED 1
#define ARM_STATUS_FAILED 2
#define ARM_STATUS_UNKNOWN 3

/* Character sets (IANA MIB numbers). */
#define ARM_CHARSET_ASCII 3
#define ARM_CHARSET_UTF8 106
#define ARM_CHARSET_UTF16 1015

/* Sub-buffer formats. */
#define ARM_SUBBUFFER_USER 3
#define ARM_SUBBUFFER_ARRIVAL_TIME 4
#define ARM_SUBBUFFER_METRIC_VALUES 5
#define ARM_SUBBUFFER_SYSTEM_ADDRESS 6
#define ARM_SUBBUFFER_DIAG_DETAIL 7
#define ARM_SUBBUFFER_APP_IDENTITY 102
#define ARM_SUBBUFFER_APP_CONTEXT 103
#define ARM_SUBBUFFER_TRAN_IDENTITY 104
#define ARM_SUBBUFFER_TRAN_CONTEXT 105
#define ARM_SUBBUFFER_METRIC_BINDINGS 106
#define ARM_SUBBUFFER_CHARSET 107

/* Metric formats. */
#define ARM_METRIC_FORMAT_RESERVED 0
#define ARM_METRIC_FORMAT_COUNTER32 1
#define ARM_METRIC_FORMAT_COUNTER64 2
#define ARM_METRIC_FORMAT_CNTRDIVR32 3
#define ARM_METRIC_FORMAT_GAUGE32 4
#define ARM_METRIC_FORMAT_GAUGE64 5
#define ARM_METRIC_FORMAT_GAUGEDIVR32 6
#define ARM_METRIC_FORMAT_NUMERICID32 7
#define ARM_METRIC_FORMAT_NUMERICID64 8
#define ARM_METRIC_FORMAT_STRING32 10

#define ARM_METRIC_MIN_ARRAY_INDEX 0
#define ARM_METRIC_MAX_ARRAY_INDEX 6
#define ARM_METRIC_STRING32_MAX_LENGTH 32
#define ARM_DIAG_DETAIL_MAX_LENGTH 4096

typedef struct arm_id {
    union {
        arm_uint8_t uint8[16];
        arm_uint32_t uint32[4];
        arm_uint64_t uint64[2];
    } id_u;
} arm_id_t;

/* The first two bytes hold the correlator's length in network byte order; 0 means none. */
typedef struct arm_correlator {
    arm_uint8_t opaque[ARM_CORR_MAX_LENGTH];
} arm_correlator_t;

typedef arm_char_t arm_message_buffer_t[ARM_MSG_BUFFER_LENGTH];

typedef struct arm_subbuffer {
    arm_subbuffer_format_t format;
} arm_subbuffer_t;

typedef struct arm_buffer4 {
    arm_int32_t count;
    arm_subbuffer_t **subbuffer_array;
} arm_buffer4_t;

typedef struct arm_property {
    const arm_char_t *name;
    const arm_char_t *value;
} arm_property_t;

typedef arm_uint8_t arm_metric_slot_t;
typedef arm_uint8_t arm_metric_format_t;
typedef arm_int16_t arm_metric_usage_t;

typedef struct arm_metric_cntrdivr32 {
    arm_int32_t counter;
    arm_int32_t divisor;
} arm_metric_cntrdivr32_t;

typedef struct arm_metric_gaugedivr32 {
    arm_int32_t gauge;
    arm_int32_t divisor;
} arm_metric_gaugedivr32_t;

typedef struct arm_metric {
    arm_metric_slot_t slot;
    arm_metric_format_t format;
    arm_metric_usage_t usage;
    arm_boolean_t valid;
    union {
        arm_int32_t counter32;
        arm_int64_t counter64;
        arm_metric_cntrdivr32_t cntrdivr32;
        arm_int32_t gauge32;
        arm_int64_t gauge64;
        arm_metric_gaugedivr32_t gaugedivr32;
        arm_int32_t numericid32;
        arm_int64_t numericid64;
        const arm_char_t *string32;
    } metric_u;
} arm_metric_t;

typedef struct arm_metric_binding {
    arm_metric_slot_t slot;
    arm_id_t id;
} arm_metric_binding_t;

typedef struct arm_subbuffer_user {
    arm_subbuffer_t header;
    const arm_char_t *name;
    arm_boolean_t id_valid;
    arm_id_t id;
} arm_subbuffer_user_t;

typedef struct arm_subbuffer_arrival_time {
    arm_subbuffer_t header;
    arm_arrival_time_t arrival_time;
} arm_subbuffer_arrival_time_t;

typedef struct arm_subbuffer_metric_values {
    arm_subbuffer_t header;
    arm_int32_t count;
    const arm_metric_t *metric_value_array;
} arm_subbuffer_metric_values_t;

typedef struct arm_subbuffer_system_address {
    arm_subbuffer_t header;
    arm_int16_t address_format;
    arm_int16_t address_length;
    const arm_uint8_t *address;
    arm_boolean_t id_valid;
    arm_id_t id;
} arm_subbuffer_system_address_t;

typedef struct arm_subbuffer_diag_detail {
    arm_subbuffer_t header;
    const arm_char_t *diag_detail;
} arm_subbuffer_diag_detail_t;

typedef struct arm_subbuffer_app_identity {
    arm_subbuffer_t header;
    arm_int32_t identity_property_count;
    const arm_property_t *identity_property_array;
    arm_int32_t context_name_count;
    const arm_char_t **context_name_array;
} arm_subbuffer_app_identity_t;

typedef struct arm_subbuffer_app_context {
    arm_subbuffer_t header;
    arm_int32_t context_value_count;
    const arm_char_t **context_value_array;
} arm_subbuffer_app_context_t;

typedef struct arm_subbuffer_tran_identity {
    arm_subbuffer_t header;
    arm_int32_t identity_property_count;
    const arm_property_t *identity_property_array;
    arm_int32_t context_name_count;
    const arm_char_t **context_name_array;
    const arm_char_t *uri;
} arm_subbuffer_tran_identity_t;

typedef struct arm_subbuffer_tran_context {
    arm_subbuffer_t header;
    arm_int32_t context_value_count;
    const arm_char_t **context_value_array;
    const arm_char_t *uri;
} arm_subbuffer_tran_context_t;

typedef struct arm_subbuffer_metric_bindings {
    arm_subbuffer_t header;
    arm_int32_t count;
    const arm_metric_binding_t *metric_binding_array;
} arm_subbuffer_metric_bindings_t;

typedef struct arm_subbuffer_charset {
    arm_subbuffer_t header;
    arm_charset_t charset;
    arm_int32_t flags;
} arm_subbuffer_charset_t;

/* Error codes of the agent (negative). */
#define ARM_ERROR_AGENT_NULL_ARGUMENT (-20001)
#define ARM_ERROR_AGENT_UNKNOWN_HANDLE (-20002)
#define ARM_ERROR_AGENT_UNKNOWN_ID (-20003)
#define ARM_ERROR_AGENT_BAD_BUFFER (-20004)
#define ARM_ERROR_AGENT_REFUSED (-20005)

arm_error_t arm_register_application(const arm_char_t *app_name, const arm_id_t *input_app_id, const arm_int32_t flags,
                                     const arm_buffer4_t *buffer4, arm_id_t *output_app_id);
arm_error_t arm_start_application(const arm_id_t *app_id, const arm_char_t *app_group, const arm_char_t *app_instance,
                                  const arm_int32_t flags, const arm_buffer4_t *buffer4,
                                  arm_app_start_handle_t *app_handle);
arm_error_t arm_register_transaction(const arm_id_t *app_id, const arm_char_t *tran_name, const arm_id_t *input_tran_id,
                                     const arm_int32_t flags, const arm_buffer4_t *buffer4, arm_id_t *output_tran_id);
arm_error_t arm_start_transaction(const arm_app_start_handle_t app_handle, const arm_id_t *tran_id,
                                  const arm_correlator_t *parent_correlator, const arm_int32_t flags,
                                  const arm_buffer4_t *buffer4, arm_tran_start_handle_t *tran_handle,
                                  arm_correlator_t *current_correlator);
arm_error_t arm_stop_transaction(const arm_tran_start_handle_t tran_handle, const arm_status_t tran_status,
                                 const arm_int32_t flags, const arm_buffer4_t *buffer4);
arm_error_t arm_get_error_message(const arm_charset_t charset, const arm_error_t code, arm_message_buffer_t msg);
arm_error_t arm_get_arrival_time(arm_arrival_time_t *arrival_time);

/* Pointer types of the entry points, for lookup by name. */
typedef arm_error_t (*arm_register_application_fn)(const arm_char_t *, const arm_id_t *, const arm_int32_t,
                                                   const arm_buffer4_t *, arm_id_t *);
typedef arm_error_t (*arm_start_application_fn)(const arm_id_t *, const arm_char_t *, const arm_char_t *,
                                                const arm_int32_t, const arm_buffer4_t *, arm_app_start_handle_t *);
typedef arm_error_t (*arm_register_transaction_fn)(const arm_id_t *, const arm_char_t *, const arm_id_t *,
                                                   const arm_int32_t, const arm_buffer4_t *, arm_id_t *);
typedef arm_error_t (*arm_start_transaction_fn)(const arm_app_start_handle_t, const arm_id_t *,
                                                const arm_correlator_t *, const arm_int32_t, const arm_buffer4_t *,
                                                arm_tran_start_handle_t *, arm_correlator_t *);
typedef arm_error_t (*arm_stop_transaction_fn)(const arm_tran_start_handle_t, const arm_status_t, const arm_int32_t,
                                               const arm_buffer4_t *);
typedef arm_error_t (*arm_get_error_message_fn)(const arm_charset_t, const arm_error_t, arm_message_buffer_t);
typedef arm_error_t (*arm_get_arrival_time_fn)(arm_arrival_time_t *);

#ifdef __cplusplus
}
#endif

#endif
