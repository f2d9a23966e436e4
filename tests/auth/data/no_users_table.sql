-- A database that holds the trait tables but no users table.
CREATE TABLE traits (id INTEGER PRIMARY KEY, name TEXT);
INSERT INTO traits VALUES (1, 'admin');
