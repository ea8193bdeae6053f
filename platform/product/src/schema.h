#pragma once

namespace kxp {
extern const char* const kSchemaVersion;
extern const char* const kSchemaSql;
}  // namespace kxp
