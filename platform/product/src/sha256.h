#pragma once
#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace kxp {
std::array<uint8_t, 32> sha256(std::string_view data);
std::string hex(const uint8_t* data, size_t n);
std::string random_bytes(size_t n);
}  // namespace kxp
