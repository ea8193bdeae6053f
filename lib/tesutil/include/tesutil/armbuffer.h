// Data passed with ARM registrations, starts and stops: staging buffers in Nul::UString and
// Nul::ArmBuffer, which turns them into ARM 4.0 sub-buffers with pooled UTF-8 strings.
#pragma once

#include <cstdint>
#include <unordered_map>
#include <vector>

#include "arm4/arm4.h"
#include "tesutil/ustring.h"

namespace stdext {
template <class K, class V>
using hash_map = std::unordered_map<K, V>;
}

namespace Nul {

class ArmBufferBase {
public:
    std::vector<UString> &strings() { return strings_; }
    std::vector<UString> const &strings() const { return strings_; }

protected:
    std::vector<UString> strings_;
};

// Context name -> index of its value.
using arm_ctx_index_map_t = stdext::hash_map<UString, int>;

class ArmAppIdentyBuffer : public ArmBufferBase {
public:
    // Identity properties and context names together.
    static constexpr int max_props = 19;

    void add_identity_prop(wchar_t const *name, wchar_t const *value);
    void add_context_prop(UString const &name);
    int num_identity_props() const { return static_cast<int>(prop_names_.size()); }
    int num_context_props() const { return static_cast<int>(ctx_names_.size()); }
    arm_ctx_index_map_t ctx_indicies() const { return ctx_map_; }
    std::vector<int> const &prop_names() const { return prop_names_; }
    std::vector<int> const &prop_values() const { return prop_values_; }
    std::vector<int> const &ctx_names() const { return ctx_names_; }

protected:
    friend class ArmBuffer;
    void check_room() const;
    // What a finished sub-buffer takes away; the context map stays for building context buffers.
    void drop_staged();

    std::vector<int> prop_names_;
    std::vector<int> prop_values_;
    std::vector<int> ctx_names_;
    arm_ctx_index_map_t ctx_map_;
};

class ArmTransIdentyBuffer : public ArmAppIdentyBuffer {
public:
    void set_uri(wchar_t const *uri) { uri_ = UString(uri ? uri : L""); }
    UString const &uri() const { return uri_; }

private:
    friend class ArmBuffer;
    UString uri_;
};

class ArmAppContextBuffer : public ArmBufferBase {
public:
    ArmAppContextBuffer() = default;
    explicit ArmAppContextBuffer(arm_ctx_index_map_t const &indices) : ctx_map_(indices) {}
    void set_ctx_indicies(arm_ctx_index_map_t const &indices) { ctx_map_ = indices; }
    void add_ctx_prop(UString const &name, UString const &value);
    int num_context_values() const { return static_cast<int>(indices_.size()); }
    std::vector<int> const &indices() const { return indices_; }

protected:
    friend class ArmBuffer;
    void drop_staged();

    std::vector<int> indices_;
    arm_ctx_index_map_t ctx_map_;
};

class ArmTransContextBuffer : public ArmAppContextBuffer {
public:
    ArmTransContextBuffer() = default;
    explicit ArmTransContextBuffer(arm_ctx_index_map_t const &indices) : ArmAppContextBuffer(indices) {}
    void set_uri(UString const &uri) { uri_ = uri; }
    UString const &uri() const { return uri_; }

private:
    friend class ArmBuffer;
    UString uri_;
};

class ArmMetricValuesBuffer {
public:
    // Numeric metrics use slots 0 to 5; slot 6 is the string metric's.
    static constexpr std::uint8_t max_numeric_slot = 5;
    static constexpr std::uint8_t string_slot = 6;
    static constexpr unsigned max_string_units = 32;

    struct value_t {
        std::uint8_t slot = 0;
        std::uint8_t format = 0;
        std::int16_t usage = 0;
        bool valid = false;
        // Always fully written: a 32-bit value leaves the upper four bytes zero.
        std::uint8_t payload[8] = {};

        std::int32_t low32() const;
        std::int64_t whole64() const;
    };

    void add_value(std::uint8_t slot, std::uint8_t format, std::int16_t usage, bool valid, std::int32_t value);
    void add_value(std::uint8_t slot, std::uint8_t format, std::int16_t usage, bool valid, std::int64_t value);
    void add_value(std::uint8_t slot, std::int16_t usage, bool valid, arm_metric_cntrdivr32_t const &value);
    void add_value(std::uint8_t slot, std::int16_t usage, bool valid, arm_metric_gaugedivr32_t const &value);
    void add_value(std::int16_t usage, bool valid, UString const &text);
    std::vector<value_t> const &values() const { return values_; }
    UString const &string_value() const { return string_; }

private:
    friend class ArmBuffer;
    static void check_slot(std::uint8_t slot);
    void append_numeric(std::uint8_t slot, std::uint8_t format, std::int16_t usage, bool valid, void const *bytes,
                        std::size_t size);
    std::vector<value_t> values_;
    UString string_;
};

class ArmMetricBindingsBuffer {
public:
    struct binding_t {
        std::uint8_t slot;
        arm_id id;
    };
    void add_binding(std::uint8_t slot, arm_id const &id) { bindings_.push_back(binding_t{slot, id}); }
    std::vector<binding_t> const &bindings() const { return bindings_; }

private:
    friend class ArmBuffer;
    std::vector<binding_t> bindings_;
};

class ArmBuffer {
public:
    static constexpr int max_subbuffers = 4;
    static constexpr unsigned max_diag_units = 4095;
    using str_pool_t = stdext::hash_map<UString, char *>;

    explicit ArmBuffer(bool use_global_pool = false);
    ~ArmBuffer();
    // The sub-buffers and pooled strings are owned: a copy would free them twice.
    ArmBuffer(ArmBuffer const &) = delete;
    ArmBuffer &operator=(ArmBuffer const &) = delete;

    void add_buffer(); // character set: UTF-8
    void add_buffer(std::int64_t arrival_time);
    void add_buffer(ArmMetricBindingsBuffer &bindings);
    void add_buffer(std::int16_t address_format, std::int16_t address_length, std::uint8_t const *address,
                    bool id_valid, arm_id const &id);
    void add_buffer(ArmMetricValuesBuffer &values);
    void add_buffer(UString const &user_name, bool id_valid, arm_id const &id);
    void add_buffer(UString const &diag_detail);
    void add_buffer(ArmAppIdentyBuffer &identity);
    void add_buffer(ArmAppContextBuffer &context);
    void add_buffer(ArmTransIdentyBuffer &identity);
    void add_buffer(ArmTransContextBuffer &context);

    void clear();
    bool empty() const { return buf_.count == 0; }
    int count() const { return buf_.count; }
    operator arm_buffer4 const *() const { return empty() ? nullptr : &buf_; }

    // The UTF-8 text in the process-wide pool; it stays valid for the life of the process.
    static char const *pool_string(UString const &text);

private:
    void check_limit(char const *operation) const;
    char const *pool(UString const &text);
    void append(void *block);
    void add_identity(ArmAppIdentyBuffer &identity, UString *uri);
    void add_context(ArmAppContextBuffer &context, UString *uri);

    bool use_global_pool_;
    arm_buffer4 buf_;
    arm_subbuffer_t *subbuffers_[max_subbuffers];
    str_pool_t str_pool_;

    // Made on first use and kept for the process, as the texts it hands out are.
    static str_pool_t *g_str_pool;
};

// The first `max_units` UTF-16 units of text, one fewer when the cut would split a surrogate pair.
UString arm_truncate(UString const &text, unsigned max_units);

} // namespace Nul
