// The fleet database's schema: see schema.h.
#include "fleet/schema.h"

#include <array>

namespace keldor {

namespace {

// Migration 1: the ban list, the admin actions, the servers and the functions
// servers write through. Times are seconds since the epoch, as in the local files.
constexpr const char* kMigration1 = R"sql(
CREATE SEQUENCE keldor.change_seq;

CREATE TABLE keldor.bans (
  id text PRIMARY KEY CHECK (id ~ '^[0-9a-f]{32}$'),
  seq bigint NOT NULL UNIQUE,
  server text NOT NULL,
  admin text NOT NULL,
  name text NOT NULL,
  address text NOT NULL DEFAULT '',
  keyhash text NOT NULL DEFAULT '',
  guid text NOT NULL DEFAULT '',
  start_time bigint NOT NULL,
  end_time bigint NOT NULL,
  reason text NOT NULL,
  lifted_at bigint,
  lifted_by text,
  lifted_on text,
  -- The database roles that wrote the ban and its lift: the server names above
  -- are what a server says of itself, the roles what the database knows.
  role text NOT NULL DEFAULT session_user,
  lifted_role text
);
CREATE INDEX bans_address ON keldor.bans (lower(address)) WHERE address <> '';
CREATE INDEX bans_keyhash ON keldor.bans (lower(keyhash)) WHERE keyhash <> '';
CREATE INDEX bans_guid ON keldor.bans (lower(guid)) WHERE guid <> '';

CREATE TABLE keldor.admin_actions (
  id text PRIMARY KEY CHECK (id ~ '^[0-9a-f]{32}$'),
  server text NOT NULL,
  time bigint NOT NULL,
  admin text NOT NULL,
  player text NOT NULL,
  address text NOT NULL,
  keyhash text NOT NULL,
  guid text NOT NULL,
  map text NOT NULL,
  action text NOT NULL,
  duration bigint NOT NULL,
  reason text NOT NULL,
  role text NOT NULL DEFAULT session_user
);
CREATE INDEX admin_actions_time ON keldor.admin_actions (time);

CREATE TABLE keldor.servers (
  name text PRIMARY KEY,
  host text NOT NULL,
  port integer NOT NULL,
  version text NOT NULL,
  state text NOT NULL,
  map text NOT NULL,
  players integer NOT NULL,
  slots integer NOT NULL,
  last_crash bigint NOT NULL,
  pass_seconds integer NOT NULL,
  last_seen timestamptz NOT NULL
);

CREATE FUNCTION keldor.ban(p_id text, p_server text, p_admin text, p_name text, p_address text,
                           p_keyhash text, p_guid text, p_start bigint, p_end bigint,
                           p_reason text) RETURNS void
LANGUAGE plpgsql SECURITY DEFINER SET search_path = pg_catalog, pg_temp AS $$
BEGIN
  PERFORM pg_advisory_xact_lock(1262832708);
  INSERT INTO keldor.bans (id, seq, server, admin, name, address, keyhash, guid, start_time,
                           end_time, reason)
  VALUES (p_id, nextval('keldor.change_seq'), p_server, p_admin, p_name, p_address, p_keyhash,
          p_guid, p_start, p_end, p_reason)
  ON CONFLICT (id) DO NOTHING;
  IF FOUND THEN
    PERFORM pg_notify('keldor_bans', p_server);
  END IF;
END $$;

-- Lifts every ban in force that holds one of the identifiers and began no
-- later than the lift: a lift sent again after a crash cannot lift a newer ban.
CREATE FUNCTION keldor.lift(p_server text, p_by text, p_address text, p_keyhash text,
                            p_guid text, p_at bigint) RETURNS integer
LANGUAGE plpgsql SECURITY DEFINER SET search_path = pg_catalog, pg_temp AS $$
DECLARE
  n integer;
BEGIN
  PERFORM pg_advisory_xact_lock(1262832708);
  UPDATE keldor.bans
     SET lifted_at = p_at, lifted_by = p_by, lifted_on = p_server, lifted_role = session_user,
         seq = nextval('keldor.change_seq')
   WHERE lifted_at IS NULL AND start_time <= p_at
     AND ((p_address <> '' AND lower(address) = lower(p_address))
       OR (p_keyhash <> '' AND lower(keyhash) = lower(p_keyhash))
       OR (p_guid <> '' AND lower(guid) = lower(p_guid)));
  GET DIAGNOSTICS n = ROW_COUNT;
  IF n > 0 THEN
    PERFORM pg_notify('keldor_bans', p_server);
  END IF;
  RETURN n;
END $$;

CREATE FUNCTION keldor.admin_action(p_id text, p_server text, p_time bigint, p_admin text,
                                    p_player text, p_address text, p_keyhash text, p_guid text,
                                    p_map text, p_action text, p_duration bigint,
                                    p_reason text) RETURNS void
LANGUAGE sql SECURITY DEFINER SET search_path = pg_catalog, pg_temp AS $$
  INSERT INTO keldor.admin_actions (id, server, time, admin, player, address, keyhash, guid, map,
                                    action, duration, reason)
  VALUES (p_id, p_server, p_time, p_admin, p_player, p_address, p_keyhash, p_guid, p_map, p_action,
          p_duration, p_reason)
  ON CONFLICT (id) DO NOTHING;
$$;

CREATE FUNCTION keldor.server_status(p_name text, p_host text, p_port integer, p_version text,
                                     p_state text, p_map text, p_players integer,
                                     p_slots integer, p_last_crash bigint,
                                     p_pass_seconds integer) RETURNS void
LANGUAGE sql SECURITY DEFINER SET search_path = pg_catalog, pg_temp AS $$
  INSERT INTO keldor.servers VALUES (p_name, p_host, p_port, p_version, p_state, p_map, p_players,
                                     p_slots, p_last_crash, p_pass_seconds, now())
  ON CONFLICT (name) DO UPDATE
    SET host = EXCLUDED.host, port = EXCLUDED.port, version = EXCLUDED.version,
        state = EXCLUDED.state, map = EXCLUDED.map, players = EXCLUDED.players,
        slots = EXCLUDED.slots, last_crash = EXCLUDED.last_crash,
        pass_seconds = EXCLUDED.pass_seconds, last_seen = now();
$$;

REVOKE ALL ON ALL FUNCTIONS IN SCHEMA keldor FROM PUBLIC;
)sql";

constexpr std::array<const char*, 1> kMigrations{kMigration1};

}  // namespace

std::size_t FleetSchemaVersion() {
  return kMigrations.size();
}

const char* FleetMigration(std::size_t version) {
  return version >= 1 && version <= kMigrations.size() ? kMigrations[version - 1] : nullptr;
}

const char* FleetSchemaQuery() {
  return "SELECT to_regclass('keldor.schema_version') IS NOT NULL";
}

const char* FleetVersionQuery() {
  return "SELECT coalesce(max(version), 0) FROM keldor.schema_version";
}

std::string FleetMigrationTransaction(std::size_t version) {
  std::string sql = "BEGIN;\nSELECT pg_advisory_xact_lock(" + std::to_string(kFleetWriteLock) +
                    ");\nCREATE SCHEMA IF NOT EXISTS keldor;\n"
                    "CREATE TABLE IF NOT EXISTS keldor.schema_version (version integer PRIMARY "
                    "KEY, applied_at timestamptz NOT NULL DEFAULT now());\n";
  sql += FleetMigration(version);
  sql += "\nINSERT INTO keldor.schema_version (version) VALUES (" + std::to_string(version) +
         ");\nCOMMIT;\n";
  return sql;
}

}  // namespace keldor
