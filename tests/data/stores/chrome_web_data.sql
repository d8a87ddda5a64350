CREATE TABLE autofill (name VARCHAR, value VARCHAR, value_lower VARCHAR,
  date_created INTEGER DEFAULT 0, date_last_used INTEGER DEFAULT 0, count INTEGER DEFAULT 1,
  PRIMARY KEY (name, value));

-- One value holds a quote and a comma; the last row's texts collide with it
-- once name and value are joined by ",".
INSERT INTO autofill (name, value, date_created) VALUES
  ('email', 'me@example', 13044473600000000),
  ('street', 'O''Brien Road, 5', 13044473601000000),
  ('street', 'O''Brien Road', 13044473602000000),
  ('street,O''Brien Road', ' 5', 13044473603000000);
