-- Example user database: build it with  sqlite3 example/users.sqlite < example/users.sql
CREATE TABLE users (id INTEGER PRIMARY KEY, name TEXT NOT NULL UNIQUE, password TEXT NOT NULL);
CREATE TABLE traits (id INTEGER PRIMARY KEY, name TEXT NOT NULL);
CREATE TABLE roles_users (uid INTEGER NOT NULL, rid INTEGER NOT NULL);
CREATE TABLE roles_traits (rid INTEGER NOT NULL, tid INTEGER NOT NULL);
-- A login reads a user's roles and each role's traits. Without these indexes SQLite builds a
-- temporary one over the whole role table at every login, which grows with the number of users
-- (see the README).
CREATE INDEX roles_users_uid ON roles_users (uid);
CREATE INDEX roles_traits_rid ON roles_traits (rid);

INSERT INTO traits (id, name) VALUES (1, 'operator'), (2, 'service');
-- role 1: operator; role 2: service engineer
INSERT INTO roles_traits (rid, tid) VALUES (1, 1), (2, 1), (2, 2);
INSERT INTO users (id, name, password) VALUES (1, 'alice', 'wonderland'), (2, 'bob', 'builder');
INSERT INTO roles_users (uid, rid) VALUES (1, 1), (2, 2);
