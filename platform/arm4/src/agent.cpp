// libarm4: an ARM 4.0 agent that writes one line per call to the file named by KX_ARM4_LOG.
// KX_ARM4_FAIL lists calls to refuse ("call" or "call:name", comma-separated), so that a
// program's handling of a failing agent can be seen.
#include "arm4/arm4.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <set>
#include <string>

#define ARM4_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

std::mutex state_mutex;
std::atomic<arm_int64_t> next_app_handle{1};
std::atomic<arm_int64_t> next_tran_handle{1};
std::atomic<arm_uint32_t> next_id{1};

struct State {
    std::set<std::string> apps;  // registered application ids (hex)
    std::set<std::string> trans; // registered transaction ids (hex)
    std::set<arm_int64_t> started_apps;
    std::set<arm_int64_t> open; // open transaction handles
};

State &state() {
    static State *s = new State; // lives for the process: calls may come from static destructors
    return *s;
}

char const hexdigits[] = "0123456789abcdef";

std::string hex(arm_uint8_t const *p, std::size_t n) {
    std::string out;
    out.reserve(n * 2);
    for (std::size_t i = 0; i < n; ++i) {
        out += hexdigits[p[i] >> 4];
        out += hexdigits[p[i] & 15];
    }
    return out;
}

std::string hex(arm_id_t const *id) { return id ? hex(id->id_u.uint8, 16) : std::string("-"); }

// Text fields are escaped so that one record stays one line and its separators stay unambiguous.
std::string text(char const *s) {
    if (!s) return "-";
    std::string out;
    for (unsigned char const *p = reinterpret_cast<unsigned char const *>(s); *p; ++p) {
        if (*p < 0x20 || *p == 0x7F || std::strchr("%,;[]{}= -", *p)) {
            out += '%';
            out += hexdigits[*p >> 4];
            out += hexdigits[*p & 15];
        } else {
            out += static_cast<char>(*p);
        }
    }
    return out;
}

std::string num(long long v) { return std::to_string(v); }

std::string correlator(arm_correlator_t const *c) {
    if (!c) return "-";
    unsigned len = (unsigned(c->opaque[0]) << 8) | c->opaque[1];
    if (len == 0) return "none";
    if (len < 2 || len > ARM_CORR_MAX_LENGTH) return "invalid:" + num(len);
    return hex(c->opaque + 2, len - 2);
}

void make_correlator(arm_correlator_t *c, arm_app_start_handle_t app, arm_tran_start_handle_t tran) {
    std::memset(c->opaque, 0, sizeof c->opaque);
    unsigned const len = 2 + 2 + 8 + 8;
    c->opaque[0] = 0;
    c->opaque[1] = len;
    c->opaque[2] = 'K';
    c->opaque[3] = 'X';
    for (int i = 0; i < 8; ++i) {
        c->opaque[4 + i] = static_cast<arm_uint8_t>(static_cast<arm_uint64_t>(app) >> (56 - 8 * i));
        c->opaque[12 + i] = static_cast<arm_uint8_t>(static_cast<arm_uint64_t>(tran) >> (56 - 8 * i));
    }
}

std::string metric(arm_metric_t const &m) {
    std::string out = num(m.slot) + "/" + num(m.format) + "/" + num(m.usage) + "/" + num(m.valid) + "/";
    switch (m.format) {
    case ARM_METRIC_FORMAT_COUNTER32:
        out += num(m.metric_u.counter32);
        break;
    case ARM_METRIC_FORMAT_GAUGE32:
        out += num(m.metric_u.gauge32);
        break;
    case ARM_METRIC_FORMAT_NUMERICID32:
        out += num(m.metric_u.numericid32);
        break;
    case ARM_METRIC_FORMAT_COUNTER64:
        out += num(m.metric_u.counter64);
        break;
    case ARM_METRIC_FORMAT_GAUGE64:
        out += num(m.metric_u.gauge64);
        break;
    case ARM_METRIC_FORMAT_NUMERICID64:
        out += num(m.metric_u.numericid64);
        break;
    case ARM_METRIC_FORMAT_CNTRDIVR32:
        out += num(m.metric_u.cntrdivr32.counter) + ":" + num(m.metric_u.cntrdivr32.divisor);
        break;
    case ARM_METRIC_FORMAT_GAUGEDIVR32:
        out += num(m.metric_u.gaugedivr32.gauge) + ":" + num(m.metric_u.gaugedivr32.divisor);
        break;
    case ARM_METRIC_FORMAT_STRING32:
        out += text(m.metric_u.string32);
        break;
    default:
        out += "-";
        break;
    }
    return out;
}

std::string names(arm_int32_t count, char const *const *array) {
    std::string out = "[";
    for (arm_int32_t i = 0; array && i < count; ++i) {
        if (i) out += ",";
        out += text(array[i]);
    }
    return out + "]";
}

std::string props(arm_int32_t count, arm_property_t const *array) {
    std::string out = "[";
    for (arm_int32_t i = 0; array && i < count; ++i) {
        if (i) out += ",";
        out += text(array[i].name) + "=" + text(array[i].value);
    }
    return out + "]";
}

std::string subbuffer(arm_subbuffer_t const *sb) {
    if (!sb) return "null";
    switch (sb->format) {
    case ARM_SUBBUFFER_USER: {
        auto const *u = reinterpret_cast<arm_subbuffer_user_t const *>(sb);
        return "user{name=" + text(u->name) + ",id_valid=" + num(u->id_valid) + ",id=" + hex(&u->id) + "}";
    }
    case ARM_SUBBUFFER_ARRIVAL_TIME:
        return "arrival{" + num(reinterpret_cast<arm_subbuffer_arrival_time_t const *>(sb)->arrival_time) + "}";
    case ARM_SUBBUFFER_METRIC_VALUES: {
        auto const *m = reinterpret_cast<arm_subbuffer_metric_values_t const *>(sb);
        std::string out = "metrics{";
        for (arm_int32_t i = 0; m->metric_value_array && i < m->count; ++i) {
            if (i) out += ",";
            out += metric(m->metric_value_array[i]);
        }
        return out + "}";
    }
    case ARM_SUBBUFFER_SYSTEM_ADDRESS: {
        auto const *a = reinterpret_cast<arm_subbuffer_system_address_t const *>(sb);
        std::string bytes = a->address && a->address_length > 0 ? hex(a->address, a->address_length) : "-";
        return "address{format=" + num(a->address_format) + ",length=" + num(a->address_length) + ",bytes=" + bytes +
               ",id_valid=" + num(a->id_valid) + ",id=" + hex(&a->id) + "}";
    }
    case ARM_SUBBUFFER_DIAG_DETAIL:
        return "diag{" + text(reinterpret_cast<arm_subbuffer_diag_detail_t const *>(sb)->diag_detail) + "}";
    case ARM_SUBBUFFER_APP_IDENTITY: {
        auto const *a = reinterpret_cast<arm_subbuffer_app_identity_t const *>(sb);
        return "app_identity{props=" + props(a->identity_property_count, a->identity_property_array) +
               ",context=" + names(a->context_name_count, a->context_name_array) + "}";
    }
    case ARM_SUBBUFFER_TRAN_IDENTITY: {
        auto const *a = reinterpret_cast<arm_subbuffer_tran_identity_t const *>(sb);
        return "tran_identity{props=" + props(a->identity_property_count, a->identity_property_array) +
               ",context=" + names(a->context_name_count, a->context_name_array) + ",uri=" + text(a->uri) + "}";
    }
    case ARM_SUBBUFFER_APP_CONTEXT: {
        auto const *c = reinterpret_cast<arm_subbuffer_app_context_t const *>(sb);
        return "app_context{values=" + names(c->context_value_count, c->context_value_array) + "}";
    }
    case ARM_SUBBUFFER_TRAN_CONTEXT: {
        auto const *c = reinterpret_cast<arm_subbuffer_tran_context_t const *>(sb);
        return "tran_context{values=" + names(c->context_value_count, c->context_value_array) + ",uri=" + text(c->uri) +
               "}";
    }
    case ARM_SUBBUFFER_METRIC_BINDINGS: {
        auto const *b = reinterpret_cast<arm_subbuffer_metric_bindings_t const *>(sb);
        std::string out = "bindings{";
        for (arm_int32_t i = 0; b->metric_binding_array && i < b->count; ++i) {
            if (i) out += ",";
            out += num(b->metric_binding_array[i].slot) + ":" + hex(&b->metric_binding_array[i].id);
        }
        return out + "}";
    }
    case ARM_SUBBUFFER_CHARSET: {
        auto const *c = reinterpret_cast<arm_subbuffer_charset_t const *>(sb);
        return "charset{" + num(c->charset) + ",flags=" + num(c->flags) + "}";
    }
    default:
        return "unknown{" + num(sb->format) + "}";
    }
}

std::string buffer(arm_buffer4_t const *b) {
    if (!b) return "-";
    std::string out = "[";
    for (arm_int32_t i = 0; b->subbuffer_array && i < b->count; ++i) {
        if (i) out += ";";
        out += subbuffer(b->subbuffer_array[i]);
    }
    return out + "]";
}

// A record line goes out in one write to a file opened for appending, so that lines of
// concurrent threads and processes never interleave.
void record(std::string line) {
    char const *path = std::getenv("KX_ARM4_LOG");
    if (!path || !*path) return;
    line += '\n';
    FILE *f = std::fopen(path, "a");
    if (!f) return;
    std::fwrite(line.data(), 1, line.size(), f);
    std::fclose(f);
}

bool refused(char const *call, char const *name) {
    char const *spec = std::getenv("KX_ARM4_FAIL");
    if (!spec || !*spec) return false;
    std::string all(spec);
    std::string const whole(call);
    std::string const named = whole + ":" + (name ? name : "");
    std::size_t pos = 0;
    while (pos <= all.size()) {
        std::size_t end = all.find(',', pos);
        if (end == std::string::npos) end = all.size();
        std::string item = all.substr(pos, end - pos);
        if (item == whole || (name && item == named)) return true;
        pos = end + 1;
    }
    return false;
}

void new_id(arm_id_t *out, arm_id_t const *in) {
    static arm_id_t const nil{};
    if (in && std::memcmp(in, &nil, sizeof nil) != 0) {
        *out = *in;
        return;
    }
    std::memset(out, 0, sizeof *out);
    out->id_u.uint32[0] = 0x4b58a4a4u;
    out->id_u.uint32[3] = next_id.fetch_add(1);
}

bool valid_buffer(arm_buffer4_t const *b) {
    if (!b) return true;
    if (b->count < 0 || b->count > ARM_MAX_SUBBUFFER_COUNT) return false;
    if (b->count > 0 && !b->subbuffer_array) return false;
    for (arm_int32_t i = 0; i < b->count; ++i)
        if (!b->subbuffer_array[i]) return false;
    return true;
}

} // namespace

ARM4_EXPORT arm_error_t arm_register_application(const arm_char_t *app_name, const arm_id_t *input_app_id,
                                                 const arm_int32_t flags, const arm_buffer4_t *buffer4,
                                                 arm_id_t *output_app_id) {
    std::lock_guard<std::mutex> g(state_mutex);
    arm_error_t rc = 0;
    arm_id_t id{};
    if (!app_name || !output_app_id)
        rc = ARM_ERROR_AGENT_NULL_ARGUMENT;
    else if (!valid_buffer(buffer4))
        rc = ARM_ERROR_AGENT_BAD_BUFFER;
    else if (refused("register_application", app_name))
        rc = ARM_ERROR_AGENT_REFUSED;
    else {
        new_id(&id, input_app_id);
        *output_app_id = id;
        state().apps.insert(hex(&id));
    }
    record("register_application name=" + text(app_name) + " in_id=" + hex(input_app_id) + " flags=" + num(flags) +
           " out_id=" + (rc == 0 ? hex(&id) : "-") + " buffer=" + (valid_buffer(buffer4) ? buffer(buffer4) : "bad") +
           " rc=" + num(rc));
    return rc;
}

ARM4_EXPORT arm_error_t arm_start_application(const arm_id_t *app_id, const arm_char_t *app_group,
                                              const arm_char_t *app_instance, const arm_int32_t flags,
                                              const arm_buffer4_t *buffer4, arm_app_start_handle_t *app_handle) {
    std::lock_guard<std::mutex> g(state_mutex);
    arm_error_t rc = 0;
    arm_app_start_handle_t h = 0;
    if (!app_id || !app_handle)
        rc = ARM_ERROR_AGENT_NULL_ARGUMENT;
    else if (!valid_buffer(buffer4))
        rc = ARM_ERROR_AGENT_BAD_BUFFER;
    else if (!state().apps.count(hex(app_id)))
        rc = ARM_ERROR_AGENT_UNKNOWN_ID;
    else if (refused("start_application", nullptr))
        rc = ARM_ERROR_AGENT_REFUSED;
    else {
        h = next_app_handle.fetch_add(1);
        *app_handle = h;
        state().started_apps.insert(h);
    }
    record("start_application app_id=" + hex(app_id) + " group=" + text(app_group) + " instance=" + text(app_instance) +
           " flags=" + num(flags) + " handle=" + num(h) +
           " buffer=" + (valid_buffer(buffer4) ? buffer(buffer4) : "bad") + " rc=" + num(rc));
    return rc;
}

ARM4_EXPORT arm_error_t arm_register_transaction(const arm_id_t *app_id, const arm_char_t *tran_name,
                                                 const arm_id_t *input_tran_id, const arm_int32_t flags,
                                                 const arm_buffer4_t *buffer4, arm_id_t *output_tran_id) {
    std::lock_guard<std::mutex> g(state_mutex);
    arm_error_t rc = 0;
    arm_id_t id{};
    if (!app_id || !tran_name || !output_tran_id)
        rc = ARM_ERROR_AGENT_NULL_ARGUMENT;
    else if (!valid_buffer(buffer4))
        rc = ARM_ERROR_AGENT_BAD_BUFFER;
    else if (!state().apps.count(hex(app_id)))
        rc = ARM_ERROR_AGENT_UNKNOWN_ID;
    else if (refused("register_transaction", tran_name))
        rc = ARM_ERROR_AGENT_REFUSED;
    else {
        new_id(&id, input_tran_id);
        *output_tran_id = id;
        state().trans.insert(hex(&id));
    }
    record("register_transaction app_id=" + hex(app_id) + " name=" + text(tran_name) + " in_id=" + hex(input_tran_id) +
           " flags=" + num(flags) + " out_id=" + (rc == 0 ? hex(&id) : "-") +
           " buffer=" + (valid_buffer(buffer4) ? buffer(buffer4) : "bad") + " rc=" + num(rc));
    return rc;
}

ARM4_EXPORT arm_error_t arm_start_transaction(const arm_app_start_handle_t app_handle, const arm_id_t *tran_id,
                                              const arm_correlator_t *parent_correlator, const arm_int32_t flags,
                                              const arm_buffer4_t *buffer4, arm_tran_start_handle_t *tran_handle,
                                              arm_correlator_t *current_correlator) {
    std::lock_guard<std::mutex> g(state_mutex);
    arm_error_t rc = 0;
    arm_tran_start_handle_t h = 0;
    // Read before the new correlator is written: a caller may pass one area for both.
    std::string const parent = correlator(parent_correlator);
    if (!tran_id || !tran_handle)
        rc = ARM_ERROR_AGENT_NULL_ARGUMENT;
    else if (!valid_buffer(buffer4))
        rc = ARM_ERROR_AGENT_BAD_BUFFER;
    else if (!state().started_apps.count(app_handle))
        rc = ARM_ERROR_AGENT_UNKNOWN_HANDLE;
    else if (!state().trans.count(hex(tran_id)))
        rc = ARM_ERROR_AGENT_UNKNOWN_ID;
    else if (refused("start_transaction", nullptr))
        rc = ARM_ERROR_AGENT_REFUSED;
    else {
        h = next_tran_handle.fetch_add(1);
        *tran_handle = h;
        state().open.insert(h);
        if (current_correlator) make_correlator(current_correlator, app_handle, h);
    }
    record("start_transaction app_handle=" + num(app_handle) + " tran_id=" + hex(tran_id) + " parent=" + parent +
           " flags=" + num(flags) + " handle=" + num(h) +
           " correlator=" + (rc == 0 && current_correlator ? correlator(current_correlator) : "-") +
           " buffer=" + (valid_buffer(buffer4) ? buffer(buffer4) : "bad") + " rc=" + num(rc));
    return rc;
}

ARM4_EXPORT arm_error_t arm_stop_transaction(const arm_tran_start_handle_t tran_handle, const arm_status_t tran_status,
                                             const arm_int32_t flags, const arm_buffer4_t *buffer4) {
    std::lock_guard<std::mutex> g(state_mutex);
    arm_error_t rc = 0;
    if (!valid_buffer(buffer4))
        rc = ARM_ERROR_AGENT_BAD_BUFFER;
    else if (!state().open.count(tran_handle))
        rc = ARM_ERROR_AGENT_UNKNOWN_HANDLE;
    else if (refused("stop_transaction", nullptr))
        rc = ARM_ERROR_AGENT_REFUSED;
    else
        state().open.erase(tran_handle);
    record("stop_transaction handle=" + num(tran_handle) + " status=" + num(tran_status) + " flags=" + num(flags) +
           " buffer=" + (valid_buffer(buffer4) ? buffer(buffer4) : "bad") + " rc=" + num(rc));
    return rc;
}

ARM4_EXPORT arm_error_t arm_get_error_message(const arm_charset_t charset, const arm_error_t code,
                                              arm_message_buffer_t msg) {
    if (!msg) return ARM_ERROR_AGENT_NULL_ARGUMENT;
    if (charset != ARM_CHARSET_UTF8 && charset != ARM_CHARSET_ASCII) return ARM_ERROR_AGENT_BAD_BUFFER;
    char const *text = nullptr;
    switch (code) {
    case ARM_ERROR_AGENT_NULL_ARGUMENT:
        text = "a required argument is null";
        break;
    case ARM_ERROR_AGENT_UNKNOWN_HANDLE:
        text = "unknown start handle";
        break;
    case ARM_ERROR_AGENT_UNKNOWN_ID:
        text = "unknown application or transaction id";
        break;
    case ARM_ERROR_AGENT_BAD_BUFFER:
        text = "malformed buffer or character set";
        break;
    case ARM_ERROR_AGENT_REFUSED:
        text = "refused by KX_ARM4_FAIL";
        break;
    default:
        break;
    }
    if (!text) {
        std::snprintf(msg, ARM_MSG_BUFFER_LENGTH, "unknown ARM error %d", static_cast<int>(code));
        return ARM_ERROR_AGENT_UNKNOWN_ID;
    }
    std::snprintf(msg, ARM_MSG_BUFFER_LENGTH, "%s", text);
    return 0;
}

#ifndef KX_ARM4_WITHOUT_ARRIVAL_TIME
ARM4_EXPORT arm_error_t arm_get_arrival_time(arm_arrival_time_t *arrival_time) {
    if (!arrival_time) return ARM_ERROR_AGENT_NULL_ARGUMENT;
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    *arrival_time = static_cast<arm_arrival_time_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
    return 0;
}
#endif
