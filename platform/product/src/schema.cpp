// Tables of one database set. Every product object has a dbid from dbid_seq, unique in the set.
#include "schema.h"

namespace kxp {

const char *const kSchemaVersion = "2";

const char *const kSchemaSql = R"SQL(
CREATE TABLE meta(key TEXT PRIMARY KEY, value TEXT NOT NULL);
CREATE TABLE dbid_seq(id INTEGER PRIMARY KEY AUTOINCREMENT);
INSERT INTO sqlite_sequence(name, seq) VALUES('dbid_seq', 33554431);

-- The master database (is_master=1) and the user databases of the set.
CREATE TABLE databases(
  dbid INTEGER PRIMARY KEY, name TEXT NOT NULL UNIQUE, description TEXT NOT NULL DEFAULT '',
  is_master INTEGER NOT NULL DEFAULT 0, locked INTEGER NOT NULL DEFAULT 0,
  feature_level INTEGER NOT NULL DEFAULT 7, oplog_enabled INTEGER NOT NULL DEFAULT 1,
  soft_query_limit INTEGER NOT NULL DEFAULT 0, hard_query_limit INTEGER NOT NULL DEFAULT 0);

-- Record types (is_family=0) and record-type families (is_family=1); entity_type 1 with states,
-- 2 stateless.
CREATE TABLE entity_defs(
  dbid INTEGER PRIMARY KEY, name TEXT NOT NULL UNIQUE, is_family INTEGER NOT NULL DEFAULT 0,
  entity_type INTEGER NOT NULL DEFAULT 2, position INTEGER NOT NULL,
  security_context INTEGER NOT NULL DEFAULT 0);
CREATE TABLE family_members(
  family_dbid INTEGER NOT NULL REFERENCES entity_defs(dbid),
  member_dbid INTEGER NOT NULL REFERENCES entity_defs(dbid), position INTEGER NOT NULL,
  PRIMARY KEY(family_dbid, member_dbid));
CREATE TABLE field_defs(
  dbid INTEGER PRIMARY KEY, entity_def_dbid INTEGER NOT NULL REFERENCES entity_defs(dbid),
  name TEXT NOT NULL, field_type INTEGER NOT NULL CHECK(field_type BETWEEN 1 AND 14),
  position INTEGER NOT NULL, is_system INTEGER NOT NULL DEFAULT 0,
  reference_entity_def INTEGER REFERENCES entity_defs(dbid), max_length INTEGER NOT NULL DEFAULT 0,
  default_behavior INTEGER NOT NULL DEFAULT 2, choice_list TEXT NOT NULL DEFAULT '',
  help_text TEXT NOT NULL DEFAULT '', unique_key INTEGER NOT NULL DEFAULT 0,
  UNIQUE(entity_def_dbid, name));
CREATE TABLE states(
  dbid INTEGER PRIMARY KEY, entity_def_dbid INTEGER NOT NULL REFERENCES entity_defs(dbid),
  name TEXT NOT NULL, position INTEGER NOT NULL, UNIQUE(entity_def_dbid, name));
CREATE TABLE action_defs(
  dbid INTEGER PRIMARY KEY, entity_def_dbid INTEGER NOT NULL REFERENCES entity_defs(dbid),
  name TEXT NOT NULL, action_type INTEGER NOT NULL CHECK(action_type BETWEEN 1 AND 10),
  dest_state INTEGER REFERENCES states(dbid), system_only INTEGER NOT NULL DEFAULT 0,
  position INTEGER NOT NULL, UNIQUE(entity_def_dbid, name));
-- States an action may start from; an action without rows here starts from any state.
CREATE TABLE action_sources(
  action_dbid INTEGER NOT NULL REFERENCES action_defs(dbid),
  state_dbid INTEGER NOT NULL REFERENCES states(dbid), PRIMARY KEY(action_dbid, state_dbid));
-- Requiredness of a field (1 mandatory, 2 optional, 3 read-only) in a state or during an action;
-- a NULL state or action matches any. The most specific row wins.
CREATE TABLE field_behaviors(
  field_dbid INTEGER NOT NULL REFERENCES field_defs(dbid),
  state_dbid INTEGER REFERENCES states(dbid), action_dbid INTEGER REFERENCES action_defs(dbid),
  behavior INTEGER NOT NULL CHECK(behavior BETWEEN 1 AND 3));
-- hook_type: field hooks 2 default value, 3 choice list, 4 value changed, 5 validation; action
-- hooks 6 initialization, 7 access control, 8 validation, 9 commit, 10 notification; 11 record
-- script, 12 global script.
CREATE TABLE hook_defs(
  dbid INTEGER PRIMARY KEY, entity_def_dbid INTEGER REFERENCES entity_defs(dbid),
  name TEXT NOT NULL, hook_type INTEGER NOT NULL, field_dbid INTEGER REFERENCES field_defs(dbid),
  action_dbid INTEGER REFERENCES action_defs(dbid), language TEXT NOT NULL DEFAULT 'kx',
  script TEXT NOT NULL DEFAULT '', position INTEGER NOT NULL);
CREATE TABLE form_defs(
  dbid INTEGER PRIMARY KEY, entity_def_dbid INTEGER NOT NULL REFERENCES entity_defs(dbid),
  name TEXT NOT NULL, form_type INTEGER NOT NULL DEFAULT 1, definition TEXT NOT NULL DEFAULT '',
  position INTEGER NOT NULL, UNIQUE(entity_def_dbid, name));
CREATE TABLE list_defs(dbid INTEGER PRIMARY KEY, name TEXT NOT NULL UNIQUE, position INTEGER NOT NULL);
CREATE TABLE list_values(
  list_dbid INTEGER NOT NULL REFERENCES list_defs(dbid), position INTEGER NOT NULL,
  value TEXT NOT NULL, PRIMARY KEY(list_dbid, position));

-- Users and groups of the master database.
CREATE TABLE users(
  dbid INTEGER PRIMARY KEY, login_name TEXT NOT NULL UNIQUE, full_name TEXT NOT NULL DEFAULT '',
  email TEXT NOT NULL DEFAULT '', phone TEXT NOT NULL DEFAULT '', misc_info TEXT NOT NULL DEFAULT '',
  password_salt TEXT NOT NULL, password_hash TEXT NOT NULL,
  privileges INTEGER NOT NULL DEFAULT 0, auth_mode INTEGER NOT NULL DEFAULT 2,
  active INTEGER NOT NULL DEFAULT 1);
CREATE TABLE groups(
  dbid INTEGER PRIMARY KEY, name TEXT NOT NULL UNIQUE, active INTEGER NOT NULL DEFAULT 1);
CREATE TABLE group_members(
  group_dbid INTEGER NOT NULL REFERENCES groups(dbid), user_dbid INTEGER NOT NULL REFERENCES users(dbid),
  PRIMARY KEY(group_dbid, user_dbid));
-- User databases a user or group may log on to.
CREATE TABLE subscriptions(
  database_dbid INTEGER NOT NULL REFERENCES databases(dbid),
  user_dbid INTEGER REFERENCES users(dbid), group_dbid INTEGER REFERENCES groups(dbid));
CREATE TABLE replicas(
  dbid INTEGER PRIMARY KEY, name TEXT NOT NULL UNIQUE, host TEXT NOT NULL DEFAULT '',
  description TEXT NOT NULL DEFAULT '', is_local INTEGER NOT NULL DEFAULT 0);

-- Records and what hangs off them.
CREATE TABLE records(
  dbid INTEGER PRIMARY KEY, entity_def_dbid INTEGER NOT NULL REFERENCES entity_defs(dbid),
  database_dbid INTEGER NOT NULL REFERENCES databases(dbid), display_name TEXT NOT NULL,
  state_dbid INTEGER REFERENCES states(dbid), version INTEGER NOT NULL DEFAULT 1,
  duplicate_of INTEGER REFERENCES records(dbid), created TEXT NOT NULL, modified TEXT NOT NULL,
  UNIQUE(database_dbid, entity_def_dbid, display_name));
CREATE TABLE field_values(
  record_dbid INTEGER NOT NULL REFERENCES records(dbid) ON DELETE CASCADE,
  field_dbid INTEGER NOT NULL REFERENCES field_defs(dbid), position INTEGER NOT NULL DEFAULT 0,
  value TEXT NOT NULL, PRIMARY KEY(record_dbid, field_dbid, position));
CREATE TABLE history(
  dbid INTEGER PRIMARY KEY, record_dbid INTEGER NOT NULL REFERENCES records(dbid) ON DELETE CASCADE,
  action_dbid INTEGER REFERENCES action_defs(dbid), user_dbid INTEGER REFERENCES users(dbid),
  at TEXT NOT NULL, old_state INTEGER, new_state INTEGER);
CREATE TABLE attachments(
  dbid INTEGER PRIMARY KEY, record_dbid INTEGER NOT NULL REFERENCES records(dbid) ON DELETE CASCADE,
  field_dbid INTEGER NOT NULL REFERENCES field_defs(dbid), file_name TEXT NOT NULL,
  description TEXT NOT NULL DEFAULT '', size INTEGER NOT NULL DEFAULT 0, content BLOB);

-- The query workspace: personal and public top folders, folders, queries, charts, reports,
-- report formats. item_type bits: 1 query, 2 chart, 4 folder, 256 report, 512 report format.
CREATE TABLE buckets(
  dbid INTEGER PRIMARY KEY, database_dbid INTEGER NOT NULL REFERENCES databases(dbid),
  parent_dbid INTEGER REFERENCES buckets(dbid) ON DELETE CASCADE, name TEXT NOT NULL,
  item_type INTEGER NOT NULL, folder_type INTEGER NOT NULL DEFAULT 0,
  owner_dbid INTEGER REFERENCES users(dbid), entity_def_dbid INTEGER REFERENCES entity_defs(dbid),
  definition TEXT NOT NULL DEFAULT '', is_startup INTEGER NOT NULL DEFAULT 0,
  UNIQUE(parent_dbid, name));
-- permission: 1 no access, 2 read only, 3 read and write, 4 read limited, 5 change.
CREATE TABLE bucket_permissions(
  bucket_dbid INTEGER NOT NULL REFERENCES buckets(dbid) ON DELETE CASCADE,
  group_dbid INTEGER NOT NULL REFERENCES groups(dbid), permission INTEGER NOT NULL,
  PRIMARY KEY(bucket_dbid, group_dbid));

-- Session preferences of a user (name values kept across sessions).
CREATE TABLE session_prefs(
  user_dbid INTEGER NOT NULL REFERENCES users(dbid), name TEXT NOT NULL, value TEXT NOT NULL,
  PRIMARY KEY(user_dbid, name));

-- Packages enabled for record types, by revision.
CREATE TABLE package_revs(
  package TEXT NOT NULL, revision TEXT NOT NULL,
  entity_def_dbid INTEGER NOT NULL REFERENCES entity_defs(dbid), PRIMARY KEY(package, revision, entity_def_dbid));

CREATE TABLE oplog(
  seq INTEGER PRIMARY KEY AUTOINCREMENT, database_dbid INTEGER NOT NULL REFERENCES databases(dbid),
  record_dbid INTEGER, entity_def_dbid INTEGER, action_dbid INTEGER, user_dbid INTEGER,
  replica_dbid INTEGER, at TEXT NOT NULL, operation TEXT NOT NULL, detail TEXT NOT NULL DEFAULT '');

-- Full-text index of records: the display name and the text of their string and journal fields.
CREATE VIRTUAL TABLE record_text USING fts5(body, record_dbid UNINDEXED, database_dbid UNINDEXED);

CREATE INDEX records_by_type ON records(entity_def_dbid, database_dbid);
CREATE INDEX field_values_by_field ON field_values(field_dbid, value);
CREATE INDEX buckets_by_parent ON buckets(parent_dbid);
)SQL";

// Sets written before version 2 kept other numbers: record-type kinds 1 stateless and 2 with
// states, hook kinds 1 value changed to 11 global script, item types 8 report and 16 report
// format, authentication 1 product and 2 directory, permission bits 1 read and 2 write. Write-only
// never meant anything without read, so it becomes read and write. Records they loaded from a
// definition have no action in their first history row, which the creation date looks for.
const char *const kMigrateToV2Sql = R"SQL(
UPDATE entity_defs SET entity_type = 3 - entity_type WHERE entity_type IN (1, 2);
ALTER TABLE entity_defs ADD COLUMN security_context INTEGER NOT NULL DEFAULT 0;
UPDATE hook_defs SET hook_type = CASE hook_type
  WHEN 1 THEN 4 WHEN 2 THEN 5 WHEN 3 THEN 3 WHEN 4 THEN 2 ELSE hook_type + 1 END
  WHERE hook_type BETWEEN 1 AND 11;
UPDATE buckets SET item_type = (item_type & ~24) | ((item_type & 24) << 5);
UPDATE users SET auth_mode = 3 - auth_mode WHERE auth_mode IN (1, 2);
UPDATE bucket_permissions SET permission = CASE WHEN permission & 2 THEN 3 WHEN permission & 1 THEN 2 ELSE 1 END;
CREATE TABLE package_revs(
  package TEXT NOT NULL, revision TEXT NOT NULL,
  entity_def_dbid INTEGER NOT NULL REFERENCES entity_defs(dbid), PRIMARY KEY(package, revision, entity_def_dbid));
-- Loaded records had no action in their first history row; they were submitted.
UPDATE history SET action_dbid = (SELECT a.dbid FROM action_defs a JOIN records r ON r.entity_def_dbid=a.entity_def_dbid
    WHERE r.dbid=history.record_dbid AND a.action_type=1 ORDER BY a.position LIMIT 1)
  WHERE action_dbid IS NULL AND dbid = (SELECT MIN(h.dbid) FROM history h WHERE h.record_dbid=history.record_dbid);
UPDATE meta SET value = '2' WHERE key = 'schema_version';
)SQL";

// The values past a record's first of a field: whether a field holds more than one value in any
// record is one seek in an index of the few rows that say so. A record's attachments, history and
// duplicates, read with it and removed with it (by the cascading keys), are a seek each; so are
// a database's oplog entries.
const char *const kAddedIndexesSql = R"SQL(
CREATE INDEX IF NOT EXISTS field_values_past_first ON field_values(field_dbid) WHERE position>0;
CREATE INDEX IF NOT EXISTS attachments_by_record ON attachments(record_dbid);
CREATE INDEX IF NOT EXISTS history_by_record ON history(record_dbid);
CREATE INDEX IF NOT EXISTS records_by_duplicate ON records(duplicate_of);
CREATE INDEX IF NOT EXISTS oplog_by_database ON oplog(database_dbid, seq);
)SQL";

} // namespace kxp
