CREATE TABLE logins (origin_url VARCHAR NOT NULL, username_element VARCHAR,
  username_value VARCHAR, password_element VARCHAR, signon_realm VARCHAR NOT NULL,
  date_created INTEGER NOT NULL, id INTEGER PRIMARY KEY AUTOINCREMENT,
  UNIQUE (origin_url, username_element, username_value, password_element, signon_realm));

INSERT INTO logins (origin_url, username_value, signon_realm, date_created) VALUES
  ('https://accounts.example/login', 'me@example', 'https://accounts.example/',
   13144473600000000),
  ('https://accounts.example/login', '', 'https://accounts.example/', 13144473601000000);
