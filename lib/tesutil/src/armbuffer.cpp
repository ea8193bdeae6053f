#include "tesutil/armbuffer.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <shared_mutex>
#include <string>

#include "tesutil/stpexception.h"
#include "tesutil/umessage.h"

namespace Nul {

namespace {

[[noreturn]] void arm_error(char const *text) {
    STPException::raise(STPException::REASON_INTERNAL, UMessage(wexutil_catalog, WEXUTIL_ARM_ERROR, text), nullptr,
                        nullptr, STPException::LOG_INFO);
}

// Per-call buffers look into the process-wide pool while start-up may still be filling it.
std::shared_mutex &global_pool_lock() {
    static std::shared_mutex m;
    return m;
}

char *utf8_copy(UString const &text) {
    Utf8String bytes = text.utf8_str();
    char *copy = static_cast<char *>(std::malloc(bytes.size() + 1));
    if (!copy) throw std::bad_alloc();
    std::memcpy(copy, bytes.c_str(), bytes.size() + 1);
    return copy;
}

// One sub-buffer is one zeroed block: the structure first, then its arrays and copied bytes.
class BlockLayout {
public:
    template <class T>
    std::size_t place(std::size_t count) {
        size_ = (size_ + alignof(T) - 1) / alignof(T) * alignof(T);
        std::size_t at = size_;
        size_ += sizeof(T) * count;
        return at;
    }
    unsigned char *allocate() const {
        void *p = std::calloc(1, size_);
        if (!p) throw std::bad_alloc();
        return static_cast<unsigned char *>(p);
    }

private:
    std::size_t size_ = 0;
};

template <class T>
T *at(unsigned char *block, std::size_t offset) {
    return reinterpret_cast<T *>(block + offset);
}

// A sub-buffer with nothing placed after it.
template <class T>
T *lone_block(arm_int32_t format) {
    BlockLayout layout;
    layout.place<T>(1);
    auto *sb = at<T>(layout.allocate(), 0);
    sb->header.format = format;
    return sb;
}

// A sub-buffer followed by its array of n items; items is null when n is 0.
template <class T, class Item>
T *counted_block(arm_int32_t format, std::size_t n, Item *&items) {
    BlockLayout layout;
    layout.place<T>(1);
    std::size_t array = layout.place<Item>(n);
    unsigned char *block = layout.allocate();
    auto *sb = at<T>(block, 0);
    sb->header.format = format;
    sb->count = static_cast<arm_int32_t>(n);
    items = n ? at<Item>(block, array) : nullptr;
    return sb;
}

// The application and transaction forms share their leading fields.
template <class T>
T *fill_identity(unsigned char *block, arm_int32_t format, std::size_t props, arm_property_t const *prop_array,
                 std::size_t names, char const **name_array) {
    auto *sb = at<T>(block, 0);
    sb->header.format = format;
    sb->identity_property_count = static_cast<arm_int32_t>(props);
    sb->identity_property_array = prop_array;
    sb->context_name_count = static_cast<arm_int32_t>(names);
    sb->context_name_array = name_array;
    return sb;
}

template <class T>
T *fill_context(unsigned char *block, arm_int32_t format, std::size_t values, char const **value_array) {
    auto *sb = at<T>(block, 0);
    sb->header.format = format;
    sb->context_value_count = static_cast<arm_int32_t>(values);
    sb->context_value_array = value_array;
    return sb;
}

} // namespace

UString arm_truncate(UString const &text, unsigned max_units) { return text.left(max_units); }

// ---- staging buffers ----

void ArmAppIdentyBuffer::check_room() const {
    if (num_identity_props() + num_context_props() >= max_props)
        arm_error("ArmIdentityBuffer:: trying to register too many properties");
}

void ArmAppIdentyBuffer::add_identity_prop(wchar_t const *name, wchar_t const *value) {
    check_room();
    strings_.emplace_back(name ? name : L"");
    prop_names_.push_back(static_cast<int>(strings_.size() - 1));
    strings_.emplace_back(value ? value : L"");
    prop_values_.push_back(static_cast<int>(strings_.size() - 1));
}

void ArmAppIdentyBuffer::add_context_prop(UString const &name) {
    check_room();
    strings_.push_back(name);
    int index = num_context_props();
    ctx_names_.push_back(static_cast<int>(strings_.size() - 1));
    ctx_map_[name] = index;
}

void ArmAppIdentyBuffer::drop_staged() {
    prop_names_.clear();
    prop_values_.clear();
    ctx_names_.clear();
    strings_.clear();
}

void ArmAppContextBuffer::add_ctx_prop(UString const &name, UString const &value) {
    auto it = ctx_map_.find(name);
    if (it == ctx_map_.end()) arm_error("ArmContextBuffer:: trying to add unknown context property");
    indices_.push_back(it->second);
    strings_.push_back(value);
}

void ArmAppContextBuffer::drop_staged() {
    indices_.clear();
    strings_.clear();
}

std::int32_t ArmMetricValuesBuffer::value_t::low32() const {
    std::int32_t v;
    std::memcpy(&v, payload, sizeof v);
    return v;
}

std::int64_t ArmMetricValuesBuffer::value_t::whole64() const {
    std::int64_t v;
    std::memcpy(&v, payload, sizeof v);
    return v;
}

void ArmMetricValuesBuffer::check_slot(std::uint8_t slot) {
    if (slot > max_numeric_slot) arm_error("ArmMetricValuesBuffer:: illegal slot # for non-string metric");
}

void ArmMetricValuesBuffer::append_numeric(std::uint8_t slot, std::uint8_t format, std::int16_t usage, bool valid,
                                           void const *bytes, std::size_t size) {
    check_slot(slot);
    value_t v{slot, format, usage, valid, {}};
    std::memcpy(v.payload, bytes, size);
    values_.push_back(v);
}

void ArmMetricValuesBuffer::add_value(std::uint8_t slot, std::uint8_t format, std::int16_t usage, bool valid,
                                      std::int32_t value) {
    // Zero-extended, so a 64-bit format reads exactly this value and no stale bytes.
    std::uint64_t wide = static_cast<std::uint32_t>(value);
    append_numeric(slot, format, usage, valid, &wide, sizeof wide);
}

void ArmMetricValuesBuffer::add_value(std::uint8_t slot, std::uint8_t format, std::int16_t usage, bool valid,
                                      std::int64_t value) {
    append_numeric(slot, format, usage, valid, &value, sizeof value);
}

void ArmMetricValuesBuffer::add_value(std::uint8_t slot, std::int16_t usage, bool valid,
                                      arm_metric_cntrdivr32_t const &value) {
    std::int32_t pair[2] = {value.counter, value.divisor};
    append_numeric(slot, ARM_METRIC_FORMAT_CNTRDIVR32, usage, valid, pair, sizeof pair);
}

void ArmMetricValuesBuffer::add_value(std::uint8_t slot, std::int16_t usage, bool valid,
                                      arm_metric_gaugedivr32_t const &value) {
    std::int32_t pair[2] = {value.gauge, value.divisor};
    append_numeric(slot, ARM_METRIC_FORMAT_GAUGEDIVR32, usage, valid, pair, sizeof pair);
}

void ArmMetricValuesBuffer::add_value(std::int16_t usage, bool valid, UString const &text) {
    string_ = arm_truncate(text, max_string_units);
    values_.push_back(value_t{string_slot, ARM_METRIC_FORMAT_STRING32, usage, valid, {}});
}

// ---- ArmBuffer ----

ArmBuffer::str_pool_t *ArmBuffer::g_str_pool = nullptr;

ArmBuffer::ArmBuffer(bool use_global_pool) : use_global_pool_(use_global_pool), buf_{0, subbuffers_}, subbuffers_{} {}

ArmBuffer::~ArmBuffer() { clear(); }

void ArmBuffer::clear() {
    for (int i = 0; i < buf_.count; ++i) {
        std::free(subbuffers_[i]);
        subbuffers_[i] = nullptr;
    }
    buf_.count = 0;
    for (auto &entry : str_pool_) std::free(entry.second);
    str_pool_.clear();
}

char const *ArmBuffer::pool_string(UString const &text) {
    {
        std::shared_lock<std::shared_mutex> read(global_pool_lock());
        if (g_str_pool) {
            auto it = g_str_pool->find(text);
            if (it != g_str_pool->end()) return it->second;
        }
    }
    std::unique_lock<std::shared_mutex> write(global_pool_lock());
    if (!g_str_pool) g_str_pool = new str_pool_t;
    auto it = g_str_pool->find(text);
    if (it != g_str_pool->end()) return it->second;
    char *copy = utf8_copy(text);
    g_str_pool->emplace(text, copy);
    return copy;
}

char const *ArmBuffer::pool(UString const &text) {
    if (use_global_pool_) return pool_string(text);
    auto it = str_pool_.find(text);
    if (it != str_pool_.end()) return it->second;
    {
        std::shared_lock<std::shared_mutex> read(global_pool_lock());
        if (g_str_pool) {
            auto g = g_str_pool->find(text);
            if (g != g_str_pool->end()) return g->second;
        }
    }
    char *copy = utf8_copy(text);
    try {
        str_pool_.emplace(text, copy);
    } catch (...) {
        std::free(copy);
        throw;
    }
    return copy;
}

void ArmBuffer::check_limit(char const *operation) const {
    if (buf_.count >= max_subbuffers)
        arm_error((std::string("ArmBuffer::") + operation + "():  Max Buffer count exceeded.").c_str());
}

void ArmBuffer::append(void *block) { subbuffers_[buf_.count++] = static_cast<arm_subbuffer_t *>(block); }

void ArmBuffer::add_buffer() {
    check_limit("add_charset_buffer");
    auto *sb = lone_block<arm_subbuffer_charset_t>(ARM_SUBBUFFER_CHARSET);
    sb->charset = ARM_CHARSET_UTF8;
    sb->flags = 0;
    append(sb);
}

void ArmBuffer::add_buffer(std::int64_t arrival_time) {
    check_limit("add_buffer");
    auto *sb = lone_block<arm_subbuffer_arrival_time_t>(ARM_SUBBUFFER_ARRIVAL_TIME);
    sb->arrival_time = arrival_time;
    append(sb);
}

void ArmBuffer::add_buffer(ArmMetricBindingsBuffer &bindings) {
    check_limit("add_buffer");
    std::size_t n = bindings.bindings_.size();
    arm_metric_binding_t *items;
    auto *sb = counted_block<arm_subbuffer_metric_bindings_t>(ARM_SUBBUFFER_METRIC_BINDINGS, n, items);
    if (n) {
        for (std::size_t i = 0; i < n; ++i) {
            items[i].slot = bindings.bindings_[i].slot;
            items[i].id = bindings.bindings_[i].id;
        }
        sb->metric_binding_array = items;
    }
    append(sb);
    bindings.bindings_.clear();
}

void ArmBuffer::add_buffer(std::int16_t address_format, std::int16_t address_length, std::uint8_t const *address,
                           bool id_valid, arm_id const &id) {
    check_limit("add_buffer");
    // A length without bytes, or a negative one, has nothing to copy.
    std::size_t n = address && address_length > 0 ? static_cast<std::size_t>(address_length) : 0;
    BlockLayout layout;
    layout.place<arm_subbuffer_system_address_t>(1);
    std::size_t bytes = layout.place<arm_uint8_t>(n);
    unsigned char *block = layout.allocate();
    auto *sb = at<arm_subbuffer_system_address_t>(block, 0);
    sb->header.format = ARM_SUBBUFFER_SYSTEM_ADDRESS;
    sb->address_format = address_format;
    sb->address_length = static_cast<arm_int16_t>(n);
    if (n) {
        std::memcpy(block + bytes, address, n);
        sb->address = block + bytes;
    }
    sb->id_valid = id_valid ? ARM_TRUE : ARM_FALSE;
    sb->id = id;
    append(sb);
}

void ArmBuffer::add_buffer(ArmMetricValuesBuffer &values) {
    check_limit("add_buffer");
    std::size_t n = values.values_.size();
    char const *text = nullptr;
    for (auto const &v : values.values_)
        if (v.format == ARM_METRIC_FORMAT_STRING32) text = pool(values.string_);
    arm_metric_t *items;
    auto *sb = counted_block<arm_subbuffer_metric_values_t>(ARM_SUBBUFFER_METRIC_VALUES, n, items);
    if (n) {
        for (std::size_t i = 0; i < n; ++i) {
            auto const &v = values.values_[i];
            arm_metric_t &m = items[i];
            m.slot = v.slot;
            m.format = v.format;
            m.usage = v.usage;
            m.valid = v.valid ? ARM_TRUE : ARM_FALSE;
            switch (v.format) {
            case ARM_METRIC_FORMAT_COUNTER32:
            case ARM_METRIC_FORMAT_GAUGE32:
            case ARM_METRIC_FORMAT_NUMERICID32:
                m.metric_u.counter32 = v.low32();
                break;
            case ARM_METRIC_FORMAT_COUNTER64:
            case ARM_METRIC_FORMAT_GAUGE64:
            case ARM_METRIC_FORMAT_NUMERICID64:
                m.metric_u.counter64 = v.whole64();
                break;
            case ARM_METRIC_FORMAT_CNTRDIVR32:
            case ARM_METRIC_FORMAT_GAUGEDIVR32:
                std::memcpy(&m.metric_u.cntrdivr32.counter, v.payload, 4);
                std::memcpy(&m.metric_u.cntrdivr32.divisor, v.payload + 4, 4);
                break;
            case ARM_METRIC_FORMAT_STRING32:
                m.metric_u.string32 = text;
                break;
            default:
                break;
            }
        }
        sb->metric_value_array = items;
    }
    append(sb);
    values.values_.clear();
}

void ArmBuffer::add_buffer(UString const &user_name, bool id_valid, arm_id const &id) {
    check_limit("add_buffer");
    char const *name = pool(user_name);
    auto *sb = lone_block<arm_subbuffer_user_t>(ARM_SUBBUFFER_USER);
    sb->name = name;
    sb->id_valid = id_valid ? ARM_TRUE : ARM_FALSE;
    sb->id = id;
    append(sb);
}

void ArmBuffer::add_buffer(UString const &diag_detail) {
    check_limit("add_buffer");
    char const *text = pool(arm_truncate(diag_detail, max_diag_units));
    auto *sb = lone_block<arm_subbuffer_diag_detail_t>(ARM_SUBBUFFER_DIAG_DETAIL);
    sb->diag_detail = text;
    append(sb);
}

void ArmBuffer::add_identity(ArmAppIdentyBuffer &identity, UString *uri) {
    std::size_t props = identity.prop_names_.size();
    std::size_t names = identity.ctx_names_.size();
    auto const &strings = identity.strings_;
    std::vector<char const *> prop_texts;
    for (std::size_t i = 0; i < props; ++i) {
        prop_texts.push_back(pool(strings[identity.prop_names_[i]]));
        prop_texts.push_back(pool(strings[identity.prop_values_[i]]));
    }
    std::vector<char const *> name_texts;
    for (std::size_t i = 0; i < names; ++i) name_texts.push_back(pool(strings[identity.ctx_names_[i]]));
    char const *uri_text = uri && !uri->empty() ? pool(*uri) : nullptr;

    BlockLayout layout;
    if (uri)
        layout.place<arm_subbuffer_tran_identity_t>(1);
    else
        layout.place<arm_subbuffer_app_identity_t>(1);
    std::size_t prop_array = layout.place<arm_property_t>(props);
    std::size_t name_array = layout.place<char const *>(names);
    unsigned char *block = layout.allocate();
    arm_property_t const *prop_ptr = nullptr;
    char const **name_ptr = nullptr;
    if (props) {
        auto *items = at<arm_property_t>(block, prop_array);
        for (std::size_t i = 0; i < props; ++i) {
            items[i].name = prop_texts[2 * i];
            items[i].value = prop_texts[2 * i + 1];
        }
        prop_ptr = items;
    }
    if (names) {
        name_ptr = at<char const *>(block, name_array);
        std::copy(name_texts.begin(), name_texts.end(), name_ptr);
    }
    if (uri) {
        fill_identity<arm_subbuffer_tran_identity_t>(block, ARM_SUBBUFFER_TRAN_IDENTITY, props, prop_ptr, names,
                                                     name_ptr)
            ->uri = uri_text;
        uri->clear();
    } else {
        fill_identity<arm_subbuffer_app_identity_t>(block, ARM_SUBBUFFER_APP_IDENTITY, props, prop_ptr, names,
                                                    name_ptr);
    }
    append(block);
    identity.drop_staged();
}

void ArmBuffer::add_context(ArmAppContextBuffer &context, UString *uri) {
    std::size_t n = 0;
    for (int index : context.indices_) n = std::max<std::size_t>(n, static_cast<std::size_t>(index) + 1);
    std::vector<char const *> values(n, nullptr);
    for (std::size_t i = 0; i < context.indices_.size(); ++i)
        if (context.indices_[i] >= 0) values[context.indices_[i]] = pool(context.strings_[i]);
    char const *uri_text = uri && !uri->empty() ? pool(*uri) : nullptr;

    BlockLayout layout;
    if (uri)
        layout.place<arm_subbuffer_tran_context_t>(1);
    else
        layout.place<arm_subbuffer_app_context_t>(1);
    std::size_t array = layout.place<char const *>(n);
    unsigned char *block = layout.allocate();
    char const **value_ptr = nullptr;
    if (n) {
        value_ptr = at<char const *>(block, array);
        std::copy(values.begin(), values.end(), value_ptr);
    }
    if (uri) {
        fill_context<arm_subbuffer_tran_context_t>(block, ARM_SUBBUFFER_TRAN_CONTEXT, n, value_ptr)->uri = uri_text;
        uri->clear();
    } else {
        fill_context<arm_subbuffer_app_context_t>(block, ARM_SUBBUFFER_APP_CONTEXT, n, value_ptr);
    }
    append(block);
    context.drop_staged();
}

void ArmBuffer::add_buffer(ArmAppIdentyBuffer &identity) {
    check_limit("add_buffer");
    add_identity(identity, nullptr);
}

void ArmBuffer::add_buffer(ArmTransIdentyBuffer &identity) {
    check_limit("add_buffer");
    add_identity(identity, &identity.uri_);
}

void ArmBuffer::add_buffer(ArmAppContextBuffer &context) {
    check_limit("add_buffer");
    add_context(context, nullptr);
}

void ArmBuffer::add_buffer(ArmTransContextBuffer &context) {
    check_limit("add_buffer");
    add_context(context, &context.uri_);
}

} // namespace Nul
