INSERT INTO moz_places (id, url, last_visit_date) VALUES
  (1, 'https://mozilla.example/', 1600000000000000),
  (2, 'https://kw.example/search', 1610000000000000);
INSERT INTO moz_historyvisits (id, place_id, visit_date) VALUES
  (10, 1, 1600000000123456), (11, 1, 1500000000000000);
INSERT INTO moz_keywords (id, keyword, place_id) VALUES (5, 'kw', 2);
-- Downloads: a file that is there (the fixture makes it), a state record,
-- a file that is not.
INSERT INTO moz_annos (id, place_id, anno_attribute_id, content, dateAdded) VALUES
  (20, 1, 1, 'file://@HOME_URL@/Downloads/My%20File.txt', 1700000000000000),
  (21, 1, 1, '{"state":1,"endTime":1700000000000}', 1700000000000000),
  (22, 1, 1, 'file:///nowhere/x.zip', 1700000000000000);
