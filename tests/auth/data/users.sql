-- User database fixture: each user exercises one way a login can go right or wrong.
CREATE TABLE users (id INTEGER PRIMARY KEY, name TEXT, password TEXT);
CREATE TABLE roles_users (uid INTEGER, rid INTEGER);
CREATE TABLE roles_traits (rid INTEGER, tid INTEGER);
CREATE TABLE traits (id INTEGER PRIMARY KEY, name TEXT);

INSERT INTO traits VALUES (1, 'operator'), (2, 'admin'), (3, NULL), (4, 'viewer'),
  (5, 'AUTHED'), (6, 'beta'), (7, 'Alpha'), (8, 'äöü'), (9, '*');

-- alice: role 10 grants operator and admin, role 11 grants admin again.
INSERT INTO users VALUES (1, 'alice', 'secret');
INSERT INTO roles_users VALUES (1, 10), (1, 11);
INSERT INTO roles_traits VALUES (10, 1), (10, 2), (11, 2);

-- bob: no roles at all.
INSERT INTO users VALUES (2, 'bob', 'hunter2');

-- Double quotes inside name and password.
INSERT INTO users VALUES (3, 'qu"ote', 'p"w" or "1"="1');
INSERT INTO roles_users VALUES (3, 12);
INSERT INTO roles_traits VALUES (12, 4);

-- Names that are also column names.
INSERT INTO users VALUES (4, 'name', 'n-pass');
INSERT INTO users VALUES (5, 'password', 'password');

-- dave: one trait without a name, one with.
INSERT INTO users VALUES (6, 'dave', 'd');
INSERT INTO roles_users VALUES (6, 13);
INSERT INTO roles_traits VALUES (13, 3), (13, 4);

-- erin: traits named like the fixed tokens, mixed case and non-ASCII bytes.
INSERT INTO users VALUES (7, 'erin', 'e');
INSERT INTO roles_users VALUES (7, 14);
INSERT INTO roles_traits VALUES (14, 5), (14, 6), (14, 7), (14, 8), (14, 9);
