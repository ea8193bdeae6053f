#include "tesutil/arm.h"

#include <dlfcn.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "tesutil/oid.h"
#include "tesutil/stpexception.h"
#include "tesutil/thread.h"
#include "wexlog/logmanager.h"

namespace Nul {

namespace {

// The agent, as the dynamic loader finds it on the library search path.
constexpr char const *runtime_name = "libarm4.so";

struct Runtime {
    void *library = nullptr;
    arm_register_application_fn register_application = nullptr;
    arm_start_application_fn start_application = nullptr;
    arm_start_transaction_fn start_transaction = nullptr;
    arm_stop_transaction_fn stop_transaction = nullptr;
    arm_register_transaction_fn register_transaction = nullptr;
    arm_get_error_message_fn get_error_message = nullptr;
    arm_get_arrival_time_fn get_arrival_time = nullptr;
};

// Written at start-up, before calls are served; only read afterwards.
Runtime runtime;
std::mutex loader_mutex;
std::atomic<int> current_level{ARM_NONE};
arm_id application_id{};
std::int64_t application_handle = 0;
thread_key_t stack_key = 0;
std::atomic<bool> stack_key_made{false};

std::vector<ArmApplication::OperationRegistrar *> *registrars = nullptr;

bool on() { return current_level.load(std::memory_order_acquire) != ARM_NONE; }

void log_error(char const *function, std::string const &text) {
    Log::LoggerGroup *group = Log::LogAdaptor::logger_nul();
    if (group) group->error(std::string(function) + ": " + text, 0);
}

// A fresh 16-byte id from the platform's UUID generator; nil if it has none to give, which the
// agent answers with an id of its own.
arm_id new_id() {
    Oid oid = Oid::gen();
    arm_id id;
    static_assert(sizeof oid.bits().words == sizeof id.id_u.uint8, "an ARM id is an Oid");
    std::memcpy(id.id_u.uint8, oid.bits().words, sizeof id.id_u.uint8);
    return id;
}

template <class F>
bool find_entry(void *library, char const *name, F &slot) {
    void *p = dlsym(library, name);
    if (!p) return false;
    slot = reinterpret_cast<F>(p);
    return true;
}

ArmPerThreadOperationStack::thread_record_t *thread_record() {
    if (!stack_key_made.load(std::memory_order_acquire)) return nullptr;
    void *value = nullptr;
    thr_getspecific(stack_key, &value);
    return static_cast<ArmPerThreadOperationStack::thread_record_t *>(value);
}

} // namespace

class ArmRuntimeLoader {
public:
    static int load_runtime();
};

int ArmRuntimeLoader::load_runtime() {
    std::lock_guard<std::mutex> g(loader_mutex);
    if (runtime.library) return 0;
    void *library = dlopen(runtime_name, RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        log_error("ArmRuntimeLoader::load_runtime", "LoadLibrary failed to load libarm4.dll");
        return ARM_DISABLED;
    }
    Runtime r;
    char const *missing = nullptr;
    if (!find_entry(library, "arm_register_application", r.register_application))
        missing = "arm_register_application";
    else if (!find_entry(library, "arm_start_application", r.start_application))
        missing = "arm_start_application";
    else if (!find_entry(library, "arm_start_transaction", r.start_transaction))
        missing = "arm_start_transaction";
    else if (!find_entry(library, "arm_stop_transaction", r.stop_transaction))
        missing = "arm_stop_transaction";
    else if (!find_entry(library, "arm_register_transaction", r.register_transaction))
        missing = "arm_register_transaction";
    else if (!find_entry(library, "arm_get_error_message", r.get_error_message))
        missing = "arm_get_error_message";
    else if (!find_entry(library, "arm_get_arrival_time", r.get_arrival_time))
        missing = "arm_get_arrival_time";
    if (missing) {
        log_error("ArmRuntimeLoader::load_runtime",
                  std::string("GetProcAddress failed attempting to load: ") + missing);
        dlclose(library);
        return ARM_DISABLED;
    }
    r.library = library;
    runtime = r;
    return 0;
}

// ---- ArmApplication ----

ArmApplication::OperationRegistrar::OperationRegistrar(UString const &name) : name_(name) {
    if (!registrars) registrars = new std::vector<OperationRegistrar *>;
    registrars->push_back(this);
}

ArmApplication::OperationRegistrar::~OperationRegistrar() {
    if (registrars) registrars->erase(std::remove(registrars->begin(), registrars->end(), this), registrars->end());
}

void ArmApplication::OperationRegistrar::user_data(ArmBuffer &) const {}

arm_level_t ArmApplication::level() { return static_cast<arm_level_t>(current_level.load(std::memory_order_acquire)); }
arm_id ArmApplication::app_id() { return application_id; }
std::int64_t ArmApplication::app_handle() { return application_handle; }

int ArmApplication::register_application(arm_level_t level, UString const &name, ArmBuffer const *buffer) {
    if (level == ARM_NONE) return 0;
    if (ArmRuntimeLoader::load_runtime() != 0) {
        log_error("ArmApplication::register_application", "Failed to load ARM runtime. ARM is disabled.");
        return ARM_DISABLED;
    }
    if (!stack_key_made) {
        if (thr_keycreate(&stack_key, &ArmPerThreadOperationStack::free_correlator_stack) != 0) return ARM_DISABLED;
        stack_key_made.store(true, std::memory_order_release);
    }
    arm_id input = new_id();
    arm_buffer4 const *data = buffer ? static_cast<arm_buffer4 const *>(*buffer) : nullptr;
    int rc = runtime.register_application(ArmBuffer::pool_string(name), &input, 0, data, &application_id);
    if (rc < 0) return rc;
    current_level.store(level, std::memory_order_release);
    if (!registrars) return rc;

    ArmBuffer work(true);
    // Copied, so that a registrar made or destroyed by user_data cannot upset the walk.
    std::vector<OperationRegistrar *> all = *registrars;
    for (OperationRegistrar *r : all) {
        r->user_data(work);
        rc = register_transaction(ArmBuffer::pool_string(r->name()), 0, work, &r->op_id());
        if (rc < 0) {
            current_level.store(ARM_NONE, std::memory_order_release);
            return rc;
        }
        if (!work.empty()) work.clear();
    }
    return rc;
}

int ArmApplication::start_application(ArmBuffer const *buffer, UString const &group, UString const &instance) {
    if (!on()) return ARM_DISABLED;
    char const *group_text = group.empty() ? nullptr : ArmBuffer::pool_string(group);
    char const *instance_text = instance.empty() ? nullptr : ArmBuffer::pool_string(instance);
    arm_buffer4 const *data = buffer ? static_cast<arm_buffer4 const *>(*buffer) : nullptr;
    int rc = runtime.start_application(&application_id, group_text, instance_text, 0, data, &application_handle);
    if (rc < 0) current_level.store(ARM_NONE, std::memory_order_release);
    return rc;
}

int ArmApplication::register_transaction(char const *name, int flags, arm_buffer4 const *buffer, arm_id *out_id) {
    if (!on()) return ARM_DISABLED;
    arm_id input = new_id();
    return runtime.register_transaction(&application_id, name, &input, flags, buffer, out_id);
}

int ArmApplication::get_error_message(int charset, int code, char *message) {
    if (!on()) return ARM_DISABLED;
    return runtime.get_error_message(charset, code, message);
}

int ArmApplication::get_arrival_time(std::int64_t *arrival_time) {
    if (!on()) return ARM_DISABLED;
    return runtime.get_arrival_time(arrival_time);
}

// ---- ArmPerThreadOperationStack ----

arm_correlator *ArmPerThreadOperationStack::get_base_correlator() {
    if (!on()) return nullptr;
    thread_record_t *record = thread_record();
    if (!record) {
        // Zeroed: until the caller writes a client's correlator, the base is "no parent".
        record = new thread_record_t{};
        record->head = new node_t{};
        if (thr_setspecific(stack_key, record) != 0) {
            free_correlator_stack(record);
            return nullptr;
        }
    }
    return &record->base;
}

int ArmPerThreadOperationStack::start_transaction(arm_id const &tran_id, ArmBuffer const *buffer, bool in_process) {
    if (!on()) return ARM_DISABLED;
    thread_record_t *record = thread_record();
    if (!record) return ARM_DISABLED;
    arm_correlator const *parent;
    node_t *node;
    if (record->current) {
        parent = &record->current->correlator;
        if (!record->current->next) record->current->next = new node_t{};
        node = record->current->next;
    } else {
        parent = &record->base;
        node = record->head;
    }
    int flags = ARM_FLAG_TRACE_REQUEST | ARM_FLAG_BIND_THREAD | (in_process ? ARM_FLAG_CORR_IN_PROC : 0);
    arm_buffer4 const *data = buffer ? static_cast<arm_buffer4 const *>(*buffer) : nullptr;
    int rc =
        runtime.start_transaction(application_handle, &tran_id, parent, flags, data, &node->handle, &node->correlator);
    if (rc >= 0) record->current = node;
    return rc;
}

int ArmPerThreadOperationStack::stop_transaction(int status, ArmBuffer const *buffer) {
    if (!on()) return ARM_DISABLED;
    thread_record_t *record = thread_record();
    if (!record || !record->current) return ARM_DISABLED;
    node_t *stopped = record->current;
    node_t *before = nullptr;
    for (node_t *n = record->head; n && n != stopped; n = n->next) before = n;
    record->current = before;
    arm_buffer4 const *data = buffer ? static_cast<arm_buffer4 const *>(*buffer) : nullptr;
    return runtime.stop_transaction(stopped->handle, status, 0, data);
}

bool ArmPerThreadOperationStack::doing_local_operation() {
    if (!on()) return false;
    thread_record_t *record = thread_record();
    return record && record->current;
}

std::int64_t ArmPerThreadOperationStack::current_local_operation() {
    if (!on()) return 0;
    thread_record_t *record = thread_record();
    return record && record->current ? record->current->handle : 0;
}

arm_correlator const *ArmPerThreadOperationStack::current_local_correlator() {
    if (!on()) return nullptr;
    thread_record_t *record = thread_record();
    return record && record->current ? &record->current->correlator : nullptr;
}

void ArmPerThreadOperationStack::free_correlator_stack(void *value) {
    auto *record = static_cast<thread_record_t *>(value);
    if (!record) return;
    for (node_t *n = record->head; n;) {
        node_t *next = n->next;
        delete n;
        n = next;
    }
    delete record;
}

} // namespace Nul
