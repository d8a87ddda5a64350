CREATE TABLE history_items (id INTEGER PRIMARY KEY AUTOINCREMENT, url TEXT NOT NULL UNIQUE,
  visit_count INTEGER NOT NULL);
CREATE TABLE history_visits (id INTEGER PRIMARY KEY AUTOINCREMENT,
  history_item INTEGER NOT NULL REFERENCES history_items(id) ON DELETE CASCADE,
  visit_time REAL NOT NULL, title TEXT NULL,
  redirect_source INTEGER NULL UNIQUE REFERENCES history_visits(id) ON DELETE CASCADE,
  redirect_destination INTEGER NULL UNIQUE REFERENCES history_visits(id) ON DELETE CASCADE);

INSERT INTO history_items (id, url, visit_count) VALUES (1, 'https://example.com/', 2),
  (2, 'file:///Users/tester/notes.html', 1), (3, 'https://untitled.example/', 1);
INSERT INTO history_visits (id, history_item, visit_time, title) VALUES
  (10, 1, 0.0, 'Example'), (11, 1, 700000000.5, 'Example again'),
  (12, 2, 100, 'Notes'), (13, 3, 50, NULL);
