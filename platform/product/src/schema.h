#pragma once

namespace kxp {
extern const char *const kSchemaVersion;
extern const char *const kSchemaSql;
// Brings a set of schema version 1 to version 2.
extern const char *const kMigrateToV2Sql;
// Indexes that sets of any version gain when they are made or opened; earlier builds ignore them.
extern const char *const kAddedIndexesSql;
} // namespace kxp
