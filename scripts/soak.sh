#!/usr/bin/env bash
# Soak: one drovik-server on a free loopback port and CLIENTS download loops
# against it for MINUTES. Each loop starts its next download as soon as the
# last one ends, taking drovik-client-fast, drovik-client-slow and drovik-fetch
# in turn, with sizes drawn from a fixed seed; every fourth loop goes through a
# drovik-trace relay of its own. Every finished file is checked byte for byte
# with verify-download, then deleted. Every 10 s the server's resident memory,
# descriptors and CPU time are sampled, and the relays' with them.
#
# Standard output ends with the one line
#   soak: D downloads (B bytes) in M min, E exact, F failed; server RSS X kB -> Y kB, fds X -> Y, CPU Z %
# The run always lasts its MINUTES; downloads still running then are stopped and
# not counted. It exits 1 afterwards when a download failed or was inexact, or
# when the server or a relay died; each failed download's file, output and
# command line are kept in a folder named on standard error.
#
# Usage: scripts/soak.sh [MINUTES] [CLIENTS]     (defaults 10 and 12)
#   SOAK_BIN=DIR   take the programs from DIR as they are (default: build the
#                  release preset and take build/release)
#   SOAK_OUT=DIR   where logs, samples and the plot go, emptied first (default build/soak)
#   SOAK_SEED=N    seed of the size draws (default 1)
set -euo pipefail
export LC_ALL=C  # a decimal point in $EPOCHREALTIME and in awk's numbers
cd "$(dirname "$0")/.."
source scripts/lib.sh

MINUTES=${1:-10}
CLIENTS=${2:-12}
SEED=${SOAK_SEED:-1}
KINDS=(fast slow fetch)
MIN_BYTES=1000
MAX_BYTES=5000000
MAX_SLOW_BYTES=20000  # the slow client takes about a second a chunk
# A download not done within 2 minutes plus 1 s per 5 kB has failed: a hang shows, and no
# kind is that slow among 12 loops (docs/reliability.md); the slow client's 20 kB fit the 2 minutes.
LIMIT_BASE_S=120
LIMIT_FLOOR_BYTES_PER_S=5000
STALL_S=60            # drovik-fetch gives up, and so fails, after a minute without a new chunk
SAMPLE_S=10
TRACED_EVERY=4

[[ $MINUTES =~ ^[1-9][0-9]*$ && $CLIENTS =~ ^[1-9][0-9]*$ ]] || {
  echo "usage: scripts/soak.sh [MINUTES] [CLIENTS]  (whole numbers from 1)" >&2
  exit 2
}

if [[ -n ${SOAK_BIN:-} ]]; then
  bin=$SOAK_BIN
else
  scripts/deps.sh gnuplot-nox
  quiet_build release
  bin=build/release
fi
out=${SOAK_OUT:-build/soak}
rm -rf "$out"
mkdir -p "$out/work" "$out/failed"
downloads=$out/downloads.tsv
samples=$out/samples.tsv
DOWNLOADS_HEADER="# start_s\tloop\tkind\tbytes\tseconds\ttraced\tresult"
SAMPLES_HEADER="# seconds\tserver_rss_kB\tserver_fds\tserver_cpu_s\trelays_rss_kB\trelays_fds\trelays_cpu_s\tload_1min"

# ---- processes started here, killed by pid -------------------------------------------------
trap stop_started EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# ---- one download ----------------------------------------------------------------------------
# Prints a size for a download of kind $1, log-uniform, so small and large downloads both
# come often.
draw_size() {
  local top=$MAX_BYTES
  [[ $1 == slow ]] && top=$MAX_SLOW_BYTES
  awk -v r="$RANDOM" -v lo="$MIN_BYTES" -v hi="$top" 'BEGIN { printf "%d\n", lo * exp(log(hi / lo) * r / 32767) }'
}

# Sets `command` to the download of kind $1 into file $3 of $4 bytes from 127.0.0.1:$2.
client_command() {
  case $1 in
    fast | slow) command=("$bin/drovik-client-$1" 127.0.0.1 "$2" "$3" "$4") ;;
    fetch) command=("$bin/drovik-fetch" --quiet --stats --stall-timeout "$STALL_S" 127.0.0.1 "$2" "$3" "$4") ;;
  esac
}

# Moves what failed download $1 (in $2, file $3) left into a folder of its own and names it.
keep_evidence() {
  local id=$1 dir=$2 file=$3 evidence=$out/failed/$1 leftover
  mkdir -p "$evidence"
  printf '%q ' "${command[@]}" >"$evidence/command.txt"
  echo >>"$evidence/command.txt"
  mv "$dir"/stdout "$dir"/stderr "$evidence/"
  for leftover in "$dir/verify" "$file" "$file.part" "$file.part.map"; do
    if [[ -e $leftover ]]; then mv "$leftover" "$evidence/"; fi
  done
  echo "soak: download $id failed ($4): evidence in $evidence" >&2
}

# Why a download that ended with status $1 under a limit of $2 s failed, given the check's
# output $3 and its file $4.
failure() {
  if (($1 == 124 || $1 == 137)); then
    echo "not done within $2 s"
  elif (($1 != 0)); then
    echo "exit status $1"
  elif [[ -e $4.part ]]; then
    echo "status 0, but $4.part is left"
  else
    echo "status 0, but $(head -n 1 "$3")"
  fi
}

# Runs one download of kind $3 and $4 bytes for loop $1 (its n-th, $2) against port $5
# ($6: 1 when that is a relay), checks it, deletes it and logs it in the columns of
# DOWNLOADS_HEADER.
download() {
  local loop=$1 n=$2 kind=$3 bytes=$4 port=$5 traced=$6
  local dir=$out/work/$loop id="$1-$2-$3-$4" file status=0 begin seconds result
  local limit=$((LIMIT_BASE_S + bytes / LIMIT_FLOOR_BYTES_PER_S)) left=$((deadline - EPOCHSECONDS))
  ((limit < left)) || limit=$left
  file=$dir/$n.bin
  client_command "$kind" "$port" "$file" "$bytes"
  begin=$EPOCHREALTIME
  timeout -k 5 "$limit" "${command[@]}" >"$dir/stdout" 2>"$dir/stderr" &
  current=$!
  wait "$current" || status=$?
  current=
  seconds=$(awk -v a="$begin" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.3f", b - a }')
  if ((status == 0)) && [[ ! -e $file.part ]] && "$bin/verify-download" "$file" "$bytes" >"$dir/verify" 2>&1; then
    result=exact
  elif ((status == 124 || status == 137)) && ((EPOCHSECONDS >= deadline)); then
    result=stopped  # cut off by the end of the run
  else
    result=failed
    keep_evidence "$id" "$dir" "$file" "$(failure "$status" "$limit" "$dir/verify" "$file")"
  fi
  rm -f "$file" "$file.part" "$file.part.map" "$dir/stdout" "$dir/stderr" "$dir/verify"
  printf '%.3f\t%s\t%s\t%s\t%s\t%s\t%s\n' "$(awk -v a="$begin" -v s="$run_start" 'BEGIN { print a - s }')" \
    "$loop" "$kind" "$bytes" "$seconds" "$traced" "$result" >>"$downloads"
}

# Loop $1: downloads against port $2 ($3: 1 when that is a relay) until the deadline.
download_loop() {
  local loop=$1 port=$2 traced=$3 n=0 kind
  current=
  # Stopped early (Ctrl-C on the script): take the running download along.
  trap '[[ -n $current ]] && kill "$current" 2>/dev/null; exit 143' TERM
  RANDOM=$((SEED * 1000 + loop))
  mkdir -p "$out/work/$loop"
  while ((EPOCHSECONDS < deadline)); do
    kind=${KINDS[(loop + n) % ${#KINDS[@]}]}
    download "$loop" "$n" "$kind" "$(draw_size "$kind")" "$port" "$traced"
    n=$((n + 1))
  done
}

# ---- samples ---------------------------------------------------------------------------------
# Resident kB, open descriptors and CPU seconds of process $1; zeros once it is gone.
process_figures() {
  local rss fds cpu
  rss=$(awk '/^VmRSS:/ { print $2 }' "/proc/$1/status" 2>/dev/null) || rss=0
  # shellcheck disable=SC2012 # the names are numbers
  fds=$(ls "/proc/$1/fd" 2>/dev/null | wc -l) || fds=0
  cpu=$(awk '{ printf "%.3f", $1 / 1e9 }' "/proc/$1/schedstat" 2>/dev/null) || cpu=0
  echo "${rss:-0} $fds $cpu"
}

# One line in the columns of SAMPLES_HEADER; the relays' figures are their sums, and the
# machine's load average tells whether anything else ran.
sample() {
  local server_figures relay_figures="" pid
  server_figures=$(process_figures "$server")
  for pid in "${relays[@]}"; do relay_figures+="$(process_figures "$pid")"$'\n'; done
  awk -v t="$((EPOCHSECONDS - ${run_start%.*}))" -v s="$server_figures" -v load="$(cut -d' ' -f1 /proc/loadavg)" \
    '{ r += $1; f += $2; c += $3 } END { printf "%d\t%s\t%d\t%d\t%.3f\t%s\n", t, s, r, f, c, load }' \
    <<<"$relay_figures" | tr ' ' '\t' >>"$samples"
}

sampler() {
  local nap=
  trap '[[ -n $nap ]] && kill "$nap" 2>/dev/null; exit 0' TERM
  while :; do
    sample
    sleep "$SAMPLE_S" &
    nap=$!
    wait "$nap"
  done
}

# ---- the run ---------------------------------------------------------------------------------
# The loops, every fourth through a relay of its own that lives as long as the run.
start_loops() {
  local loop port traced
  for ((loop = 0; loop < CLIENTS; loop++)); do
    port=$server_port traced=0
    if ((loop % TRACED_EVERY == TRACED_EVERY - 1)); then
      start_daemon "$bin/drovik-trace" -o /dev/null PORT 127.0.0.1 "$server_port" 2>"$out/relay-$loop.log"
      relays+=("$daemon_pid")
      port=$daemon_port traced=1
    fi
    download_loop "$loop" "$port" "$traced" &
    loops+=($!)
    started+=($!)
  done
}

# Waits for process $1, started here, and counts a fault unless it ended with status 0;
# $2 names it.
reap() {
  local status=0
  wait "$1" || status=$?
  forget "$1"
  if ((status != 0)); then
    echo "soak: $2 ended with status $status" >&2
    faults=$((faults + 1))
  fi
}

# Ends the relays with SIGTERM, as a user would; each must end with status 0.
stop_relays() {
  local pid
  for pid in "${relays[@]}"; do
    kill "$pid" 2>/dev/null || true
    reap "$pid" "relay $pid"
  done
}

stop_server() {
  if ! kill -0 "$server" 2>/dev/null; then
    echo "soak: the server died during the run: $(cat "$out/server.log")" >&2
    faults=$((faults + 1))
  fi
  kill "$server" 2>/dev/null || true
  wait "$server" 2>/dev/null || true
  forget "$server"
}

# Per kind and path: the exact downloads, their bytes, mean size, median and aggregate rate.
write_rates() {
  local kind traced path
  {
    echo "| Client | Path | Downloads | Bytes | Mean size (kB) | Median rate (kB/s) | Aggregate rate (kB/s) |"
    echo "|---|---|---|---|---|---|---|"
    for kind in "${KINDS[@]}"; do
      for traced in 0 1; do
        path=direct
        ((traced == 0)) || path="through drovik-trace"
        awk -v k="$kind" -v t="$traced" '!/^#/ && $3 == k && $6 == t && $7 == "exact" { print $4 / $5 / 1000, $4, $5 }' \
          "$downloads" | sort -g | awk -v k="$kind" -v p="$path" '
            { rate[NR] = $1; bytes += $2; seconds += $3 }
            END {
              if (NR == 0) exit
              median = NR % 2 ? rate[(NR + 1) / 2] : (rate[NR / 2] + rate[NR / 2 + 1]) / 2
              printf "| %s | %s | %d | %d | %.1f | %.1f | %.1f |\n", k, p, NR, bytes, bytes / NR / 1000, median,
                     bytes / seconds / 1000
            }'
      done
    done
  } >"$out/rates.md"
}

# Draws the samples into soak.png when gnuplot is there.
plot_samples() {
  if command -v gnuplot >/dev/null; then
    gnuplot -e "samples='$samples'; output='$out/soak.png'" scripts/soak.gp
  fi
}

# The closing line, from the download log and the first and last samples.
summary_line() {
  local downloads_part
  downloads_part=$(awk -F'\t' '!/^#/ && $7 != "stopped" { n++; b += $4; if ($7 == "exact") e++; else f++ }
    END { printf "%d downloads (%d bytes) in %s min, %d exact, %d failed", n, b, m, e, f }' m="$MINUTES" "$downloads")
  awk -F'\t' -v head="$downloads_part" '
    /^#/ { next }
    !seen++ { t0 = $1; r0 = $2; f0 = $3; c0 = $4 }
    { t = $1; r = $2; f = $3; c = $4 }
    END { printf "soak: %s; server RSS %d kB -> %d kB, fds %d -> %d, CPU %.1f %%\n",
                 head, r0, r, f0, f, (t > t0 ? 100 * (c - c0) / (t - t0) : 0) }' "$samples"
}

main() {
  local failed sampler_pid pid
  relays=() loops=()
  faults=0
  echo -e "$DOWNLOADS_HEADER" >"$downloads"
  echo -e "$SAMPLES_HEADER" >"$samples"
  start_daemon "$bin/drovik-server" PORT 2>"$out/server.log"
  server=$daemon_pid server_port=$daemon_port
  run_start=$EPOCHREALTIME
  deadline=$((EPOCHSECONDS + MINUTES * 60))
  start_loops
  sampler &
  sampler_pid=$!
  started+=("$sampler_pid")
  echo "soak: $CLIENTS loops (${#relays[@]} through drovik-trace) against drovik-server on port $server_port" \
    "for $MINUTES min; logs in $out" >&2
  for pid in "${loops[@]}"; do reap "$pid" "download loop $pid"; done
  kill "$sampler_pid"
  wait "$sampler_pid" || true
  forget "$sampler_pid"
  sample
  stop_relays
  stop_server
  write_rates
  plot_samples
  failed=$(awk -F'\t' '$7 == "failed"' "$downloads" | wc -l)
  summary_line
  ((failed == 0 && faults == 0))
}

main
