# The block of scripts/bench.sh behind docs/paths.md: drovik-client-fast and drovik-fetch
# through drovik-trace playing a few paths in front of drovik-server, raced by drovik-compare,
# whose table it prints and whose picture becomes docs/paths.png. Sourced by scripts/bench.sh.
# The run count and size may be set from the environment for a quick look (PATHS_RUNS=1 ...).

PATHS_BYTES=${PATHS_BYTES:-1000000}
PATHS_RUNS=${PATHS_RUNS:-3}

bench_paths() {
  local status=0
  echo "Measuring shaped paths..." >&2
  "$bin/drovik-compare" --runs "$PATHS_RUNS" --size "$PATHS_BYTES" --seed 1 --out "$out/paths" \
    --path "no path of its own=" --path "loss 10 %=--loss 0.1" --path "loss 10 %, up only=--loss 0.1 --shape up" \
    --path "delay 50–200 ms=--delay 50-200" --path "600 a second=--rate 600" fast fetch || status=$?
  cp "$out/paths/compare.png" docs/paths.png
  ((status == 0)) || echo "drovik-compare: some runs failed (exit $status)" >&2
}
