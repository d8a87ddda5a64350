-- A Photos library's database: versions 42 (0x2A) and 675 (0x2A3) of
-- masters 7 and 8, a version of a master without derivatives, and a master
-- path with quotes (read back, it must be bound, not spliced).
CREATE TABLE RKMaster (modelId INTEGER PRIMARY KEY, uuid TEXT, imagePath TEXT, fileName TEXT);
CREATE TABLE RKVersion (modelId INTEGER PRIMARY KEY, uuid TEXT, masterId INTEGER, fileName TEXT);
INSERT INTO RKMaster (modelId, imagePath) VALUES (7, '2020/05/01/IMG_0001.JPG'),
  (8, '2020/05/02/IMG_0002.jpg'), (9, '2020/05/03/IMG_0003.jpg'), (10, 'x'' or ''1''=''1');
INSERT INTO RKVersion (modelId, masterId) VALUES (42, 7), (675, 8), (676, 9);
