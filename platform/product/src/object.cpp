#include "kxproduct/object.h"

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
