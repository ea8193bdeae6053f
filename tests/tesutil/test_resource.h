// A concrete resource for tests, with a live count to prove ownership.
#pragma once

#include "tesutil/stpexception.h"

struct TestResource : Nul::Resource {
    static inline int live = 0;
    Nul::UString name;
    explicit TestResource(Nul::UString n) : name(std::move(n)) { ++live; }
    TestResource(TestResource const &o) : Nul::Resource(o), name(o.name) { ++live; }
    ~TestResource() override { --live; }
    int kind() const override { return 1; }
    Nul::UString to_selector() const override { return Nul::UString(L"kx.record:") + name + L"@db"; }
    Nul::Resource *copy() const override { return new TestResource(*this); }
};
