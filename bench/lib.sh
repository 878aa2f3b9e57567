# Shared helpers of the bench scripts (sourced, never run). Pure functions
# on text and numbers, plus starting a server and reading its first line.
# bench/test-lib checks the pure ones.

bench_root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
bench_build="${QUORVEL_BENCH_BUILD_DIR:-$bench_root/build-bench}"

# Requests from the bench tools must never go through a proxy.
unset http_proxy https_proxy all_proxy HTTP_PROXY HTTPS_PROXY ALL_PROXY
export no_proxy='*' NO_PROXY='*'

# Path of a built program, or a message on stderr and status 1.
bench_bin() {
  local found
  found="$(find "$bench_build" -type f -name "$1" -perm -u+x 2>/dev/null | head -n 1)"
  if [ -z "$found" ]; then
    echo "bench: $1 is not built in $bench_build (bench/run-all builds everything)" >&2
    return 1
  fi
  printf '%s\n' "$found"
}

now_ns() { date +%s%N; }

# Megabits per second from bytes and nanoseconds.
mbps_ns() { awk -v b="$1" -v ns="$2" 'BEGIN { if (ns <= 0) print "nan"; else printf "%.1f\n", b * 8 / (ns / 1e9) / 1e6 }'; }

# a / b with two decimals, or "–" when either is missing or b is zero.
ratio() {
  awk -v a="$1" -v b="$2" 'BEGIN {
    if (a == "" || b == "" || a == "nan" || b == "nan" || b + 0 == 0) print "–"; else printf "%.2f\n", a / b }'
}

# Signed error of a against reference r, in percent with one decimal.
error_pct() {
  awk -v a="$1" -v r="$2" 'BEGIN {
    if (a == "" || r == "" || a == "nan" || r + 0 == 0) print "–"; else printf "%+.1f %%\n", (a - r) / r * 100 }'
}

# TCP payload ceiling of a link shaped at R Mbit/s: 1448 payload bytes in
# every full 1514-byte Ethernet frame (1500 MTU, TCP timestamps on).
# Below 10 Mbit/s with three decimals.
payload_ceiling() { awk -v r="$1" 'BEGIN { printf (r < 10 ? "%.3f\n" : "%.1f\n"), r * 1448 / 1514 }'; }

# Median, minimum and maximum of the numbers on stdin: "MED MIN MAX", with
# printf format FMT (default %.1f).
# Missing values ("nan", "") are ignored; nothing left prints "nan nan nan".
stats() {
  grep -E '^[0-9.eE+-]+$' | sort -g | awk -v f="${1:-%.1f}" '
    { v[NR] = $1 }
    END {
      if (NR == 0) { print "nan nan nan"; exit }
      med = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
      printf f " " f " " f "\n", med, v[1], v[NR]
    }'
}

# The URL in a server's first line: "Listening on http://127.0.0.1:PORT".
listening_url() { sed -n '1s/^Listening on \([a-z]*:\/\/[^ ]*\).*$/\1/p'; }

# Starts "$@" (a server) with stdout to FILE, waits up to 10 s for its
# "Listening on URL" line; sets server_pid and server_url.
start_server() {
  local out="$1"; shift
  : >"$out"
  "$@" >"$out" 2>"$out.err" &
  server_pid=$!
  server_url=""
  local i
  for i in $(seq 100); do
    server_url="$(listening_url <"$out")"
    [ -n "$server_url" ] && return 0
    kill -0 "$server_pid" 2>/dev/null || break
    sleep 0.1
  done
  echo "bench: the server did not start: $(cat "$out.err")" >&2
  return 1
}

# Runs "$@" in the background and waits for it: a signal the script traps
# is then handled at once instead of after the command. The cleanup ends
# child_pid if it is still set.
run_waited() {
  "$@" &
  child_pid=$!
  wait "$child_pid"
  local rc=$?
  child_pid=""
  return "$rc"
}

# Ends a process this script started and, first, the processes it started
# in turn (a time or curl-batches wrapper and its clients).
kill_tree() {
  local child
  for child in $(ps -o pid= --ppid "$1" 2>/dev/null); do kill_tree "$child"; done
  kill -TERM "$1" 2>/dev/null
}

# Ends the command run_waited is waiting for, if any.
stop_child() {
  [ -n "${child_pid:-}" ] || return 0
  kill_tree "$child_pid"
  wait "$child_pid" 2>/dev/null
  child_pid=""
}

# Stops the server started last and waits for it to write its log.
stop_server() {
  [ -n "${server_pid:-}" ] || return 0
  kill -TERM "$server_pid" 2>/dev/null
  wait "$server_pid" 2>/dev/null
  server_pid=""
}

# From bench_server's request log on stdin, the batches of one path in
# arrival order, one line each: "SIZE COUNT" (requests of bytes=0, the
# latency probes, are left out).
batches() {
  awk -v p="$1" '
    $2 == p && $3 > 0 {
      if ($3 == size) { n++; next }
      if (n) print size, n
      size = $3; n = 1
    }
    END { if (n) print size, n }'
}

# From a quorvel-cli --live CSV file: the highest y of one phase, "nan" when
# the phase drew no point.
live_peak() {
  awk -F, -v p="$1" 'NR > 1 && $1 == p && (!n || $3 + 0 > m) { m = $3 + 0; n = 1 }
    END { if (n) printf "%.1f\n", m; else print "nan" }' "$2"
}

# The same file: the median y of one phase's points within its first second.
live_first_second() {
  awk -F, -v p="$1" 'NR > 1 && $1 == p && $2 + 0 <= 1 { print $3 }' "$2" | stats | cut -d ' ' -f 1
}

# Total bytes of "SIZE COUNT" lines on stdin.
# Round trips from `ping -D` output in FILE whose echo request left between
# FROM and TO (seconds since the epoch): the reply's stamp less its time.
# One per line, in milliseconds, for stats.
ping_between() { # FILE FROM TO
  awk -v from="$2" -v to="$3" '
    /^\[[0-9.]+\] .* time=[0-9.]+ ms/ {
      stamp = substr($1, 2, length($1) - 2)
      ms = $0; sub(/.* time=/, "", ms); sub(/ ms.*/, "", ms)
      sent = stamp - ms / 1000
      if (from != "nan" && to != "nan" && sent >= from && sent <= to) print ms
    }' "$1"
}

batch_bytes() { awk '{ t += $1 * $2 } END { printf "%.0f\n", t }'; }

# Receiver's payload rate of an iperf3 -J report, in Mbit/s (below 10 with
# three decimals).
iperf_mbps() {
  jq -r '(.end.sum_received.bits_per_second // empty) / 1e6
    | if . < 10 then . * 1000 | round / 1000 else . * 10 | round / 10 end' "$1" 2>/dev/null
}

# A TCP port nobody listens on in the current network namespace.
free_port() {
  local port
  for _ in $(seq 50); do
    port=$((20000 + RANDOM % 40000))
    if ! ss -Htln "sport = :$port" | grep -q .; then
      echo "$port"
      return 0
    fi
  done
  return 1
}

# Figures printed as "label   value" or "label: value" lines become
# Markdown rows "| label | value |"; lines without a value become a row
# with the text in italics. Indented lines are parts of the row above.
lines_to_rows() {
  awk -v prefix="$1" '
    /^[[:space:]]*$/ { next }
    {
      line = $0; part = ""
      if (match(line, /^[[:space:]]+/)) { part = "… "; line = substr(line, RLENGTH + 1) }
      gsub(/\|/, "\\|", line)
      if (match(line, /:?[[:space:]][[:space:]]+|: /)) {
        label = substr(line, 1, RSTART - 1); value = substr(line, RSTART + RLENGTH)
        sub(/[[:space:]]+$/, "", value)
        printf "| %s%s%s | %s |\n", prefix, part, label, value
      } else {
        printf "| %s%s*%s* | |\n", prefix, part, line
      }
    }'
}

# CPU model, core count, kernel and load, for the header of a report.
machine_facts() {
  local cpu
  cpu="$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)"
  printf '%s, %s cores, Linux %s, load average %s\n' "${cpu:-unknown CPU}" "$(nproc)" "$(uname -r)" \
    "$(cut -d ' ' -f 1-3 /proc/loadavg)"
}

# From ping -D output: the median round trip in ms of the replies stamped
# between two wall-clock times (seconds), "nan" when there are none.
ping_median_between() {
  awk -v from="$2" -v to="$3" '
    match($0, /^\[[0-9.]+\]/) && match($0, /time=[0-9.]+/) {
      t = substr($1, 2, length($1) - 2) + 0
      if (t >= from && t <= to) { sub(/.*time=/, ""); print $1 + 0 }
    }' "$1" | stats %.2f | cut -d " " -f 1
}
