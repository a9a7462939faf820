-- The delivered settings file confbu.cfg: one settings row and an empty list of
-- databases. Times are ISO 8601 text, switches 1 or 0. Both times start disabled.
CREATE TABLE confdb (
    server    TEXT,
    user      TEXT,
    pass      TEXT,
    port      INTEGER,
    outputdir TEXT,
    jam1      TEXT,
    jam2      TEXT,
    jam3      TEXT,
    jam4      TEXT,
    jam1st    INTEGER,
    jam2st    INTEGER,
    jam3st    INTEGER,
    jam4st    INTEGER
);
CREATE TABLE tbldb (
    dbname TEXT
);
INSERT INTO confdb (server, user, pass, port, outputdir,
                    jam1, jam2, jam3, jam4, jam1st, jam2st, jam3st, jam4st)
VALUES ('localhost', '', '', 5432, '/var/backups/sarvela',
        '2000-01-01T01:00:00', '2000-01-01T13:00:00', '2000-01-01T00:00:00', '2000-01-01T00:00:00',
        0, 0, 0, 0);
