CREATE TABLE moz_cookies (id INTEGER PRIMARY KEY, baseDomain TEXT,
  originAttributes TEXT NOT NULL DEFAULT '', name TEXT, value TEXT, host TEXT, path TEXT,
  creationTime INTEGER, CONSTRAINT moz_uniqueid UNIQUE (name, host, path, originAttributes));

INSERT INTO moz_cookies (id, baseDomain, name, host, path, creationTime) VALUES
  (7, 'example.org', 'a', '.example.org', '/', 1650000000000000),
  (8, 'other.org', 'b', 'other.org', '/', 1650000001000000);
