// Reporting a program's work to an ARM 4.0 agent. The agent is loaded by name on demand; without
// it every call answers that ARM is off and the program runs on unmeasured.
#pragma once

#include <cstdint>

#include "tesutil/armbuffer.h"
#include "tesutil/ustring.h"

namespace Nul {

// 0 is off; every other level is on.
enum arm_level_t : int { ARM_NONE = 0, ARM_VERBOSE = 4 };

// The result of every call while ARM is off.
constexpr int ARM_DISABLED = -21000;

class ArmApplication {
public:
    // One named transaction, declared as a static object and registered with the application.
    class OperationRegistrar {
    public:
        explicit OperationRegistrar(UString const &name);
        // Leaves the list, so a registrar that dies early is never reached again.
        virtual ~OperationRegistrar();
        OperationRegistrar(OperationRegistrar const &) = delete;
        OperationRegistrar &operator=(OperationRegistrar const &) = delete;

        UString const &name() const { return name_; }
        arm_id &op_id() { return id_; }
        arm_id const &op_id() const { return id_; }
        operator arm_id const &() const { return id_; }
        // Identity data sent with the registration; nothing by default.
        virtual void user_data(ArmBuffer &buffer) const;

    private:
        UString name_;
        arm_id id_{};
    };

    static arm_level_t level();
    static arm_id app_id();
    static std::int64_t app_handle();

    static int register_application(arm_level_t level, UString const &name, ArmBuffer const *buffer);
    static int start_application(ArmBuffer const *buffer, UString const &group, UString const &instance);
    static int register_transaction(char const *name, int flags, arm_buffer4 const *buffer, arm_id *out_id);
    // `message` has room for ARM_MSG_BUFFER_LENGTH bytes.
    static int get_error_message(int charset, int code, char *message);
    static int get_arrival_time(std::int64_t *arrival_time);
};

// The open transactions of the calling thread, innermost last, with their correlators.
class ArmPerThreadOperationStack {
public:
    struct node_t {
        std::int64_t handle;
        arm_correlator correlator;
        node_t *next;
    };
    // The base correlator comes first: callers write the client's correlator through the
    // pointer that get_base_correlator returns.
    struct thread_record_t {
        arm_correlator base;
        node_t *head;
        node_t *current;
    };

    // Null while ARM is off.
    static arm_correlator *get_base_correlator();
    static void release_base_correlator() {}
    static int start_transaction(arm_id const &tran_id, ArmBuffer const *buffer, bool in_process);
    static int stop_transaction(int status, ArmBuffer const *buffer);
    static bool doing_local_operation();
    static std::int64_t current_local_operation();
    static arm_correlator const *current_local_correlator();

    // The destructor of the thread key.
    static void free_correlator_stack(void *record);
};

} // namespace Nul
