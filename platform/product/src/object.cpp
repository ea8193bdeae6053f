#include "kxproduct/object.h"

#include <cxxabi.h>

#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace {
std::atomic<long> g_objects{0};
}

KXObject::KXObject() { ++g_objects; }
KXObject::~KXObject() { --g_objects; }
long KXObject::GetRefCount() const { return refs_.load(); }
long KXObject::AddRef() { return ++refs_; }
long KXObject::Release() {
    long n = --refs_;
    if (n == 0) delete this;
    return n;
}
long KXObject::LiveCount() { return g_objects.load(); }

const char *kxp::type_name(const std::type_info &type) {
    static std::mutex mu;
    static std::map<std::string, std::string> names;
    std::lock_guard<std::mutex> lock(mu);
    auto it = names.find(type.name());
    if (it != names.end()) return it->second.c_str();
    int status = 0;
    std::unique_ptr<char, void (*)(void *)> d(abi::__cxa_demangle(type.name(), nullptr, nullptr, &status), std::free);
    return names.emplace(type.name(), status == 0 && d ? d.get() : type.name()).first->second.c_str();
}
