CREATE TABLE moz_formhistory (id INTEGER PRIMARY KEY, fieldname TEXT NOT NULL,
  value TEXT NOT NULL, timesUsed INTEGER, firstUsed INTEGER, lastUsed INTEGER, guid TEXT);

INSERT INTO moz_formhistory (id, fieldname, value, firstUsed) VALUES
  (3, 'searchbar-history', 'cats', 1600000000000000), (4, 'email', 'x', 1);
