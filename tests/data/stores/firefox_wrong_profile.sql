-- A second profile the scan must not read.
INSERT INTO moz_places (id, url) VALUES (1, 'https://wrong-profile.example/');
