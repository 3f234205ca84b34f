# drovik-fetch's reliability block of scripts/bench.sh: what a stopped download keeps for
# --resume, the outputs that are not files, one run per OUTPUT_FILE, a directory as
# OUTPUT_FILE, what --resume costs at the largest size, and that speed and memory did not
# regress. Sourced by scripts/bench.sh after
# bench/fetch.sh, whose helpers it uses. BENCH_ONLY=reliability scripts/bench.sh runs it alone.

RELIABILITY_RUNS=${RELIABILITY_RUNS:-3}
RESUME_RUNS=7
STOPPED_BYTES=5000000
OUTPUT_BYTES=300000
# Seconds from the start of `drovik-fetch --resume` of LARGEST_SIZE bytes to its first GET
# before the record was tied to its .part (median of 7 on the 2-core machine).
RESUME_START_BEFORE_S=0.026

# Bytes of UDP datagrams waiting unread on the socket bound to port $1.
udp_queued_bytes() {
  local hex
  printf -v hex ':%04X' "$1"
  hex=$(awk -v h="$hex" 'substr($2, length($2) - 4) == h { split($5, q, ":"); print q[2] }' /proc/net/udp)
  echo $((16#${hex:-0}))
}

# Stops a download of STOPPED_BYTES with signal $1 after $2 s, then resumes it from the same
# server: appends "SIGNAL stop_exit resumed_bytes resumed_exit exact" to reliability-stop.txt.
stopped_download() {
  local signal=$1 after=$2 file="$out/stopped.bin" pid status=0 resumed resumed_status=0 exact=yes
  start_daemon "$bin/drovik-server" PORT
  # A background command ignores SIGINT, and so does a bench started in the background, where
  # trap cannot undo it; drovik-fetch keeps an ignored SIGINT ignored, so it starts with the default.
  env --default-signal=INT "$bin/drovik-fetch" --quiet 127.0.0.1 "$daemon_port" "$file" "$STOPPED_BYTES" 2>/dev/null &
  pid=$!
  started+=("$pid")
  sleep "$after"
  kill -s "$signal" "$pid"
  wait "$pid" 2>/dev/null || status=$?  # no job notice for the kill
  forget "$pid"
  resumed=$("$bin/drovik-fetch" --quiet --stats --resume 127.0.0.1 "$daemon_port" "$file" "$STOPPED_BYTES" 2>&1) ||
    resumed_status=$?
  stop_daemon "$daemon_pid"
  "$bin/verify-download" "$file" "$STOPPED_BYTES" >/dev/null || exact=no
  echo "$signal $status $(sed -n 's/^drovik-fetch: \([0-9]*\) bytes in .*/\1/p' <<<"$resumed") $resumed_status" \
    "$exact" >>"$out/reliability-stop.txt"
  rm -f "$file" "$file.part" "$file.part.map"
}

# OUTPUT_BYTES to a character device, a FIFO and standard output: appends "KIND exit
# still_itself no_part exact" to reliability-outputs.txt. The device is a copy of /dev/null
# made with mknod when allowed, so that a fault could not replace the real one.
output_kinds() {
  local device=/dev/null fifo="$out/fifo" status itself part exact reader
  if mknod "$out/null" c 1 3 2>/dev/null; then device="$out/null"; fi
  start_daemon "$bin/drovik-server" PORT
  status=0
  "$bin/drovik-fetch" --quiet 127.0.0.1 "$daemon_port" "$device" "$OUTPUT_BYTES" || status=$?
  itself=$([[ -c $device ]] && echo yes || echo no)
  part=$([[ ! -e $device.part ]] && echo yes || echo no)
  echo "device $status $itself $part –" >>"$out/reliability-outputs.txt"

  mkfifo "$fifo"
  "$bin/verify-download" "$fifo" "$OUTPUT_BYTES" >/dev/null &
  reader=$!
  started+=("$reader")
  status=0
  "$bin/drovik-fetch" --quiet 127.0.0.1 "$daemon_port" "$fifo" "$OUTPUT_BYTES" || status=$?
  if wait "$reader"; then exact=yes; else exact=no; fi
  forget "$reader"
  itself=$([[ -p $fifo ]] && echo yes || echo no)
  part=$([[ ! -e $fifo.part ]] && echo yes || echo no)
  echo "fifo $status $itself $part $exact" >>"$out/reliability-outputs.txt"

  status=0
  "$bin/drovik-fetch" --quiet 127.0.0.1 "$daemon_port" - "$OUTPUT_BYTES" >"$out/stdout.bin" || status=$?
  exact=$("$bin/verify-download" "$out/stdout.bin" "$OUTPUT_BYTES" >/dev/null && echo yes || echo no)
  part=$([[ ! -e -.part ]] && echo yes || echo no)
  echo "stdout $status – $part $exact" >>"$out/reliability-outputs.txt"
  stop_daemon "$daemon_pid"
  rm -f "$out/null" "$fifo" "$out/stdout.bin"
}

# A second run on the OUTPUT_FILE of a running one, a second after it started: appends
# "second_wall_s second_exit first_exit first_exact" to reliability-lock.txt.
second_run() {
  local file="$out/locked.bin" first figures status=0 exact=yes
  start_daemon "$bin/drovik-server" PORT
  "$bin/drovik-fetch" --quiet 127.0.0.1 "$daemon_port" "$file" 1000000 2>/dev/null &
  first=$!
  started+=("$first")
  sleep 1
  figures=$("$bin/bench/bench-run" --timeout 30 -- "$bin/drovik-fetch" --quiet --resume 127.0.0.1 \
    "$daemon_port" "$file" 1000000 2>/dev/null) || true  # it is to fail
  wait "$first" || status=$?
  forget "$first"
  stop_daemon "$daemon_pid"
  "$bin/verify-download" "$file" 1000000 >/dev/null || exact=no
  echo "$(cut -d' ' -f1,5 <<<"$figures") $status $exact" >>"$out/reliability-lock.txt"
  rm -f "$file" "$file.part" "$file.part.map"
}

# An existing directory as OUTPUT_FILE, against a peer that never reads: appends
# "wall_s exit bytes_sent_to_the_peer" to reliability-directory.txt.
directory_output() {
  local figures
  mkdir -p "$out/directory"
  start_daemon "$bin/bench/bench-silent-peer" PORT
  figures=$("$bin/bench/bench-run" --timeout 60 -- "$bin/drovik-fetch" --quiet 127.0.0.1 "$daemon_port" \
    "$out/directory" "$OUTPUT_BYTES" 2>/dev/null) || true  # it is to fail
  echo "$(cut -d' ' -f1,5 <<<"$figures") $(udp_queued_bytes "$daemon_port")" >>"$out/reliability-directory.txt"
  stop_daemon "$daemon_pid"
  rmdir "$out/directory"
}

# --resume of a LARGEST_SIZE download stopped after 3 s, RESUME_RUNS times: appends
# "first_get_s peak_rss_kb" per start to reliability-resume.txt, from bench-first-request (which stops it once it asked).
resume_cost() {
  local file="$out/largest.bin" run
  start_daemon "$bin/drovik-server" PORT
  timeout -s INT 3 "$bin/drovik-fetch" --quiet 127.0.0.1 "$daemon_port" "$file" "$LARGEST_SIZE" 2>/dev/null || true
  stop_daemon "$daemon_pid"
  for run in $(seq "$RESUME_RUNS"); do
    "$bin/bench/bench-first-request" -- "$bin/drovik-fetch" --quiet --resume 127.0.0.1 PORT "$file" \
      "$LARGEST_SIZE" 2>/dev/null | cut -d' ' -f1,2 >>"$out/reliability-resume.txt"
  done
  rm -f "$file" "$file.part" "$file.part.map"
}

# Speed and memory as bench/fetch.sh measures them: appends fetch.sh's figures for 5 MB and
# 20 MB to reliability-speed.txt ("KEY wall_s user_s sys_s peak_rss_kb exit gets_per_chunk").
speed_and_memory() {
  local run
  for run in $(seq "$RELIABILITY_RUNS"); do
    start_daemon "$bin/drovik-server" PORT
    echo "5mb $(measured_download fetch 5000000 "$daemon_port")" >>"$out/reliability-speed.txt"
    stop_daemon "$daemon_pid"
  done
  start_daemon "$bin/drovik-server" PORT
  echo "20mb $(measured_download fetch 20000000 "$daemon_port")" >>"$out/reliability-speed.txt"
  stop_daemon "$daemon_pid"
  fetch_largest_rss_kb >"$out/reliability-largest.txt"
}

measure_reliability() {
  local run
  echo "Measuring what a stopped drovik-fetch keeps..." >&2
  for run in $(seq "$RELIABILITY_RUNS"); do
    stopped_download INT 6
    stopped_download KILL 7
  done
  echo "Measuring outputs, a second run, a directory, --resume at the largest size..." >&2
  output_kinds
  second_run
  directory_output
  resume_cost
  echo "Measuring drovik-fetch's speed and memory again..." >&2
  speed_and_memory
}

# Column $2 of reliability file $1 for the lines whose first field is $3 (all lines without $3).
reliability_column() { awk -v k="${3:-}" "k == \"\" || \$1 == k { print \$$2 }" "$out/$1"; }

reliability_tables() {
  local int kill stops outputs m5 m20 rss lock_s lock_exit first_exit first_exact dir_s dir_exit dir_bytes
  local resume_ms resume_mb
  int=$(reliability_column reliability-stop.txt '3 / 50000' INT | summary %.1f)
  kill=$(reliability_column reliability-stop.txt '3 / 50000' KILL | summary %.1f)
  stops=$(awk '{ ok = ok && $4 == 0 && $5 == "yes" && ($1 == "KILL" || $2 == 130) } BEGIN { ok = 1 } END { print ok }' \
    "$out/reliability-stop.txt")
  outputs=$(awk '{ ok = ok && $2 == 0 && $3 != "no" && $4 == "yes" && $5 != "no" } BEGIN { ok = 1 } END { print ok }' \
    "$out/reliability-outputs.txt")
  read -r lock_s lock_exit first_exit first_exact <"$out/reliability-lock.txt"
  read -r dir_s dir_exit dir_bytes <"$out/reliability-directory.txt"
  m5=$(reliability_column reliability-speed.txt 2 5mb | summary %.2f)
  m20=$(reliability_column reliability-speed.txt 2 20mb | summary %.2f)
  rss=$(awk '{ printf "%.1f", $1 * 1024 / 1e6 }' "$out/reliability-largest.txt")
  resume_ms=$(awk '{ print $1 * 1000 }' "$out/reliability-resume.txt" | summary %.0f)
  resume_mb=$(awk '{ print $2 * 1024 / 1e6 }' "$out/reliability-resume.txt" | summary %.1f)
  echo
  echo "drovik-fetch's reliability targets, $RELIABILITY_RUNS runs where it says; median (min–max):"
  echo
  echo "| Target | Measured | Met |"
  echo "|---|---|---|"
  target_row "SIGINT at 6 s of 5 MB, then --resume: the resumed run fetches ≤ 50 %" \
    "$int % fetched again; exit 130, then 0 and exact every time: $([[ $stops == 1 ]] && echo yes || echo NO)" \
    "${int%% *} <= 50 && $stops == 1"
  target_row "SIGKILL at 7 s of 5 MB, then --resume: the resumed run fetches ≤ 65 %" \
    "$kill % fetched again" "${kill%% *} <= 65 && $stops == 1"
  target_row "A character device, a FIFO, - ($OUTPUT_BYTES bytes): written in order, never replaced, stdout exact" \
    "$(awk '{ printf "%s%s: exit %s, still itself %s, no .part %s, exact %s", (NR > 1 ? "; " : ""), $1, $2, $3, $4, $5 }' \
      "$out/reliability-outputs.txt")" "$outputs == 1"
  target_row "A second run on the same OUTPUT_FILE: exit 1 within a second; the first exact" \
    "exit $lock_exit after $lock_s s; the first: exit $first_exit, exact $first_exact" \
    "$lock_exit == 1 && $lock_s < 1 && $first_exit == 0 && \"$first_exact\" == \"yes\""
  target_row "OUTPUT_FILE an existing directory: exit 1 before the first GET" \
    "exit $dir_exit after $dir_s s, $dir_bytes bytes sent to the server" "$dir_exit == 1 && $dir_bytes == 0"
  target_row "--resume at $LARGEST_SIZE bytes: first GET within twice the $(awk -v s="$RESUME_START_BEFORE_S" 'BEGIN { print s * 1000 }') ms it took before the record was tied to its .part; memory ≤ 20 MB" \
    "$resume_ms ms; $resume_mb MB" \
    "${resume_ms%% *} <= 2000 * $RESUME_START_BEFORE_S && ${resume_mb%% *} <= 20"
  target_row "No regression: 5 MB ≤ 9.5 s; memory at $LARGEST_SIZE bytes ≤ 20 MB" \
    "$m5 s; $rss MB (20 MB: $m20 s, $(awk -v t="${m20%% *}" -v c="$CEILING_KBPS" 'BEGIN { printf "%.0f", 100 * 20000 / t / c }') % of $CEILING_KBPS kB/s)" \
    "${m5%% *} <= 9.5 && $rss <= 20"
}

bench_reliability() {
  measure_reliability
  reliability_tables
}
