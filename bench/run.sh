#!/bin/bash
# Benchmark of corvaned against nginx (cached operations, downloads) and a plain popen loop
# (plug-in commands). Run as root, as it stands: `bench/run.sh` (it calls no sudo). Installs
# wrk and nginx if missing, builds the release configuration into build/bench and runs
# everything inside one private network and mount namespace, so nothing (WS-Discovery
# included) leaves loopback.
# BENCH_SECONDS sets the length of each load run (default 8); BENCH_CASES names the groups of
# rows to run (default all: logins load commands downloads startup size). The table goes to
# stdout and to build/bench/results.md.
# `bench/run.sh --check` only checks BENCH_SECONDS and BENCH_CASES, prints the groups it would
# run and exits (no root needed, nothing built or started).
set -eu

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$ROOT/build/bench
# Every group of rows, in the order they run; the default is all of them.
ALL_CASES="logins load commands downloads startup size"
DUR=${BENCH_SECONDS:-8}
CASES=${BENCH_CASES:-$ALL_CASES}
PORT=8083
NGINX_PORT=8090

check_arguments() {
    [[ $DUR =~ ^[1-9][0-9]*$ ]] || { echo "BENCH_SECONDS is not a number of seconds: $DUR" >&2; exit 1; }
    local c
    for c in $CASES; do
        case " $ALL_CASES " in *" $c "*) ;; *) echo "unknown case group: $c" >&2; exit 1 ;; esac
    done
}

if [ "${1:-}" = --check ]; then
    check_arguments
    echo "bench: would run:" $CASES
    exit 0
fi

if [ "${1:-}" != --inside ]; then
    check_arguments
    [ "$(id -u)" = 0 ] || { echo "run as root (network namespace, tmpfs mounts)" >&2; exit 1; }
    need=""
    command -v wrk >/dev/null || need="$need wrk"
    [ -x /usr/sbin/nginx ] || need="$need nginx"
    command -v sqlite3 >/dev/null || need="$need sqlite3"
    command -v curl >/dev/null || need="$need curl"
    command -v cc >/dev/null || need="$need gcc"
    if [ -n "$need" ]; then
        # Keep the package's own nginx service from starting on the host.
        ownPolicy=""
        if [ ! -e /usr/sbin/policy-rc.d ]; then
            printf '#!/bin/sh\nexit 101\n' >/usr/sbin/policy-rc.d
            chmod +x /usr/sbin/policy-rc.d
            ownPolicy=1
            trap 'rm -f /usr/sbin/policy-rc.d' EXIT
        fi
        DEBIAN_FRONTEND=noninteractive apt-get update -qq
        # shellcheck disable=SC2086
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $need >/dev/null
        [ -z "$ownPolicy" ] || { rm -f /usr/sbin/policy-rc.d; trap - EXIT; }
    fi
    [ -x "$BUILD/core/corvaned" ] || "$ROOT/scripts/install-deps.sh"
    (cd "$ROOT" && cmake --preset bench >/dev/null && cmake --build --preset bench >/dev/null)
    cc -O2 -Wall -Wextra -pthread -o "$BUILD/popen_loop" "$ROOT/bench/popen_loop.c"
    cc -O2 -Wall -Wextra -o "$BUILD/first_answer" "$ROOT/bench/first_answer.c"

    WORK=$(mktemp -d /tmp/corvane-bench.XXXXXX)
    trap 'rm -rf "$WORK"' EXIT
    chmod 755 "$WORK"
    "$ROOT/scripts/netns.sh" --tmpfs /var/lib/corvane --tmpfs /tmp/downloads --tmpfs /run -- "$0" --inside "$WORK"
    cp "$WORK/results.md" "$BUILD/results.md"
    echo
    cat "$BUILD/results.md"
    exit 0
fi

# ---- inside the namespace ----
WORK=$2

DAEMON_PID=""
NGINX_PID=""
SAMPLER_PID=""
cleanup() {
    [ -z "$SAMPLER_PID" ] || kill "$SAMPLER_PID" 2>/dev/null || true
    if [ -n "$DAEMON_PID" ]; then kill -TERM "$DAEMON_PID" 2>/dev/null || true; wait_gone "$DAEMON_PID"; fi
    if [ -n "$NGINX_PID" ]; then kill -TERM "$NGINX_PID" 2>/dev/null || true; wait_gone "$NGINX_PID"; fi
}
wait_gone() {
    for _ in $(seq 100); do kill -0 "$1" 2>/dev/null || return 0; sleep 0.1; done
    kill -KILL "$1" 2>/dev/null || true
}
trap cleanup EXIT

log() { echo "bench: $*" >&2; }
want() { case " $CASES " in *" $1 "*) return 0 ;; esac; return 1; }

# Plug-ins: copies of the system tests' thermo fixture under the names <prefix>1..<prefix>N.
make_plugins() {
    local dir=$1 n=$2 i
    mkdir -p "$dir"
    for i in $(seq "$n"); do
        sed -e "s/name=\"thermo\"/name=\"bench$i\"/" -e "s/thermo.sh/bench$i.sh/" \
            "$ROOT/tests/system/data/plugins/thermo.xml" >"$dir/bench$i.xml"
        cp "$ROOT/tests/system/data/plugins/thermo.sh" "$dir/bench$i.sh"
        chmod 755 "$dir/bench$i.sh"
    done
}
make_plugins "$WORK/plugins8" 8
make_plugins "$WORK/plugins100" 100
sqlite3 "$WORK/users.sqlite" <"$ROOT/tests/system/data/users.sql"
AUTH=$(printf 'tech:pw1' | base64)

config() {
    cat >"$WORK/corvaned-$1.conf" <<EOF
[backend]
port=$PORT
plugin_dir=$WORK/$1
logfile=$WORK/corvaned-$1.log
loglevel=3
pidfile=$WORK/corvaned-$1.pid
[global]
sqllite_db=$WORK/users.sqlite
EOF
}
config plugins8
config plugins100

# The service namespace, as the build generated it.
WEX_NS=$(sed -n 's/.*"\(http[^"]*\)".*/\1/p' "$BUILD/soap/generated/soap/WexNamespace.h")

envelope() {  # operation, then element text pairs
    local op=$1; shift
    printf '<?xml version="1.0" encoding="UTF-8"?><SOAP-ENV:Envelope xmlns:SOAP-ENV="http://schemas.xmlsoap.org/soap/envelope/" xmlns:wex="%s"><SOAP-ENV:Body><wex:%s>' "$WEX_NS" "$op"
    while [ $# -ge 2 ]; do printf '<%s>%s</%s>' "$1" "$2" "$1"; shift 2; done
    printf '</wex:%s></SOAP-ENV:Body></SOAP-ENV:Envelope>' "$op"
}
REQ=$WORK/req
mkdir -p "$REQ"
envelope list-plugins >"$REQ/list-plugins.xml"
envelope auth-user >"$REQ/auth-user.xml"
envelope get-plugin-config plugin bench1 >"$REQ/get-plugin-config.xml"
for i in $(seq 8); do envelope command plugin "bench$i" command get parameters "" >"$REQ/command-$i.xml"; done
body=$(cat "$REQ/list-plugins.xml")
printf 'POST / HTTP/1.1\r\nHost: localhost\r\nContent-Type: text/xml; charset=utf-8\r\nContent-Length: %d\r\n\r\n%s' \
    "${#body}" "$body" >"$REQ/probe.http"

rss_kb() { awk '/^VmRSS/ {print $2}' "/proc/$1/status"; }
start_sampler() {
    : >"$WORK/rss"
    ( while kill -0 "$1" 2>/dev/null; do rss_kb "$1" >>"$WORK/rss" 2>/dev/null || true; sleep 0.1; done ) &
    SAMPLER_PID=$!
}
stop_sampler() {
    kill "$SAMPLER_PID" 2>/dev/null || true
    wait "$SAMPLER_PID" 2>/dev/null || true
    SAMPLER_PID=""
    sort -n "$WORK/rss" | tail -1 | awk '{printf "%.1f", $1 / 1024}'
}

start_daemon() {  # plugin set; sets DAEMON_PID and STARTUP_MS
    local out
    out=$("$BUILD/first_answer" "$PORT" "$REQ/probe.http" "$BUILD/core/corvaned" -c "$WORK/corvaned-$1.conf")
    DAEMON_PID=$(echo "$out" | awk '{print $2}')
    STARTUP_MS=$(echo "$out" | awk '{print $3}')
    [ "$STARTUP_MS" != -1 ] || { log "daemon did not answer"; cat "$WORK/corvaned-$1.log" >&2; exit 1; }
}
stop_daemon() {
    kill -TERM "$DAEMON_PID"
    wait_gone "$DAEMON_PID"
    DAEMON_PID=""
}

# wrk: port, connections, then arguments for post.lua. Sets RPS, P50, P99 (ms), FAIL and RSS,
# the sampled maximum of the daemon's RSS in MB during the run ("-" for nginx).
run_wrk() {
    local port=$1 conns=$2; shift 2
    local threads=$((conns < 4 ? conns : 4)) out
    [ "$port" != "$PORT" ] || start_sampler "$DAEMON_PID"
    out=$(wrk -t"$threads" -c"$conns" -d"${DUR}s" --timeout 10s -s "$ROOT/bench/post.lua" \
        "http://127.0.0.1:$port/" -- "$@" | grep '^RESULT')
    RSS=-
    [ "$port" != "$PORT" ] || RSS=$(stop_sampler)
    read -r _ _ RPS P50 P99 e1 e2 <<<"$out"
    FAIL=$((e1 + e2))
}

ROWS=$WORK/rows
: >"$ROWS"
row() { echo "| $* |" >>"$ROWS"; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }'; }

# ---- logins against user databases of growing size ----
# The example schema with and without its indexes on the role tables, filled up to N users who
# hold one role each. A login costs what wex:auth-user with bob's credentials takes more than the
# same call without credentials, one client at a time.
users_db() {  # file, users, indexes (yes or no)
    {
        if [ "$3" = yes ]; then cat "$ROOT/example/users.sql"; else grep -v '^CREATE INDEX' "$ROOT/example/users.sql"; fi
        echo "WITH RECURSIVE n(i) AS (SELECT 3 UNION ALL SELECT i + 1 FROM n WHERE i < $2)"
        echo "  INSERT INTO users (id, name, password) SELECT i, 'user' || i, 'pw' || i FROM n;"
        echo "INSERT INTO roles_users (uid, rid) SELECT id, 1 + id % 2 FROM users WHERE id > 2;"
    } | sqlite3 "$1"
}
LOGIN_ROWS=$WORK/login-rows
: >"$LOGIN_ROWS"
BOB=$(printf 'bob:builder' | base64)
for users in 10 10000 1000000; do
    want logins || break
    for indexes in no yes; do
        log "logins, $users users, indexes: $indexes"
        rm -f "$WORK/users-login.sqlite"
        users_db "$WORK/users-login.sqlite" "$users" "$indexes"
        sed -e "s|^sqllite_db=.*|sqllite_db=$WORK/users-login.sqlite|" -e "s|corvaned-plugins8|corvaned-logins|g" \
            "$WORK/corvaned-plugins8.conf" >"$WORK/corvaned-logins.conf"
        start_daemon logins
        run_wrk "$PORT" 1 "$REQ/auth-user.xml"
        anon=$RPS
        run_wrk "$PORT" 1 "auth=$BOB" "$REQ/auth-user.xml"
        [ "$FAIL" = 0 ] || log "logins: $FAIL failed requests"
        cost=$(awk -v a="$RPS" -v b="$anon" 'BEGIN { if (a > 0 && b > 0) printf "%.3f", 1000 / a - 1000 / b; else print "-" }')
        echo "| $users | $indexes | $RPS req/s | $anon req/s | $cost ms |" >>"$LOGIN_ROWS"
        stop_daemon
    done
done
login_table() {
    echo "| users | indexes on roles_users(uid), roles_traits(rid) | with credentials | without | login |"
    echo "|---|---|---|---|---|"
    cat "$LOGIN_ROWS"
}

# ---- nginx, the ceiling ----
mkdir -p "$WORK/www" "$WORK/nginx-tmp"
cat >"$WORK/nginx.conf" <<EOF
user root;
worker_processes auto;
pid $WORK/nginx.pid;
error_log $WORK/nginx-error.log;
events { worker_connections 4096; }
http {
    access_log off;
    keepalive_timeout 0;
    client_body_temp_path $WORK/nginx-tmp;
    default_type text/xml;
    sendfile on;
    server {
        listen 127.0.0.1:$NGINX_PORT;
        root $WORK/www;
        location /downloads/ { alias /tmp/downloads/; }
        # POST to a static file: the 405 of the static module becomes a GET of the same file.
        location / { error_page 405 =200 \$uri; }
    }
}
EOF

IDLE8=- STARTUP8=- IDLE100=- STARTUP100=- MAXRSS64=-
if want load || want commands || want downloads; then
    log "starting corvaned with 8 plug-ins"
    start_daemon plugins8
    STARTUP8=$STARTUP_MS
    sleep 1
    IDLE8=$(rss_kb "$DAEMON_PID" | awk '{printf "%.1f", $1 / 1024}')
fi

if want load || want downloads; then
    # The same answers as files for nginx: body of the daemon's answer per operation and caller.
    for op in list-plugins get-plugin-config; do
        curl -s -o "$WORK/www/$op-anon.xml" -H 'Content-Type: text/xml' --data-binary "@$REQ/$op.xml" "http://127.0.0.1:$PORT/"
        curl -s -o "$WORK/www/$op-auth.xml" -u tech:pw1 -H 'Content-Type: text/xml' --data-binary "@$REQ/$op.xml" "http://127.0.0.1:$PORT/"
    done
    /usr/sbin/nginx -c "$WORK/nginx.conf"
    for _ in $(seq 50); do [ -s "$WORK/nginx.pid" ] && break; sleep 0.1; done
    NGINX_PID=$(cat "$WORK/nginx.pid")
    cmp -s "$WORK/www/list-plugins-anon.xml" <(curl -s -X POST --data-binary x "http://127.0.0.1:$NGINX_PORT/list-plugins-anon.xml") ||
        { log "nginx does not answer the POST with the file"; exit 1; }
fi

if want load; then
    MAXRSS64=0
    for op in get-plugin-config list-plugins; do
        for who in anon auth; do
            size=$(stat -c %s "$WORK/www/$op-$who.xml")
            authArg=()
            [ "$who" = anon ] || authArg=("auth=$AUTH")
            for c in 8 64; do
                log "$op $who $c clients"
                run_wrk "$PORT" "$c" "${authArg[@]}" "$REQ/$op.xml"
                rps=$RPS p50=$P50 p99=$P99 fail=$FAIL rss=$RSS
                [ "$c" != 64 ] || MAXRSS64=$(awk -v a="$MAXRSS64" -v b="$rss" 'BEGIN { print (b > a) ? b : a }')
                run_wrk "$NGINX_PORT" "$c" "path=/$op-$who.xml" "$REQ/$op.xml"
                row "wex:$op, $who ($size B answer) | $c | $rps req/s | $p50 | $p99 | $rss | $fail | nginx $RPS req/s | $(ratio "$rps" "$RPS")"
                [ "$FAIL" = 0 ] || log "nginx: $FAIL failed requests"
            done
        done
    done
fi

# ---- commands against popen ----
if want commands; then
    SCRIPT1=$WORK/plugins8/bench1.sh
    SCRIPTS8=()
    CMDS8=()
    for i in $(seq 8); do SCRIPTS8+=("$WORK/plugins8/bench$i.sh"); CMDS8+=("$REQ/command-$i.xml"); done
    log "popen baselines"
    read -r _ pop1 < <("$BUILD/popen_loop" 1 "$DUR" --get "$SCRIPT1" | awk '/^RESULT/ {print $2, $3}')
    read -r _ pop8 < <("$BUILD/popen_loop" 8 "$DUR" --get "$SCRIPT1" | awk '/^RESULT/ {print $2, $3}')
    read -r _ pop8s < <("$BUILD/popen_loop" 8 "$DUR" --get "${SCRIPTS8[@]}" | awk '/^RESULT/ {print $2, $3}')
    log "commands"
    run_wrk "$PORT" 1 "$REQ/command-1.xml"
    row "wex:command get, 1 plug-in | 1 | $RPS req/s | $P50 | $P99 | $RSS | $FAIL | popen, 1 thread: $pop1 /s | $(ratio "$RPS" "$pop1")"
    run_wrk "$PORT" 8 "$REQ/command-1.xml"
    row "wex:command get, 1 plug-in | 8 | $RPS req/s | $P50 | $P99 | $RSS | $FAIL | popen, 8 threads: $pop8 /s | $(ratio "$RPS" "$pop8")"
    run_wrk "$PORT" 8 "${CMDS8[@]}"
    row "wex:command get, 8 plug-ins | 8 | $RPS req/s | $P50 | $P99 | $RSS | $FAIL | popen, 8 threads, 8 scripts: $pop8s /s | $(ratio "$RPS" "$pop8s")"
fi

# ---- downloads ----
if want downloads; then
    log "downloads"
    dd if=/dev/urandom of=/tmp/downloads/big.bin bs=1M count=100 status=none
    download_rate() {  # URL: MB/s (10^6 bytes) over five sequential downloads
        local i total=0 t=0 line
        for i in 1 2 3 4 5; do
            line=$(curl -s -o /dev/null -w '%{size_download} %{time_total}' "$1")
            total=$(awk -v a="$total" -v b="${line% *}" 'BEGIN { print a + b }')
            t=$(awk -v a="$t" -v b="${line#* }" 'BEGIN { print a + b }')
        done
        [ "$total" = $((5 * 104857600)) ] || log "short download from $1: $total bytes"
        awk -v b="$total" -v t="$t" 'BEGIN { printf "%.0f", b / t / 1e6 }'
    }
    start_sampler "$DAEMON_PID"
    dl=$(download_rate "http://127.0.0.1:$PORT/downloads/big.bin")
    dlrss=$(stop_sampler)
    ndl=$(download_rate "http://127.0.0.1:$NGINX_PORT/downloads/big.bin")
    row "GET /downloads/ 100 MiB, 5 sequential | 1 | $dl MB/s | - | - | $dlrss | - | nginx $ndl MB/s | $(ratio "$dl" "$ndl")"
fi
[ -z "$DAEMON_PID" ] || stop_daemon

# ---- start-up and idle memory with 100 plug-ins ----
if want startup; then
    log "corvaned with 100 plug-ins"
    start_daemon plugins100
    STARTUP100=$STARTUP_MS
    sleep 2
    IDLE100=$(rss_kb "$DAEMON_PID" | awk '{printf "%.1f", $1 / 1024}')
    stop_daemon
fi

# ---- description size ----
# One plug-in of N parameters, half of them declared plain and half in instances of one type,
# whose "get" prints a line for each. The daemon is probed with wex:auth-user, which builds no
# variant, so the first wex:get-plugin-config builds the anonymous caller's. Times in ms, the
# median of three daemon starts for the first get-plugin-config and of five gets.
make_big_plugin() {  # directory, N
    mkdir -p "$1"
    awk -v n="$2" 'BEGIN {
        print "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
        print "<plugin name=\"big\" version=\"1.0\" protocol=\"3\">"
        print "  <executable name=\"big.sh\"/>"
        print "  <parameters>"
        for (i = 1; i <= n / 2; i++) printf "    <parameter name=\"p%d\"/>\n", i
        print "    <instances type=\"zone\">"
        for (i = 1; i <= n - int(n / 2); i++) printf "      <instance name=\"z%d\"><parameter name=\"t%d\"/></instance>\n", i, i
        print "    </instances>"
        print "  </parameters>"
        print "  <command name=\"get\" value=\"--get\"><parameters>*</parameters></command>"
        print "</plugin>"
    }' >"$1/big.xml"
    awk -v n="$2" 'BEGIN {
        for (i = 1; i <= n / 2; i++) printf "p%d=val\n", i
        for (i = 1; i <= n - int(n / 2); i++) printf "zone.z%d.t%d=val\n", i, i
    }' >"$1/big.out"
    printf '#!/bin/sh\nexec cat "%s"\n' "$1/big.out" >"$1/big.sh"
    chmod 755 "$1/big.sh"
}
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
post_ms() {  # request file: time of one anonymous POST in ms; the answer goes to $WORK/answer
    local out
    out=$(curl -s -o "$WORK/answer" -w '%{http_code} %{time_total}' -H 'Content-Type: text/xml' \
        --data-binary "@$1" "http://127.0.0.1:$PORT/")
    [ "${out% *}" = 200 ] || { log "status ${out% *} for $1"; exit 1; }
    awk -v t="${out#* }" 'BEGIN { printf "%.1f\n", t * 1000 }'
}
if want size; then
    envelope auth-user >"$REQ/auth-user.xml"
    body=$(cat "$REQ/auth-user.xml")
    printf 'POST / HTTP/1.1\r\nHost: localhost\r\nContent-Type: text/xml; charset=utf-8\r\nContent-Length: %d\r\n\r\n%s' \
        "${#body}" "$body" >"$REQ/probe-size.http"
    envelope get-plugin-config plugin big >"$REQ/get-plugin-config-big.xml"
    envelope command plugin big command get parameters "" >"$REQ/command-big.xml"
    FIRST10=0 GET10=0
    for n in 10000 30000; do
        make_big_plugin "$WORK/size$n" "$n"
        config "size$n"
        log "description of $n parameters"
        : >"$WORK/first" && : >"$WORK/gets"
        for _ in 1 2 3; do
            out=$("$BUILD/first_answer" "$PORT" "$REQ/probe-size.http" "$BUILD/core/corvaned" -c "$WORK/corvaned-size$n.conf")
            DAEMON_PID=$(echo "$out" | awk '{print $2}')
            [ "$(echo "$out" | awk '{print $3}')" != -1 ] || { log "daemon did not answer"; exit 1; }
            post_ms "$REQ/get-plugin-config-big.xml" >>"$WORK/first"
            answer=$(stat -c %s "$WORK/answer")
            for _ in 1 2 3 4 5; do post_ms "$REQ/command-big.xml" >>"$WORK/gets"; done
            lines=$(grep -o '=val' "$WORK/answer" | wc -l)
            [ "$lines" = "$n" ] || log "get printed $lines of $n lines"
            stop_daemon
        done
        first=$(median <"$WORK/first")
        get=$(median <"$WORK/gets")
        if [ "$n" = 10000 ]; then
            FIRST10=$first GET10=$get
            row "first wex:get-plugin-config, $n parameters ($answer B answer) | 1 | $first ms | - | - | - | 0 | - | -"
            row "wex:command get printing $n parameters | 1 | $get ms | - | - | - | 0 | - | -"
        else
            row "first wex:get-plugin-config, $n parameters ($answer B answer) | 1 | $first ms | - | - | - | 0 | 10,000 parameters: $FIRST10 ms | $(ratio "$first" "$FIRST10")"
            row "wex:command get printing $n parameters | 1 | $get ms | - | - | - | 0 | 10,000 parameters: $GET10 ms | $(ratio "$get" "$GET10")"
        fi
    done
fi

{
    echo "| case | clients | corvaned | p50 ms | p99 ms | max RSS MB | failed | reference | ratio |"
    echo "|---|---|---|---|---|---|---|---|---|"
    cat "$ROWS"
    if [ "$STARTUP8$STARTUP100" != -- ]; then
        echo
        echo "| memory and start-up | value |"
        echo "|---|---|"
        value() { [ "$2" = - ] || echo "| $1 | $2 $3 |"; }
        value "idle RSS, 8 plug-ins" "$IDLE8" MB
        value "idle RSS, 100 plug-ins" "$IDLE100" MB
        value "max RSS under 64-client load" "$MAXRSS64" MB
        value "start to first answer, 8 plug-ins" "$STARTUP8" ms
        value "start to first answer, 100 plug-ins" "$STARTUP100" ms
    fi
    if [ -s "$LOGIN_ROWS" ]; then
        echo
        login_table
        echo "Logins: wrk for ${DUR} s each, one client, every request on a new connection."
    fi
    echo
    echo "Each load run: wrk for ${DUR} s, every request on a new connection (\`Connection: close\`);"
    echo "\"failed\" counts socket errors and non-2xx answers. nginx serves the daemon's own answer"
    echo "bodies as static files; popen runs the plug-in script with the command word directly."
    echo "The description-size rows time single requests (the first get-plugin-config after start,"
    echo "a command get printing every parameter); their ratio is against 10,000 parameters."
} >"$WORK/results.md"
