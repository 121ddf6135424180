#!/usr/bin/env bash
# quillan-cli upload into a database beside the same upload into a text file,
# each a process of its own against quillan-simterm, in the same run and
# interleaved (file, SQLite, PostgreSQL, file, ...), so that drift in the
# machine's load or its disk's flush time falls on all three alike:
#   1. bare ceilings: a loop of one durable write of a 42-byte record at a
#      time into each (write + fdatasync; an SQLite insert per commit, WAL and
#      synchronous=FULL; an autocommit INSERT over libpq), no terminal and no
#      quillan-cli: how close each store can come to the file on this disk;
#      then with a pause after each write, as the terminal's dialogue makes;
#   2. records per second of each (the simulators' --timings: first READ to
#      the READ after the last NEXT), and of the whole process (start-up,
#      connection and table included); ratio of each store to the file;
#   3. the same at the terminal's line rate (the simulator paced to 115200
#      baud), as on real hardware;
#   4. peak resident size (VmHWM, /usr/bin/time -f %M) of uploads of each
#      size of --mem-sizes into each, to show it does not grow with the records;
#   5. system calls per record of each (strace -f -c; an upload of the second
#      size less one of the first), where strace is installed.
# PostgreSQL is a throwaway server of its own (initdb + postgres, as nobody
# when run as root, its socket in the scratch folder, no TCP), with the
# defaults a site has (fsync and synchronous_commit on); stopped and removed
# at the end. Prints a Markdown section (stdout and --out).
#
#   bench/store.sh [--build DIR] [--out FILE] [--dir DIR] [--records N] [--runs N]
#                  [--ceiling-records N] [--paced-records N] [--baud B]
#                  [--mem-sizes "N N..."] [--pg-bin DIR] [--skip-strace]
#
# --build           build folder with quillan-cli, quillan-simterm and quillan-timings (default: build-bench)
# --records         records of 40 bytes per upload in section 2 (default 5000)
# --runs            rounds of sections 2 and 3, each into all three (default 3)
# --ceiling-records writes of each kind in section 1 (default 3000; needs cc and the
#                   sqlite3 and libpq headers, else the section is left out)
# --paced-records   records per upload in section 3 (default 500)
# --baud            the line rate of section 3 (default 115200, the program's)
# --mem-sizes       records of the uploads of section 4, ascending (default "1000 10000"); section 5
#                   takes the first two
# --pg-bin          folder with initdb and postgres (default: the newest /usr/lib/postgresql/*/bin)
# --skip-strace     leave out section 5
# --dir             disk-backed folder for the files, the SQLite files and the server (default: <build>/store-work)
# --out             report file (default: <build>/store-results.md)
set -euo pipefail
export LC_ALL=C

here=$(cd "$(dirname "$0")" && pwd)
. "$here/common.sh"
cmdline=$(quoted_command bench/store.sh "$@")
build="$here/../build-bench"
out="" dir="" pg_bin=""
records=5000 runs=3 mem_sizes="1000 10000" size=40 syscalls=1 ceiling_records=3000 paced_records=500 baud=115200
while [ $# -gt 0 ]; do
  case "$1" in
    --build) build="$2"; shift ;;
    --out) out="$2"; shift ;;
    --dir) dir="$2"; shift ;;
    --records) records="$2"; shift ;;
    --runs) runs="$2"; shift ;;
    --ceiling-records) ceiling_records="$2"; shift ;;
    --paced-records) paced_records="$2"; shift ;;
    --baud) baud="$2"; shift ;;
    --mem-sizes) mem_sizes="$2"; shift ;;
    --pg-bin) pg_bin="$2"; shift ;;
    --skip-strace) syscalls=0 ;;
    -h|--help) sed -n '2,41p' "$0"; exit 0 ;;
    *) echo "unknown option $1" >&2; exit 1 ;;
  esac
  shift
done
positive_counts "counts must be positive whole numbers" "$records" "$runs" "$ceiling_records" "$paced_records" "$baud" $mem_sizes
read -r mem_small mem_big _ <<<"$mem_sizes"
prev_size=$(tr ' ' '\n' <<<"$mem_sizes" | sed '/^$/d' | tail -n2 | head -n1)
[ -n "$mem_big" ] && [ "$mem_big" -gt "$mem_small" ] || { echo "--mem-sizes needs two sizes or more, ascending" >&2; exit 1; }
build=$(cd "$build" && pwd)
simterm="$build/quillan-simterm" timings_tool="$build/quillan-timings"
built "$build/quillan-cli" "$simterm" "$timings_tool"
[ -n "$pg_bin" ] || pg_bin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n1)
[ -x "$pg_bin/initdb" ] && [ -x "$pg_bin/postgres" ] || { echo "no initdb and postgres in '${pg_bin}' (apt-get install postgresql-15)" >&2; exit 1; }
command -v psql >/dev/null && command -v sqlite3 >/dev/null || { echo "psql and sqlite3 are needed to check the rows (apt-get install postgresql-client sqlite3)" >&2; exit 1; }
gnu_time=/usr/bin/time
"$gnu_time" -f %M true >/dev/null 2>&1 || { echo "$gnu_time (GNU time) is needed for the peak resident size (apt-get install time)" >&2; exit 1; }
[ -n "$out" ] || out="$build/store-results.md"
work_in "${dir:-$build/store-work}"
bound_s=3600
# A copy: others may rebuild the build folder while this runs.
cli="$work/quillan-cli"
cp "$build/quillan-cli" "$cli"

# ---------------------------------------------------------------------------
# The throwaway server. Run as nobody when root (postgres refuses root).
pg="$work/pg" pg_pid=""
server_user=()
[ "$(id -u)" != 0 ] || server_user=(setpriv --reuid=nobody --regid="$(id -g nobody)" --clear-groups --)
# Not through a function: $! must be the server itself (setpriv executes it) for the stop and strace.
as_server() { "${server_user[@]}" "$@"; }
pg_start() {
  mkdir "$pg"
  [ "$(id -u)" != 0 ] || { chown nobody "$pg"; chmod 711 "$work"; }
  # --no-sync: only initdb's own files; the server itself flushes as a site's does.
  as_server "$pg_bin/initdb" -D "$pg/data" -U postgres -A trust --no-sync -E UTF8 --locale=C >"$pg/initdb.log" 2>&1 \
    || { cat "$pg/initdb.log" >&2; fail "initdb failed"; }
  "${server_user[@]}" "$pg_bin/postgres" -D "$pg/data" -k "$pg" -c listen_addresses= >"$pg/log" 2>&1 &
  pg_pid=$!
  local _
  for _ in $(seq 300); do
    psql -h "$pg" -U postgres -d postgres -Atqc 'select 1' >/dev/null 2>&1 && return 0
    kill -0 "$pg_pid" 2>/dev/null || break
    sleep 0.1
  done
  cat "$pg/log" >&2
  fail "the PostgreSQL server did not start within 30 s"
}
# A fast shutdown (SIGINT), waited for at most 30 s, then SIGKILL.
pg_stop() {
  [ -n "$pg_pid" ] || return 0
  kill -INT "$pg_pid" 2>/dev/null || true
  local _
  for _ in $(seq 300); do kill -0 "$pg_pid" 2>/dev/null || break; sleep 0.1; done
  kill -KILL "$pg_pid" 2>/dev/null || true
  wait "$pg_pid" 2>/dev/null || true
  pg_pid=""
}
trap 'pg_stop; stop_background; rm -rf "$work"' EXIT
sql() { PGOPTIONS="-c client_min_messages=warning" psql -h "$pg" -U postgres -d postgres -v ON_ERROR_STOP=1 -Atqc "$1"; }
pg_uri="postgresql://postgres@/postgres?host=$pg"

# ---------------------------------------------------------------------------
# An upload of each kind: pc_KIND DIRECTION DEVICE DEST, where DEST is a path
# (file, SQLite file) or a path whose last component names the table.
pc_file() { run_pc "$cli" "$1" -p "$2" "$3"; }
pc_sqlite() { rm -f "$3-wal" "$3-shm"; run_pc "$cli" "$1" -p "$2" "sqlite:$3"; }
pc_pg() { sql "drop table if exists $(basename "$3")"; run_pc "$cli" "$1" -p "$2" --table "$(basename "$3")" "$pg_uri"; }
# check_kind KIND DEST TIMINGS N: the rows hold the records the terminal sent, in order.
stored_records() {
  case $1 in
    file) cat "$2" ;;
    sqlite) sqlite3 "$2" "select cast(record as text) from records order by number" | sed 's/$/\r/' ;;
    pg) sql "select convert_from(record, 'UTF8') from $(basename "$2") order by number" | sed 's/$/\r/' ;;
  esac
}
check_kind() {
  local kind=$1 dest=$2 timings=$3 n=$4 got
  got=$(stored_records "$kind" "$dest" | tr -cd '\n' | wc -c)
  [ "$got" = "$n" ] || fail "${title[$kind]} holds $got records, not $n"
  if [ -n "$timings" ]; then
    cmp -s <(stored_records "$kind" "$dest") <(replied_records "$timings") || fail "${title[$kind]} differs from the records the terminal sent"
  fi
}
dest_of() {
  case $1 in
    file) echo "$work/$2.txt" ;;
    sqlite) echo "$work/$2.db" ;;
    pg) echo "$work/${2//-/_}" ;;
  esac
}
forget_dest() {
  case $1 in
    file) rm -f "$2" ;;
    sqlite) rm -f "$2" "$2-wal" "$2-shm" ;;
    pg) sql "drop table if exists $(basename "$2")" ;;
  esac
}

declare -A title=([file]="text file" [sqlite]="SQLite (sqlite:PATH)" [pg]="PostgreSQL (Unix socket)")
kinds=(file sqlite pg)
start=$(date +%s)
pg_start

report_begin "$out"
echo "## quillan-cli upload into a text file, SQLite and PostgreSQL: run of $(date -u '+%Y-%m-%d %H:%M UTC')"
echo
report_machine "$cmdline" || true
echo "- Program measured: a copy of \`$build/quillan-cli\` taken at the start, run as \`quillan-cli upload -p DEVICE DEST\`,"
echo "  DEST \`FILE\`, \`sqlite:FILE\` or \`$pg_uri\` with \`--table\` (a fresh one per upload), a fresh process per upload"
echo "- Files, SQLite files and the server's data: $dir on $(df -T "$work" | awk 'NR==2 {print $1" "$2}')"
echo "- SQLite $(sqlite3 --version | cut -d' ' -f1) (the program sets journal_mode=WAL, synchronous=FULL); PostgreSQL $(sql 'show server_version'): fsync $(sql 'show fsync'),"
echo "  synchronous_commit $(sql 'show synchronous_commit'), wal_sync_method $(sql 'show wal_sync_method'), shared_buffers $(sql 'show shared_buffers'); a server of its own on a Unix socket, no other client"
echo "- Memory: $(free -m | awk '/^Mem:/ {print $2" MiB"}'); load average at the start: $(cut -d' ' -f1-3 /proc/loadavg)"
echo

# 1. Bare ceilings --------------------------------------------------------------
# One durable write of a 42-byte record per iteration, as bare as each store
# allows, each write timed: "ceilings DIR PGURI COUNT BLOCK PAUSE" makes
# COUNT writes of each kind, BLOCK of one kind then BLOCK of the next, so that
# the disk's drift falls on all alike, sleeping PAUSE µs after each (as the
# PC waits for the terminal between records), and writes the microseconds of
# each write into DIR/c-KIND.txt. Kinds: file (write + fdatasync), sqlite (an insert per
# commit, WAL and synchronous=FULL, into quillan's table with one index and
# its settings), sqlite2 (the same with the second index tables made before
# have and SQLite's default checkpoints, as quillan wrote until 2026-12),
# pgtext (an INSERT statement each, autocommit), pgbinary (prepared once, the
# record a binary bytea, as quillan-cli sends it).
ceilings_source() {
  cat <<'C'
#include <fcntl.h>
#include <libpq-fe.h>
#include <sqlite3.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

enum { File, Sqlite, Sqlite2, PgText, PgBinary, Kinds };
static const char *Names[Kinds] = {"file", "sqlite", "sqlite2", "pgtext", "pgbinary"};
static const char *Columns = "(id %s, committed %s NOT NULL, station %s NOT NULL, port %s NOT NULL, device %s NOT NULL, "
                             "transfer %s NOT NULL, number integer NOT NULL, record %s NOT NULL, unconfirmed %s, maybe_repeat %s)";
static const char *Insert = "INSERT INTO %s (committed, station, port, device, transfer, number, record, unconfirmed, maybe_repeat) ";
static const char *Transfer = "0b1c5e4e-4a4f-4c55-9d62-8f2e6f6f0a11";
static int fd;
static sqlite3 *db[2];
static sqlite3_stmt *st[2];
static PGconn *pg;

static double now_us(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1e6 + t.tv_nsec / 1e3;
}
static void die(const char *what, const char *why)
{
    fprintf(stderr, "ceilings: %s: %s\n", what, why);
    exit(1);
}
static void lite(sqlite3 *d, const char *sql)
{
    char *err = NULL;
    if (sqlite3_exec(d, sql, NULL, NULL, &err) != SQLITE_OK)
        die(sql, err);
}
static void pgexec(const char *sql)
{
    PGresult *r = PQexec(pg, sql);
    if (PQresultStatus(r) != PGRES_COMMAND_OK)
        die(sql, PQerrorMessage(pg));
    PQclear(r);
}
static void openSqlite(int k, const char *dir)
{
    char path[4096], cols[512], sql[1024];
    snprintf(path, sizeof path, "%s/ceiling%d.db", dir, k + 1);
    if (sqlite3_open(path, &db[k]) != SQLITE_OK)
        die(path, sqlite3_errmsg(db[k]));
    lite(db[k], "PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL");
    if (k == 0)
        lite(db[k], "PRAGMA cache_size=-256; PRAGMA wal_autocheckpoint=200");
    snprintf(cols, sizeof cols, Columns, "INTEGER PRIMARY KEY", "TEXT", "TEXT", "TEXT", "TEXT", "TEXT", "BLOB",
             "INTEGER NOT NULL DEFAULT 0", "INTEGER NOT NULL DEFAULT 0");
    snprintf(sql, sizeof sql, "CREATE TABLE t %s; CREATE INDEX t_port ON t (station, port, id)%s", cols,
             k ? "; CREATE INDEX t_transfer ON t (transfer, number)" : "");
    lite(db[k], sql);
    snprintf(sql, sizeof sql, Insert, "t");
    snprintf(sql + strlen(sql), sizeof sql - strlen(sql),
             "VALUES (strftime('%%Y-%%m-%%dT%%H:%%M:%%fZ', 'now'), 'pc7', 'COM1', '/dev/ttyS0', '%s', ?, ?, 0, 0)", Transfer);
    if (sqlite3_prepare_v2(db[k], sql, -1, &st[k], NULL) != SQLITE_OK)
        die(sql, sqlite3_errmsg(db[k]));
}
static void one(int kind, int i)
{
    char rec[48], number[16], hex[81], sql[1024];
    snprintf(rec, sizeof rec, "%010d;4006381333931;12;ABCDEFGHIJKL\r\n", i);
    snprintf(number, sizeof number, "%d", i);
    PGresult *r = NULL;
    switch (kind) {
    case File:
        if (write(fd, rec, 42) != 42 || fdatasync(fd) != 0)
            die("file", "cannot write");
        return;
    case Sqlite:
    case Sqlite2:
        sqlite3_bind_int(st[kind - Sqlite], 1, i);
        sqlite3_bind_blob(st[kind - Sqlite], 2, rec, 40, SQLITE_STATIC);
        if (sqlite3_step(st[kind - Sqlite]) != SQLITE_DONE)
            die("insert", sqlite3_errmsg(db[kind - Sqlite]));
        sqlite3_reset(st[kind - Sqlite]);
        return;
    case PgText:
        for (int k = 0; k < 40; ++k)
            sprintf(hex + 2 * k, "%02x", (unsigned char)rec[k]);
        snprintf(sql, sizeof sql, Insert, "ceiling_text");
        snprintf(sql + strlen(sql), sizeof sql - strlen(sql),
                 "VALUES (now(), 'pc7', 'COM1', '/dev/ttyS0', '%s', %s, '\\x%s', false, false)", Transfer, number, hex);
        r = PQexec(pg, sql);
        break;
    case PgBinary: {
        const char *v[6] = {"pc7", "COM1", "/dev/ttyS0", Transfer, number, rec};
        const int len[6] = {0, 0, 0, 0, 0, 40}, fmt[6] = {0, 0, 0, 0, 0, 1};
        r = PQexecPrepared(pg, "ins", 6, v, len, fmt, 0);
        break;
    }
    }
    if (PQresultStatus(r) != PGRES_COMMAND_OK)
        die("insert", PQerrorMessage(pg));
    PQclear(r);
}

int main(int argc, char **argv)
{
    if (argc != 6)
        die("usage", "ceilings DIR PGURI COUNT BLOCK PAUSE");
    const char *dir = argv[1];
    const int count = atoi(argv[3]), block = atoi(argv[4]), pause = atoi(argv[5]);
    const struct timespec gap = {0, pause * 1000L};
    char path[4096], cols[512], sql[2048];
    double *t[Kinds];
    snprintf(path, sizeof path, "%s/ceiling.txt", dir);
    if ((fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644)) < 0)
        die(path, "cannot open");
    openSqlite(0, dir);
    openSqlite(1, dir);
    pg = PQconnectdb(argv[2]);
    if (PQstatus(pg) != CONNECTION_OK)
        die("connect", PQerrorMessage(pg));
    snprintf(cols, sizeof cols, Columns, "bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY", "timestamptz", "text", "text",
             "text", "uuid", "bytea", "boolean NOT NULL DEFAULT false", "boolean NOT NULL DEFAULT false");
    snprintf(sql, sizeof sql, "CREATE TABLE ceiling_text %s; CREATE INDEX ON ceiling_text (station, port, id); "
             "CREATE TABLE ceiling_binary %s; CREATE INDEX ON ceiling_binary (station, port, id)", cols, cols);
    pgexec(sql);
    snprintf(sql, sizeof sql, Insert, "ceiling_binary");
    strcat(sql, "VALUES (now(), $1, $2, $3, $4, $5, $6, false, false)");
    PGresult *r = PQprepare(pg, "ins", sql, 0, NULL);
    if (PQresultStatus(r) != PGRES_COMMAND_OK)
        die(sql, PQerrorMessage(pg));
    PQclear(r);
    for (int k = 0; k < Kinds; ++k)
        if (!(t[k] = calloc(count, sizeof(double))))
            die("memory", "none left");
    for (int done = 0; done < count; done += block) {
        // Each block in another order, so that no kind always follows the same one.
        for (int j = 0; j < Kinds; ++j) {
            const int k = (j + done / block) % Kinds;
            for (int i = done; i < count && i < done + block; ++i) {
                const double a = now_us();
                one(k, i + 1);
                t[k][i] = now_us() - a;
                if (pause > 0)
                    nanosleep(&gap, NULL);
            }
        }
    }
    for (int k = 0; k < Kinds; ++k) {
        snprintf(path, sizeof path, "%s/c-%s.txt", dir, Names[k]);
        FILE *f = fopen(path, "w");
        if (!f)
            die(path, "cannot write");
        for (int i = 0; i < count; ++i)
            fprintf(f, "%.1f\n", t[k][i]);
        if (fclose(f) != 0)
            die(path, "cannot write");
    }
    return 0;
}
C
}
# ceilings_stats FILE: writes/s (writes over the sum of their times), median and p90 µs.
ceilings_stats() {
  sort -g "$1" | awk '{ v[NR] = $1; s += $1 } END {
    printf "%.0f %.0f %.0f\n", NR / (s / 1e6), v[int((NR + 1) / 2)], v[int((NR * 9 + 9) / 10)] }'
}
declare -A ctitle=([file]="text file: write + fdatasync" [sqlite]="SQLite: an insert per commit (quillan's table and settings)"
  [sqlite2]="SQLite: two indexes, default checkpoints (as before)" [pgtext]="PostgreSQL: an INSERT statement, autocommit"
  [pgbinary]="PostgreSQL: prepared INSERT, binary bytea (as quillan-cli)")
ckinds=(file sqlite sqlite2 pgtext pgbinary)
block=100 pause_us=150
echo "### 1. Bare ceilings: $ceiling_records durable writes of a 42-byte record of each kind, $block of one kind then $block of the next (in turn, each block in another order)"
load
echo
if command -v cc >/dev/null && pkg-config --exists sqlite3 libpq 2>/dev/null \
   && ceilings_source >"$work/ceilings.c" \
   && cc -O2 -o "$work/ceilings" "$work/ceilings.c" $(pkg-config --cflags --libs sqlite3 libpq) 2>>"$log"; then
  echo "No terminal and no quillan-cli: a C loop (in this script) writes a record and waits for it to be durable,"
  echo "into the same disk and server as below. This is as fast as each store can take records one commit at a"
  echo "time here; quillan-cli adds the terminal's dialogue around each. Then the same with a pause of $pause_us µs"
  echo "after each write, about what the dialogue takes between two records: a process that slept (the server's"
  echo "backend, or one waiting for its disk) may take longer to be woken than one kept busy."
  for pause in 0 "$pause_us"; do
    echo
    [ "$pause" = 0 ] && echo "Writes one after another:" || echo "A pause of $pause µs after each write (not counted):"
    echo
    mkdir "$work/ceilings-$pause"
    stall0=$(cpu_stall_us) t0=$(date +%s%N)
    "$work/ceilings" "$work/ceilings-$pause" "$pg_uri" "$ceiling_records" "$block" "$pause" 2>>"$log" || fail "the ceiling loops failed"
    p=$(pressure_since "$stall0" "$t0")
    sql "drop table ceiling_text; drop table ceiling_binary"
    echo "| write | records/s | against the file | median µs | p90 µs | the file's median / its median |"
    echo "|---|---|---|---|---|---|"
    read -r file_rate file_median _ < <(ceilings_stats "$work/ceilings-$pause/c-file.txt")
    for k in "${ckinds[@]}"; do
      read -r r med p90 < <(ceilings_stats "$work/ceilings-$pause/c-$k.txt")
      echo "| ${ctitle[$k]} | $r | **$(ratio "$r" "$file_rate")** | $med | $p90 | $(ratio "$file_median" "$med") |"
    done
    echo
    echo "CPU pressure during these loops: $p %."
    rm -rf "$work/ceilings-$pause"
  done
else
  echo "Left out: it needs cc and the headers of sqlite3 and libpq (apt-get install gcc libsqlite3-dev libpq-dev)."
fi

# 2. and 3. Rate ----------------------------------------------------------------
# rate_section TAG N [simulator options]: $runs rounds of an upload of N
# records into each destination in turn, each checked; the table of records/s
# and of each store against the file.
declare -A wall
rate_section() {
  local tag=$1 n=$2 round k d t t0 t1 per keys r
  shift 2
  for round in $(seq "$runs"); do
    for k in "${kinds[@]}"; do
      d=$(dest_of "$k" "$tag-$k-$round") t="$work/t-$tag-$k-$round.txt"
      t0=$(date +%s%N)
      measure "$k" upload "$d" "$t" --records-count "$n" --record-size "$size" "$@"
      t1=$(date +%s%N)
      wall[$tag-$k-$round]=$(awk -v n="$n" -v a="$t0" -v b="$t1" 'BEGIN { printf "%.0f", n / ((b - a) / 1e9) }')
      check_kind "$k" "$d" "$t" "$n"
      forget_dest "$k" "$d"
    done
  done
  for k in "${kinds[@]}"; do
    analyse "$tag-$k" upload "$work"/t-"$tag"-"$k"-*.txt
    for round in $(seq "$runs"); do analyse "$tag-$k-$round" upload "$work/t-$tag-$k-$round.txt"; done
  done
  echo "Records/s on the simulator's clock (first READ to the READ after the last NEXT); in brackets the whole"
  echo "process's (start to exit: start-up, connection and the table's creation included). Turnarounds: record's CR"
  echo "written → first byte of REMOVE (the record's durable write is in it), nearest-rank median and p90."
  echo
  echo "| destination | round 1…$runs records/s (whole process) | pooled records/s | against the file | record → REMOVE median µs | p90 (p99) | CPU pressure |"
  echo "|---|---|---|---|---|---|---|"
  for k in "${kinds[@]}"; do
    per="" keys=()
    for round in $(seq "$runs"); do
      per+="$(printf '%.0f (%s)' "${fig[$tag-$k-$round.rate]}" "${wall[$tag-$k-$round]}"), "
      keys+=("$work/t-$tag-$k-$round.txt")
    done
    printf '| %s | %s | %.0f | **%s** | %.0f | %.0f (%.0f) | %s |\n' "${title[$k]}" "${per%, }" "${fig[$tag-$k.rate]}" \
      "$(ratio "${fig[$tag-$k.rate]}" "${fig[$tag-file.rate]}")" "${fig[$tag-$k.record_remove_median]}" \
      "${fig[$tag-$k.record_remove_p90]}" "${fig[$tag-$k.record_remove_p99]}" "$(pressure_of "${keys[@]}")"
  done
  echo
  echo "Per round, store / file: $(for round in $(seq "$runs"); do
    printf 'round %s SQLite %s, PostgreSQL %s; ' "$round" "$(ratio "${fig[$tag-sqlite-$round.rate]}" "${fig[$tag-file-$round.rate]}")" \
      "$(ratio "${fig[$tag-pg-$round.rate]}" "${fig[$tag-file-$round.rate]}")"
  done | sed 's/; $//')."
  echo
  for k in sqlite pg; do
    r=$(ratio "${fig[$tag-$k.rate]}" "${fig[$tag-file.rate]}")
    echo "Target: ${title[$k]} at least 90 % of the file's rate (pooled): $r, **$(awk -v r="$r" 'BEGIN { print (r != "—" && r >= 0.90) ? "met" : "missed" }')**.  "
  done
}
echo
echo "### 2. Records per second: $records records of $size bytes, no pacing, $runs rounds (file, SQLite, PostgreSQL in turn)"
load
echo
rate_section up "$records"
echo
echo "### 3. Records per second at the terminal's line rate: $paced_records records of $size bytes, the simulator paced to $baud baud, $runs rounds"
load
echo
rate_section paced "$paced_records" --baud "$baud"

# 4. Memory -------------------------------------------------------------------
echo
echo "### 4. Peak resident size (VmHWM, \`/usr/bin/time -f %M\`; a fresh process each): uploads of ${mem_sizes// /, } records"
load
echo
echo "Simulator with \`--lean\` and no \`--timings\`; each upload checked (the rows or lines counted). In turn:"
echo "each destination with ${mem_sizes%% *} records, then each with the next size."
echo
echo "| destination | records | peak RSS KiB | MiB | seconds (whole process) | records/s | CPU pressure |"
echo "|---|---|---|---|---|---|---|"
declare -A peak
for n in $mem_sizes; do
  for k in "${kinds[@]}"; do
    d=$(dest_of "$k" "mem-$k-$n")
    forget_dest "$k" "$d"
    sim_start mem --lean --records-count "$n" --record-size "$size"
    stall0=$(cpu_stall_us) t0=$(date +%s%N)
    case $k in
      file) run_pc "$gnu_time" -f %M -o "$work/kib" "$cli" upload -p "$work/mem" "$d" ;;
      sqlite) run_pc "$gnu_time" -f %M -o "$work/kib" "$cli" upload -p "$work/mem" "sqlite:$d" ;;
      pg) run_pc "$gnu_time" -f %M -o "$work/kib" "$cli" upload -p "$work/mem" --table "$(basename "$d")" "$pg_uri" ;;
    esac || fail "${title[$k]}: upload of $n records failed"
    t1=$(date +%s%N)
    p=$(pressure_since "$stall0" "$t0")
    sim_wait mem
    check_kind "$k" "$d" "" "$n"
    forget_dest "$k" "$d"
    peak[$k-$n]=$(tail -n1 "$work/kib")
    awk -v w="${title[$k]}" -v n="$n" -v k="${peak[$k-$n]}" -v t0="$t0" -v t1="$t1" -v p="$p" \
      'BEGIN { t = (t1 - t0) / 1e9; printf "| %s | %d | %d | %.2f | %.2f | %.0f | %s %% |\n", w, n, k, k / 1024, t, n / t, p }'
  done
done
echo
for k in "${kinds[@]}"; do
  steps="" prev=""
  for n in $mem_sizes; do
    [ -z "$prev" ] || steps+="$(printf '%d → %d records %+d KiB, ' "$prev" "$n" $(( ${peak[$k-$n]} - ${peak[$k-$prev]} )))"
    prev=$n
  done
  last=${mem_sizes##* }
  g=$(( ${peak[$k-$last]} - ${peak[$k-$mem_small]} ))
  h=$(( ${peak[$k-$last]} - ${peak[$k-$prev_size]} ))
  awk -v w="${title[$k]}" -v s="${steps%, }" -v g="$g" -v h="$h" -v a="$mem_small" -v b="$last" -v c="$prev_size" 'BEGIN {
    printf "%s: %s. Within 1 MiB from %d to %d records: **%s**; from %d to %d: **%s**.  \n", w, s, a, b,
      (g <= 1024 && g >= -1024) ? "met" : "missed", c, b, (h <= 1024 && h >= -1024) ? "met" : "missed" }'
done
echo
echo "SQLite's own page cache (cache_size, which the program holds to 256 KiB) fills as the file grows and then"
echo "stays: a growth up to that much is the cache, not the records; the last step shows whether it stays."

# 5. System calls -------------------------------------------------------------
# per_record BIG SMALL: calls per record of the strace -c reports BIG and SMALL (of $mem_big and $mem_small records).
per_record() {
  awk -v n1="$mem_big" -v n2="$mem_small" '
    FNR == 1 { file++ }
    $NF != "total" && $4 ~ /^[0-9]+$/ { c[file, $NF] = $4; names[$NF] = 1 }
    END { total = 0; list = ""
          for (k in names) { d = (c[1, k] - c[2, k]) / (n1 - n2); total += d
                             if (d >= 0.2) list = list sprintf("%s %.1f, ", k, d) }
          sub(/, $/, "", list); printf "%.1f (%s)", total, list }' "$1" "$2"
}
# flush_us REPORT: microseconds per fdatasync call (wall clock, strace -w) in a strace -c report.
flush_us() { awk '$NF == "fdatasync" { print $3; found = 1 } END { if (!found) print "—" }' "$1"; }
if [ $syscalls = 1 ] && command -v strace >/dev/null; then
  echo
  echo "### 5. System calls per record (strace -f -w -c, all threads; $mem_big records less $mem_small, divided by the difference)"
  load
  echo
  echo "For PostgreSQL the server's side too: strace attached to the postmaster before the upload, following the"
  echo "backend it starts for the connection (the WAL writer and checkpointer, older, are not followed)."
  echo "fdatasync µs: wall-clock time per call in the larger upload, under strace."
  echo
  echo "| destination | calls per record (those at 0.2 or more) | fdatasync µs per call |"
  echo "|---|---|---|"
  for k in "${kinds[@]}"; do
    for n in "$mem_big" "$mem_small"; do
      d=$(dest_of "$k" "sc-$k-$n")
      forget_dest "$k" "$d"
      sim_start sc --lean --records-count "$n" --record-size "$size"
      spid=""
      if [ "$k" = pg ]; then
        strace -f -w -qq -c -o "$work/strace-server-$n" -p "$pg_pid" &
        spid=$!
        bg+=("$spid")
        sleep 1
      fi
      case $k in
        file) run_pc strace -f -w -qq -c -o "$work/strace-$k-$n" "$cli" upload -p "$work/sc" "$d" ;;
        sqlite) run_pc strace -f -w -qq -c -o "$work/strace-$k-$n" "$cli" upload -p "$work/sc" "sqlite:$d" ;;
        pg) run_pc strace -f -w -qq -c -o "$work/strace-$k-$n" "$cli" upload -p "$work/sc" --table "$(basename "$d")" "$pg_uri" ;;
      esac || fail "${title[$k]}: upload of $n records under strace failed"
      if [ -n "$spid" ]; then
        # strace detaches and writes its counts (SIGINT is ignored in a background job).
        kill -TERM "$spid"
        wait "$spid" || true
        forget "$spid"
      fi
      sim_wait sc
      check_kind "$k" "$d" "" "$n"
      forget_dest "$k" "$d"
    done
    f=$(flush_us "$work/strace-$k-$mem_big")
    [ "$k" != pg ] || f="— (the server's below)"
    echo "| ${title[$k]}: quillan-cli | $(per_record "$work/strace-$k-$mem_big" "$work/strace-$k-$mem_small") | $f |"
  done
  echo "| PostgreSQL server: the connection's backend | $(per_record "$work/strace-server-$mem_big" "$work/strace-server-$mem_small") | $(flush_us "$work/strace-server-$mem_big") |"
fi
echo
echo "_Whole run: $(( $(date +%s) - start )) s. Load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)._"
report_end
echo "report: $out" >&2
