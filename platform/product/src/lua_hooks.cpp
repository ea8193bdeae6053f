// Hooks and record script aliases: Lua 5.4 scripts, each run in a state of its own that holds only
// the base (trimmed), string, table and math libraries, with a memory cap and an instruction
// limit, so a hook always ends and reaches nothing but its record and its session's hook values.
//
// Lua raises errors with longjmp: no C++ object with a destructor may be alive in a frame that a
// Lua error crosses. The functions handed to Lua therefore do their C++ work inside `host`, which
// leaves its outcome in the Run, and talk to Lua only once that work is over.
#include <lua.hpp>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "core.h"
#include "kxproduct/entity.h"
#include "kxproduct/faults.h"
#include "kxproduct/session.h"
#include "kxwin/cexception.h"

namespace kxp {
namespace {

constexpr size_t kMemoryCap = 8u << 20;
constexpr long kInstructionLimit = 1'000'000;
constexpr int kCountStep = 1000;
// Instructions do not count the work inside library calls and the collector; time does. It is the
// CPU time of the hook's thread: a busy machine does not stretch it, so which limit stops a script
// does not depend on the load.
constexpr auto kTimeLimit = std::chrono::seconds(2);

std::chrono::nanoseconds thread_cpu_time() {
    timespec ts{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec);
}

// The session values a hook may set: its messages to the client, the form and the URL to open.
constexpr const char *kHookValues[] = {"_KXXE_ACCEPT",
                                       "_KXXE_COMMAND_TYPE_BEGIN",
                                       "_KXXE_COMMAND_TYPE_CLOSE",
                                       "_KXXE_DOC_BEGIN",
                                       "_KXXE_DOC_CLOSE",
                                       "_KXXE_GENERATE_CUSTOM_ERROR_MESSAGE",
                                       "_KXXE_GENERATE_CUSTOM_MESSAGE_BEGIN",
                                       "_KXXE_GENERATE_CUSTOM_MESSAGE_CLOSE",
                                       "_KXXE_MSG_DETAILS_BEGIN",
                                       "_KXXE_MSG_DETAILS_CLOSE",
                                       "_KXXE_MSG_SUMMARY_BEGIN",
                                       "_KXXE_MSG_SUMMARY_CLOSE",
                                       "_KXXE_MSG_TYPE_BEGIN",
                                       "_KXXE_MSG_TYPE_CLOSE",
                                       "_KXXE_OPEN_FORM",
                                       "_KXXE_OPEN_URL"};

// One firing of one script.
struct Run {
    AdEntity *record;
    const AdHookDef *hook;
    std::string script, param, name, field;
    size_t used = 0;
    long steps = 0;
    std::chrono::nanoseconds deadline = thread_cpu_time() + kTimeLimit;
    // Why the script is being stopped; null while it may run.
    const char *stop = nullptr;
    // Outcome of the last host call: text (or list) for Lua, or the failure.
    std::string text, error;
    std::vector<std::string> list;
};

Run &run_of(lua_State *L) {
    void *ud = nullptr;
    lua_getallocf(L, &ud);
    return *static_cast<Run *>(ud);
}

void *capped_alloc(void *ud, void *ptr, size_t osize, size_t nsize) {
    Run &r = *static_cast<Run *>(ud);
    size_t old = ptr ? osize : 0;
    if (nsize == 0) {
        std::free(ptr);
        r.used -= old;
        return nullptr;
    }
    if (nsize > old && nsize - old > kMemoryCap - r.used) {
        // Running on at the cap only thrashes the collector: the script is stopped, even if it
        // catches this error.
        if (!r.stop) r.stop = "memory limit reached";
        return nullptr;
    }
    void *p = std::realloc(ptr, nsize);
    if (p) r.used = r.used - old + nsize;
    return p;
}

// Once stopped the hook fires at every instruction, so no pcall inside the script can swallow
// the stop for long: each Lua frame gets one instruction before it fails too.
void count_hook(lua_State *L, lua_Debug *) {
    Run &r = run_of(L);
    if (!r.stop) {
        r.steps += kCountStep;
        if (r.steps >= kInstructionLimit)
            r.stop = "instruction limit reached";
        else if (thread_cpu_time() >= r.deadline)
            r.stop = "time limit reached";
        else
            return;
    }
    lua_sethook(L, count_hook, LUA_MASKCOUNT, 1);
    luaL_error(L, "%s", r.stop);
}

std::string product_text(const CString &s) { return s.ToUtf8(); }

// Runs product work; a failure of any kind becomes r.error. Returns whether it succeeded.
template <class F>
bool host(Run &r, F &&f) {
    r.text.clear();
    r.error.clear();
    try {
        f();
        return true;
    } catch (KXException *e) {
        r.error = product_text(e->GetErrorString());
        e->Delete();
    } catch (PaMsgException *e) {
        r.error = e->First() ? product_text(e->First()->GetFullMsg()) : std::string("product failure");
        e->Delete();
    } catch (CException *e) {
        r.error = product_text(e->GetErrorMessageString());
        e->Delete();
    } catch (const std::exception &e) {
        r.error = e.what();
    } catch (...) {
        r.error = "unknown failure";
    }
    if (r.error.empty()) r.error = "product failure";
    return false;
}

int fail(lua_State *L, Run &r) {
    lua_pushlstring(L, r.error.data(), r.error.size());
    return lua_error(L);
}

int answer_text(lua_State *L, Run &r) {
    lua_pushlstring(L, r.text.data(), r.text.size());
    return 1;
}

int record_get(lua_State *L) {
    Run &r = run_of(L);
    const char *field = luaL_checkstring(L, 1);
    if (!host(r, [&] { r.text = product_text(r.record->GetFieldValue(CString::FromUtf8(field)).GetValue()); }))
        return fail(L, r);
    return answer_text(L, r);
}

int record_list(lua_State *L) {
    Run &r = run_of(L);
    const char *field = luaL_checkstring(L, 1);
    if (!host(r, [&] {
            r.list.clear();
            AdFieldInfo info = r.record->GetFieldValue(CString::FromUtf8(field));
            for (const CString &v : info.GetValueAsList()) r.list.push_back(product_text(v));
        }))
        return fail(L, r);
    lua_createtable(L, static_cast<int>(std::min<size_t>(r.list.size(), 1u << 16)), 0);
    for (size_t i = 0; i < r.list.size(); ++i) {
        lua_pushlstring(L, r.list[i].data(), r.list[i].size());
        lua_rawseti(L, -2, static_cast<lua_Integer>(i + 1));
    }
    return 1;
}

// record.set(field, value): a text (or number), or a table of texts for a list field.
int record_set(lua_State *L) {
    Run &r = run_of(L);
    const char *field = luaL_checkstring(L, 1);
    bool is_list = lua_istable(L, 2);
    const char *value = nullptr;
    if (is_list) {
        r.list.clear();
        lua_Integer n = luaL_len(L, 2);
        for (lua_Integer i = 1; i <= n; ++i) {
            lua_geti(L, 2, i);
            size_t len = 0;
            const char *item = luaL_checklstring(L, -1, &len);
            r.list.emplace_back(item, len);
            lua_pop(L, 1);
        }
    } else {
        value = luaL_checkstring(L, 2);
    }
    if (!host(r, [&] {
            CString name = CString::FromUtf8(field);
            CString refused;
            if (is_list) {
                std::vector<CString> values;
                for (const std::string &v : r.list) values.push_back(CString::FromUtf8(v));
                refused = r.record->SetFieldValueList(name, values);
            } else {
                refused = r.record->SetFieldValue(name, CString::FromUtf8(value));
            }
            if (!refused.IsEmpty()) throw new PaMsgException(KX_MSG_BAD_VALUE, refused);
        }))
        return fail(L, r);
    return 0;
}

template <CString (*Read)(const AdEntity &)>
int record_text(lua_State *L) {
    Run &r = run_of(L);
    if (!host(r, [&] { r.text = product_text(Read(*r.record)); })) return fail(L, r);
    return answer_text(L, r);
}

CString display_name(const AdEntity &e) { return e.GetDisplayName(); }
CString type_name(const AdEntity &e) { return e.GetEntityDef()->GetName(); }
CString state_name(const AdEntity &e) { return e.GetStateName(); }
CString action_name(const AdEntity &e) { return e.GetActionDef() ? e.GetActionDef()->GetName() : CString(); }

int record_editable(lua_State *L) {
    lua_pushboolean(L, run_of(L).record->IsEditable());
    return 1;
}

// record.edit(action): starts that action on the stored record, as a client would.
int record_edit(lua_State *L) {
    Run &r = run_of(L);
    const char *action = luaL_checkstring(L, 1);
    if (!host(r, [&] {
            AdEntityPtr self(r.record);
            EditEntity(self, CString::FromUtf8(action));
        }))
        return fail(L, r);
    return 0;
}

int session_get(lua_State *L) {
    Run &r = run_of(L);
    const char *name = luaL_checkstring(L, 1);
    if (!host(r, [&] { r.text = product_text(r.record->GetSession()->GetNameValue(CString::FromUtf8(name))); }))
        return fail(L, r);
    return answer_text(L, r);
}

int session_set(lua_State *L) {
    Run &r = run_of(L);
    const char *name = luaL_checkstring(L, 1);
    const char *value = luaL_checkstring(L, 2);
    bool allowed = std::any_of(std::begin(kHookValues), std::end(kHookValues),
                               [&](const char *k) { return std::strcmp(k, name) == 0; });
    if (!allowed) return luaL_error(L, "session value '%s' is not a hook value", name);
    if (!host(r, [&] { r.record->GetSession()->SetNameValue(CString::FromUtf8(name), CString::FromUtf8(value)); }))
        return fail(L, r);
    return 0;
}

// load(text [, name [, mode [, env]]]): text chunks only; binary chunks could break the sandbox.
int safe_load(lua_State *L) {
    size_t len = 0;
    const char *chunk = luaL_checklstring(L, 1, &len);
    const char *name = luaL_optstring(L, 2, "=(load)");
    bool has_env = !lua_isnone(L, 4);
    if (luaL_loadbufferx(L, chunk, len, name, "t") != LUA_OK) {
        luaL_pushfail(L);
        lua_insert(L, -2);
        return 2;
    }
    if (has_env) {
        lua_pushvalue(L, 4);
        if (!lua_setupvalue(L, -2, 1)) lua_pop(L, 1);
    }
    return 1;
}

// collectgarbage("count") only: stopping or tuning the collector is not a hook's business.
int gc_count(lua_State *L) {
    const char *opt = luaL_optstring(L, 1, "count");
    if (std::strcmp(opt, "count") != 0) return luaL_error(L, "collectgarbage('%s') is not available to hooks", opt);
    lua_pushnumber(L, static_cast<lua_Number>(lua_gc(L, LUA_GCCOUNT, 0)) +
                          static_cast<lua_Number>(lua_gc(L, LUA_GCCOUNTB, 0)) / 1024.0);
    return 1;
}

// setmetatable without finalizers: Lua runs __gc with hooks off, so a finalizer would escape the
// instruction limit. An object is only marked for finalizing when its metatable has __gc as it is
// set, so refusing such metatables here is enough.
int safe_setmetatable(lua_State *L) {
    if (lua_istable(L, 2)) {
        lua_pushliteral(L, "__gc");
        bool finalizer = lua_rawget(L, 2) != LUA_TNIL;
        lua_pop(L, 1);
        if (finalizer) return luaL_error(L, "__gc metamethods are not available to hooks");
    }
    lua_pushvalue(L, lua_upvalueindex(1));
    lua_insert(L, 1);
    lua_call(L, lua_gettop(L) - 1, 1);
    return 1;
}

void set_functions(lua_State *L, const char *table, const luaL_Reg *fns) {
    lua_newtable(L);
    luaL_setfuncs(L, fns, 0);
    lua_setglobal(L, table);
}

void set_field_text(lua_State *L, const char *key, const std::string &value) {
    lua_pushlstring(L, value.data(), value.size());
    lua_setfield(L, -2, key);
}

// In protected mode: builds the sandbox, loads the script and runs it; leaves its result text.
int run_protected(lua_State *L) {
    Run &r = run_of(L);
    luaL_requiref(L, LUA_GNAME, luaopen_base, 1);
    luaL_requiref(L, LUA_STRLIBNAME, luaopen_string, 1);
    luaL_requiref(L, LUA_TABLIBNAME, luaopen_table, 1);
    luaL_requiref(L, LUA_MATHLIBNAME, luaopen_math, 1);
    lua_pop(L, 4);
    for (const char *name : {"dofile", "loadfile", "print", "require"}) {
        lua_pushnil(L);
        lua_setglobal(L, name);
    }
    lua_register(L, "load", safe_load);
    lua_register(L, "collectgarbage", gc_count);
    lua_getglobal(L, "setmetatable");
    lua_pushcclosure(L, safe_setmetatable, 1);
    lua_setglobal(L, "setmetatable");
    lua_getglobal(L, LUA_STRLIBNAME);
    lua_pushnil(L);
    lua_setfield(L, -2, "dump");
    lua_pop(L, 1);

    static const luaL_Reg record_fns[] = {{"get", record_get},
                                          {"list", record_list},
                                          {"set", record_set},
                                          {"name", record_text<display_name>},
                                          {"type", record_text<type_name>},
                                          {"state", record_text<state_name>},
                                          {"action", record_text<action_name>},
                                          {"editable", record_editable},
                                          {"edit", record_edit},
                                          {nullptr, nullptr}};
    static const luaL_Reg session_fns[] = {{"get", session_get}, {"set", session_set}, {nullptr, nullptr}};
    set_functions(L, "record", record_fns);
    set_functions(L, "session", session_fns);
    lua_newtable(L);
    set_field_text(L, "name", r.name);
    set_field_text(L, "field", r.field);
    lua_setglobal(L, "hook");
    lua_pushlstring(L, r.param.data(), r.param.size());
    lua_setglobal(L, "param");

    const char *chunk_name = lua_pushfstring(L, "=%s", r.name.c_str());
    if (luaL_loadbufferx(L, r.script.data(), r.script.size(), chunk_name, "t") != LUA_OK) return lua_error(L);
    lua_pushlstring(L, r.param.data(), r.param.size());
    lua_call(L, 1, 1);
    if (lua_isnil(L, -1)) {
        lua_pushliteral(L, "");
    } else {
        luaL_tolstring(L, -1, nullptr);
    }
    return 1;
}

struct StateCloser {
    lua_State *L;
    ~StateCloser() { lua_close(L); }
};

// Runs the script; true with the result text in `out`, false with the failure in `out`. A hook in
// another language cannot run at all: PaMsgException KX_MSG_HOOK_FAILED.
bool run_script(AdEntity *record, const AdHookDef &hook, const CString &param, std::string &out) {
    if (hook.GetScriptLanguage() != AD_HOOK_LANGUAGE_LUA)
        throw new PaMsgException(KX_MSG_HOOK_FAILED, L"Hook '" + hook.GetName() + L"' is written in '" +
                                                         hook.GetLanguage() +
                                                         L"', a language this product does not run.");
    Run r;
    r.record = record;
    r.hook = &hook;
    r.script = product_text(hook.GetScript());
    r.param = product_text(param);
    r.name = product_text(hook.GetName());
    r.field = product_text(hook.GetFieldName());
    lua_State *L = lua_newstate(capped_alloc, &r);
    if (!L) {
        out = "Hook '" + r.name + "' failed: not enough memory";
        return false;
    }
    StateCloser closer{L};
    lua_sethook(L, count_hook, LUA_MASKCOUNT, kCountStep);
    lua_pushcfunction(L, run_protected);
    int status = lua_pcall(L, 0, 1, 0);
    size_t len = 0;
    const char *text = lua_type(L, -1) == LUA_TSTRING ? lua_tolstring(L, -1, &len) : nullptr;
    if (status == LUA_OK) {
        out.assign(text ? text : "", text ? len : 0);
        return true;
    }
    std::string why = r.stop                 ? std::string(r.stop)
                      : status == LUA_ERRMEM ? std::string("memory limit reached")
                      : text                 ? std::string(text, len)
                                             : std::string("the script raised an error that is no text");
    out = "Hook '" + r.name + "' failed: " + why;
    return false;
}

AdHookDef *global_hook(SessionCore &c, const CString &name) {
    for (const auto &h : c.schema->global_hooks)
        if (h->GetName() == name) return h.get();
    return nullptr;
}

} // namespace
} // namespace kxp

using namespace kxp;

AdHookDef *LookupGlobalHookDef(const AdSessionPtr &session, const CString &name) {
    KXFaultInjector::Enter("LookupGlobalHookDef");
    return global_hook(live(session, "LookupGlobalHookDef"), name);
}

CString AdEntity::FireNamedHook(const CString &name, const CString &param) {
    KXFaultInjector::Enter("AdEntity::FireNamedHook");
    SessionCore &c = live(session_, "AdEntity::FireNamedHook");
    const AdHookDef *hook = def_->LookupHookDef(name);
    if (!hook) hook = global_hook(c, name);
    if (!hook) throw new PaMsgException(KX_MSG_NOT_FOUND, L"No hook named '" + name + L"'.");
    std::string out;
    if (!run_script(this, *hook, param, out)) throw new PaMsgException(KX_MSG_HOOK_FAILED, CString::FromUtf8(out));
    return CString::FromUtf8(out);
}

void FireRecordHookAlias(const AdSessionPtr &session, const AdEntityPtr &record, AdActionDef *action, CString &result,
                         CString &error) {
    KXFaultInjector::Enter("FireRecordHookAlias");
    live(session, "FireRecordHookAlias");
    result.Empty();
    error.Empty();
    if (!record || !action || action->GetActionType() != AD_ACTION_RECORD_SCRIPT_ALIAS ||
        action->GetEntityDef() != record->GetEntityDef())
        throw new PaMsgException(KX_MSG_BAD_VALUE, L"The action is no record script alias of the record's type.");
    const AdHookDef *hook = nullptr;
    auto hooks = record->GetEntityDef()->GetHookDefs();
    for (int i = 0; i < hooks.GetLength() && !hook; ++i) {
        AdHookDef *h = hooks.GetItem(i);
        if (h->GetHookType() == AD_HOOK_RECORD_SCRIPT && h->GetActionName() == action->GetName()) hook = h;
    }
    if (!hook) throw new PaMsgException(KX_MSG_NOT_FOUND, L"No script belongs to action '" + action->GetName() + L"'.");
    std::string out;
    if (run_script(record.get(), *hook, CString(), out))
        result = CString::FromUtf8(out);
    else
        error = CString::FromUtf8(out);
}
