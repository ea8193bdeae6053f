// Service mode and the single-sign-on password tool.
#pragma once

#include <cstdint>

namespace KxRpc {

bool parse_service_options(int argc, char **argv, int &index);
void service_main(std::uint32_t argc, wchar_t **argv);
void service_control_handler(std::uint32_t control);
void load_sso_password();

} // namespace KxRpc
