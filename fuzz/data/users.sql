-- Example user database: build it with  sqlite3 example/users.sqlite < example/users.sql
CREATE TABLE users (id INTEGER PRIMARY KEY, name TEXT NOT NULL UNIQUE, password TEXT NOT NULL);
CREATE TABLE traits (id INTEGER PRIMARY KEY, name TEXT NOT NULL);
CREATE TABLE roles_users (uid INTEGER NOT NULL, rid INTEGER NOT NULL);
CREATE TABLE roles_traits (rid INTEGER NOT NULL, tid INTEGER NOT NULL);

INSERT INTO traits (id, name) VALUES (1, 'operator'), (2, 'service');
-- role 1: operator; role 2: service engineer
INSERT INTO roles_traits (rid, tid) VALUES (1, 1), (2, 1), (2, 2);
INSERT INTO users (id, name, password) VALUES (1, 'alice', 'wonderland'), (2, 'bob', 'builder');
INSERT INTO roles_users (uid, rid) VALUES (1, 1), (2, 2);
