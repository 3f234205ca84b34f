#!/usr/bin/env bash
# Measures drovik on loopback and prints the figures as Markdown tables:
# end-to-end downloads, server ingest against a bare receive loop, client
# memory at the largest size, idle cost, what the drovik-trace relay costs
# (bench/relay.sh), what drovik-fetch achieves (bench/fetch.sh) and how it goes
# through outages (bench/outages.sh), both clients across paths drovik-trace plays
# (bench/paths.sh, with drovik-compare), what drovik-fetch keeps when stopped, its outputs and
# its lock (bench/reliability.sh), how it uses several servers and shares one (bench/servers.sh),
# drovik-compare's own targets (bench/compare.sh), and how drovik-fetch fits other paths: short
# and long delays, a narrow link and its queue, extra loss (bench/pathfit.sh).
# Builds the release preset in build/bench-release; raw figures go to
# bench/out/, the plots to docs/. Every process it starts is killed by pid on exit.
# Usage: scripts/bench.sh                    (about 25 minutes)
#        BENCH_ONLY=relay scripts/bench.sh   (only the relay's block: about five minutes once built;
#                                             RELAY_BASELINE=PROGRAM adds another drovik-trace build)
#        BENCH_ONLY=paths scripts/bench.sh   (only the shaped paths of docs/paths.md: about ten minutes)
#        BENCH_ONLY=fetch scripts/bench.sh   (only drovik-fetch's block: about 15 minutes)
#        BENCH_ONLY=outages scripts/bench.sh (only the outages block: about 5 minutes)
#        BENCH_ONLY=reliability scripts/bench.sh (only drovik-fetch's reliability block: about 3 minutes)
#        BENCH_ONLY=servers scripts/bench.sh (only the servers block: about 8 minutes)
#        BENCH_ONLY=compare scripts/bench.sh (only drovik-compare's block: about 10 minutes)
#        BENCH_ONLY=pathfit scripts/bench.sh (only drovik-fetch on other paths: about 15 minutes;
#                                             PATHFIT_RUNS=1 PATHFIT_CASES="rate600 shared" for a part)
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

FAST_SIZES=(1000000 5000000)
FAST_RUNS=5
SLOW_SIZE=20000
SLOW_RUNS=3
INGEST_COUNT=200000
INGEST_ROUNDS=3
IDLE_SECONDS=5
LARGEST_SIZE=2147483647
RELAY_BYTES=1000000
RELAY_RUNS=5
PING_COUNT=10000
PING_ROUNDS=3

scripts/deps.sh gnuplot-nox
bin=build/bench-release
cmake --preset release -B "$bin" -DBUILD_TESTING=OFF >/dev/null
cmake --build "$bin" -j2 --target drovik-server drovik-client-fast drovik-client-slow drovik-trace \
  drovik-fetch drovik-compare verify-download bench-tools >/dev/null
out=bench/out
case ${BENCH_ONLY:-} in
  relay) rm -f "$out"/relay*.txt ;;
  fetch) rm -f "$out"/fetch*.txt ;;
  outages) ;;
  paths) rm -rf "$out"/paths* ;;
  reliability) rm -f "$out"/reliability*.txt ;;
  servers) rm -f "$out"/servers*.txt ;;
  compare) rm -rf "$out"/compare* ;;
  pathfit) rm -f "$out"/pathfit* ;;
  *) rm -rf "$out" ;;
esac
mkdir -p "$out" docs

trap stop_started EXIT

# Starts drovik-trace (or the program $3) on a free port in front of the server on port $2,
# tracing to $1; sets relay_pid and relay_port once it is bound.
start_relay() {
  relay_port=$(free_udp_port)
  "${3:-$bin/drovik-trace}" -o "$1" "$relay_port" 127.0.0.1 "$2" 2>/dev/null &
  relay_pid=$!
  started+=("$relay_pid")
  wait_udp_bound "$relay_port"
}

cpu_seconds() { awk '{ printf "%.6f\n", $1 / 1e9 }' "/proc/$1/schedstat"; }

# Waits (at most 5 s) until requests sit unread on the socket bound to port $1.
wait_udp_queued() {
  local hex
  printf -v hex ':%04X' "$1"
  for _ in $(seq 1 500); do
    awk -v h="$hex" 'substr($2, length($2) - 4) == h { split($5, q, ":"); if (q[2] != "00000000") found = 1 }
                     END { exit !found }' /proc/net/udp && return 0
    sleep 0.01
  done
  echo "no request reached UDP port $1" >&2
  return 1
}

# Reads numbers on stdin; prints "median (min–max)" with the printf format $1.
summary() {
  sort -g | awk -v f="$1" '{ v[NR] = $1 }
    END { m = NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
          printf f " (" f "–" f ")", m, v[1], v[NR] }'
}

# One download against a fresh server: appends
# "variant bytes wall_s user_s sys_s peak_rss_kb exit server_cpu_s" to downloads.txt.
download() {
  local variant=$1 bytes=$2 lines=${3:-} file="$out/download.bin" figures
  start_daemon "$bin/drovik-server" PORT
  if [[ -n $lines ]]; then
    figures=$("$bin/bench/bench-run" --timeout 300 --lines "$lines" -- \
      stdbuf -oL "$bin/drovik-client-$variant" 127.0.0.1 "$daemon_port" "$file" "$bytes")
  else
    figures=$("$bin/bench/bench-run" --timeout 300 -- \
      "$bin/drovik-client-$variant" 127.0.0.1 "$daemon_port" "$file" "$bytes")
    echo "$variant $bytes $figures $(cpu_seconds "$daemon_pid")" >>"$out/downloads.txt"
  fi
  stop_daemon "$daemon_pid"
  "$bin/verify-download" "$file" "$bytes" >/dev/null
  rm -f "$file"
}

# One burst against a fresh receiver: appends "receiver kind sent absorbed seconds cpu_s" to ingest.txt.
ingest() {
  local receiver=$1 kind=$2
  if [[ $receiver == bare ]]; then start_daemon "$bin/bench/bench-bare-receive" PORT; else start_daemon "$bin/drovik-server" PORT; fi
  echo "$receiver $kind $("$bin/bench/bench-load" "$daemon_port" "$daemon_pid" "$INGEST_COUNT" "$kind")" \
    >>"$out/ingest.txt"
  stop_daemon "$daemon_pid"
}

# One table row from file $1 of bench/out: the lines of path $2, labelled $3, then one cell per
# "EXPRESSION@FORM": the summary of that column in the printf FORM, or its count, sum, or none.
table_row() {
  local file=$1 path=$2 cells=("$3") cell values
  shift 3
  for cell in "$@"; do
    values=$(awk -v p="$path" "\$1 == p { print ${cell%@*} }" "$out/$file")
    case ${cell#*@} in
      count) cells+=("$(wc -l <<<"$values")") ;;
      sum) cells+=("$(awk '{ s += $1 } END { print s }' <<<"$values")") ;;
      none) cells+=("–") ;;
      *) cells+=("$(summary "${cell#*@}" <<<"$values")") ;;
    esac
  done
  printf '| %s ' "${cells[@]}"
  echo '|'
}

# One row of a targets table: the target, what was measured, and whether the awk condition $3 holds.
target_row() {
  printf '| %s | %s | %s |\n' "$1" "$2" "$(awk "BEGIN { print ($3) ? \"yes\" : \"NO\" }")"
}

source bench/relay.sh
source bench/fetch.sh
source bench/outages.sh
source bench/paths.sh
source bench/reliability.sh
source bench/servers.sh
source bench/compare.sh
source bench/pathfit.sh
case ${BENCH_ONLY:-} in
  relay) bench_relay | tee "$out/relay-table.md"; exit 0 ;;
  fetch) bench_fetch | tee "$out/fetch-table.md"; exit 0 ;;
  outages) bench_outages | tee "$out/outages-table.md"; exit 0 ;;
  paths) bench_paths | tee "$out/paths-table.md"; exit 0 ;;
  reliability) bench_reliability | tee "$out/reliability-table.md"; exit 0 ;;
  servers) bench_servers | tee "$out/servers-table.md"; exit 0 ;;
  compare) bench_compare | tee "$out/compare-table.md"; exit 0 ;;
  pathfit) bench_pathfit | tee "$out/pathfit-table.md"; exit 0 ;;
esac

echo "Measuring downloads..." >&2
for bytes in "${FAST_SIZES[@]}"; do
  for _ in $(seq "$FAST_RUNS"); do download fast "$bytes"; done
done
for _ in $(seq "$SLOW_RUNS"); do download slow "$SLOW_SIZE"; done

echo "Measuring server ingest..." >&2
for _ in $(seq "$INGEST_ROUNDS"); do
  for kind in invalid valid; do
    ingest bare "$kind"
    ingest server "$kind"
  done
done

echo "Measuring memory at the largest size and idle cost..." >&2
start_daemon "$bin/bench/bench-silent-peer" PORT
peer=$daemon_pid
"$bin/drovik-client-fast" 127.0.0.1 "$daemon_port" "$out/largest.bin" "$LARGEST_SIZE" >/dev/null &
client=$!
started+=("$client")
wait_udp_queued "$daemon_port"
largest_rss_kb=$(awk '/^VmRSS/ { print $2 }' "/proc/$client/status")
stop_daemon "$client"
stop_daemon "$peer"
rm -f "$out/largest.bin"

start_daemon "$bin/bench/bench-silent-peer" PORT
peer=$daemon_pid

"$bin/drovik-client-fast" 127.0.0.1 "$daemon_port" "$out/idle.bin" "${FAST_SIZES[-1]}" >/dev/null &
client=$!
started+=("$client")
wait_udp_queued "$daemon_port"
start_daemon "$bin/drovik-server" PORT
server=$daemon_pid
client_before=$(cpu_seconds "$client")
server_before=$(cpu_seconds "$server")
sleep "$IDLE_SECONDS"
idle_client_s=$(awk -v a="$client_before" -v b="$(cpu_seconds "$client")" 'BEGIN { print b - a }')
idle_server_s=$(awk -v a="$server_before" -v b="$(cpu_seconds "$server")" 'BEGIN { print b - a }')
stop_daemon "$client"
stop_daemon "$server"
stop_daemon "$peer"
rm -f "$out/idle.bin"

echo "Recording progress for the plot..." >&2
download fast "${FAST_SIZES[0]}" "$out/progress-fast.tsv"
download slow "$SLOW_SIZE" "$out/progress-slow.tsv"
for variant in fast slow; do
  awk -F'\t' 'BEGIN { print 0, 0 } { sub(/% done/, "", $2); print $1, $2 }' "$out/progress-$variant.tsv" >"$out/progress-$variant.dat"
done
gnuplot -e "fast='$out/progress-fast.dat'; slow='$out/progress-slow.dat'; output='docs/progress.png'" \
  bench/progress.gp

bench_relay >"$out/relay-table.md"
bench_fetch >"$out/fetch-table.md"
bench_outages >"$out/outages-table.md"
bench_paths >"$out/paths-table.md"
bench_reliability >"$out/reliability-table.md"
bench_servers >"$out/servers-table.md"
bench_compare >"$out/compare-table.md"
bench_pathfit >"$out/pathfit-table.md"

download_column() { awk -v v="$1" -v b="$2" "\$1 == v && \$2 == b { print $3 }" "$out/downloads.txt"; }
ingest_column() { awk -v r="$1" -v k="$2" "\$1 == r && \$2 == k { print $3 }" "$out/ingest.txt"; }
# Kernel kB (1024 bytes) to MB (10^6 bytes).
mb() { awk '{ printf "%.1f\n", $1 * 1024 / 1e6 }'; }

{
  echo "Machine: $(nproc) cores, $(lscpu | sed -n 's/^Model name: *//p' | head -1), Linux $(uname -r)," \
    "load average $(cut -d' ' -f1-3 /proc/loadavg)"
  echo
  echo "Downloads on loopback, a fresh server per run; median (min–max):"
  echo
  echo "| Download | Runs | Wall time (s) | Client CPU (s) | Client CPU / wall | Server CPU (s) | Client peak RSS (MB) |"
  echo "|---|---|---|---|---|---|---|"
  for pair in "${FAST_SIZES[@]/#/fast:}" "slow:$SLOW_SIZE"; do
    variant=${pair%%:*} bytes=${pair#*:}
    printf '| %s, %s bytes | %s | %s | %s | %s | %s | %s |\n' "drovik-client-$variant" "$bytes" \
      "$(download_column "$variant" "$bytes" '$3' | wc -l)" \
      "$(download_column "$variant" "$bytes" '$3' | summary %.2f)" \
      "$(download_column "$variant" "$bytes" '$4 + $5' | summary %.3f)" \
      "$(download_column "$variant" "$bytes" '100 * ($4 + $5) / $3' | summary %.2f%%)" \
      "$(download_column "$variant" "$bytes" '$8' | summary %.3f)" \
      "$(download_column "$variant" "$bytes" '$6' | mb | summary %.1f)"
  done
  echo
  echo "Server ingest: bursts of $INGEST_COUNT request datagrams from one loopback socket, $INGEST_ROUNDS rounds;" \
    "median (min–max):"
  echo
  echo "| Burst | Receiver | Absorbed | Absorbed per second | CPU per absorbed datagram (µs) |"
  echo "|---|---|---|---|---|"
  for kind in invalid valid; do
    for receiver in bare server; do
      name=$([[ $receiver == bare ]] && echo "bare poll + recvfrom loop" || echo drovik-server)
      burst=$([[ $kind == invalid ]] && echo "invalid requests" || echo "valid requests, reply queue full")
      printf '| %s | %s | %s | %s | %s |\n' "$burst" "$name" \
        "$(ingest_column "$receiver" "$kind" '100 * $4 / $3' | summary %.0f%%)" \
        "$(ingest_column "$receiver" "$kind" '$4 / $5' | summary %.0f)" \
        "$(ingest_column "$receiver" "$kind" '1e6 * $6 / $4' | summary %.2f)"
    done
  done
  # Server rate over bare rate, round by round.
  ingest_ratios() {
    paste <(ingest_column server "$1" '$4 / $5') <(ingest_column bare "$1" '$4 / $5') | awk '{ print $1 / $2 }'
  }
  echo
  echo "Budgets:"
  echo
  echo "| Budget | Measured | Limit | Met |"
  echo "|---|---|---|---|"
  verdict() { awk -v m="$1" -v l="$2" -v op="$3" 'BEGIN { ok = op == "<" ? m < l : m >= l; print ok ? "yes" : "NO" }'; }
  for kind in invalid valid; do
    ratio=$(ingest_ratios "$kind" | summary %.2f)
    bare_us=$(ingest_column bare "$kind" '1e6 * $6 / $4' | summary %.3f)
    server_us=$(ingest_column server "$kind" '1e6 * $6 / $4' | summary %.3f)
    cpu_ratio=$(awk -v b="${bare_us%% *}" -v s="${server_us%% *}" 'BEGIN { printf "%.2f", b / s }')
    met=$(verdict "$(awk -v a="${ratio%% *}" -v b="$cpu_ratio" 'BEGIN { print a < b ? a : b }')" 0.5 '>=')
    printf '| Server ingest over bare loop, %s burst | %s × absorbed per second; %s × by CPU per datagram | ≥ 0.5 × | %s |\n' \
      "$kind" "$ratio" "$cpu_ratio" "$met"
  done
  worst_cpu=$(for bytes in "${FAST_SIZES[@]}"; do download_column fast "$bytes" '100 * ($4 + $5) / $3'; done | sort -g | tail -1)
  printf '| Client CPU during a fast download (worst run) | %.2f %% of wall time | < 5 %% | %s |\n' \
    "$worst_cpu" "$(verdict "$worst_cpu" 5 '<')"
  idle_pct=$(awk -v s="$idle_server_s" -v t="$IDLE_SECONDS" 'BEGIN { print 100 * s / t }')
  printf '| Idle server (CPU in %s s: %.3f ms) | %.4f %% of a core | < 0.1 %% | %s |\n' \
    "$IDLE_SECONDS" "$(awk -v s="$idle_server_s" 'BEGIN { print 1000 * s }')" "$idle_pct" "$(verdict "$idle_pct" 0.1 '<')"
  largest_mb=$(echo "$largest_rss_kb" | mb)
  printf '| Client resident memory at %s bytes, chunk table built | %s MB | < 80 MB | %s |\n' \
    "$LARGEST_SIZE" "$largest_mb" "$(verdict "$largest_mb" 80 '<')"
  printf '| Client waiting on a silent peer, whole window outstanding (CPU in %s s: %.1f ms) | %.2f %% of a core | (none) | |\n' \
    "$IDLE_SECONDS" "$(awk -v s="$idle_client_s" 'BEGIN { print 1000 * s }')" \
    "$(awk -v s="$idle_client_s" -v t="$IDLE_SECONDS" 'BEGIN { print 100 * s / t }')"
  cat "$out/relay-table.md" "$out/fetch-table.md" "$out/outages-table.md" "$out/paths-table.md" \
    "$out/reliability-table.md" "$out/servers-table.md" "$out/compare-table.md" "$out/pathfit-table.md"
} | tee "$out/table.md"
echo >&2
echo "Plots: docs/progress.png, docs/paths.png, docs/compare.png and drovik-fetch's; raw figures: $out/" >&2
