CREATE TABLE users (id INTEGER PRIMARY KEY, name TEXT, password TEXT);
CREATE TABLE traits (id INTEGER PRIMARY KEY, name TEXT);
CREATE TABLE roles_users (uid INTEGER, rid INTEGER);
CREATE TABLE roles_traits (rid INTEGER, tid INTEGER);
INSERT INTO traits VALUES (1, 'service'), (2, 'admin');
INSERT INTO roles_traits VALUES (1, 1), (2, 1), (2, 2);
INSERT INTO users VALUES (1, 'tech', 'pw1'), (2, 'root', 'pw2'), (3, 'plain', 'pw3');
-- root holds "service" through two roles: duplicates stay in the token list.
INSERT INTO roles_users VALUES (1, 1), (2, 1), (2, 2);
