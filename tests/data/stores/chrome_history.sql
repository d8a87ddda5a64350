CREATE TABLE urls(id INTEGER PRIMARY KEY AUTOINCREMENT, url LONGVARCHAR, title LONGVARCHAR,
  visit_count INTEGER DEFAULT 0 NOT NULL, last_visit_time INTEGER NOT NULL);
CREATE TABLE visits(id INTEGER PRIMARY KEY AUTOINCREMENT, url INTEGER NOT NULL,
  visit_time INTEGER NOT NULL, from_visit INTEGER, transition INTEGER DEFAULT 0 NOT NULL);
CREATE TABLE keyword_search_terms (keyword_id INTEGER NOT NULL, url_id INTEGER NOT NULL,
  term LONGVARCHAR NOT NULL, normalized_term LONGVARCHAR NOT NULL);
CREATE TABLE downloads (id INTEGER PRIMARY KEY, guid VARCHAR NOT NULL,
  current_path LONGVARCHAR NOT NULL, target_path LONGVARCHAR NOT NULL,
  start_time INTEGER NOT NULL, state INTEGER NOT NULL, mime_type VARCHAR(255) NOT NULL);

-- Times count microseconds since 1601-01-01: 11644473600000000 is the Unix
-- epoch, 13244473600000000 Unix time 1600000000.
INSERT INTO urls (id, url, title, last_visit_time) VALUES
  (1, 'https://news.example/a', 'News', 0),
  (2, 'https://search.example/?q=x', 'Results/x', 0),
  (3, 'file:///Users/tester/page.html', '', 0);
INSERT INTO visits (id, url, visit_time) VALUES (100, 1, 13244473600000000),
  (101, 3, 11644473600000000), (102, 1, 13244474100000000);
INSERT INTO keyword_search_terms (keyword_id, url_id, term, normalized_term) VALUES
  (1, 2, 'x', 'x');
-- The first download's file is there (the fixture makes it), the second's is not.
INSERT INTO downloads VALUES
  (1, 'g', '@HOME@/Downloads/report.pdf', '@HOME@/Downloads/report.pdf', 13344473600000000, 1,
   'application/pdf'),
  (2, 'g', '/nowhere/gone.zip', '/nowhere/gone.zip', 11644473600000000, 1, 'application/pdf');
