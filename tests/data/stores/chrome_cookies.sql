-- Written in the write-ahead log, never checkpointed into the database.
PRAGMA journal_mode=WAL;
PRAGMA wal_autocheckpoint=0;

CREATE TABLE cookies(creation_utc INTEGER NOT NULL, host_key TEXT NOT NULL,
  top_frame_site_key TEXT NOT NULL, name TEXT NOT NULL, value TEXT NOT NULL,
  path TEXT NOT NULL, UNIQUE (host_key, top_frame_site_key, name, path));

INSERT INTO cookies VALUES (13294473600000000, '.example.com', '', 'sid', 'v', '/'),
  (13294473700000000, 'cdn.example.net', '', 'k', 'v', '/');
