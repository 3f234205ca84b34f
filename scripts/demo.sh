#!/usr/bin/env bash
# The main job: builds drovik, starts a server on a free loopback port,
# downloads BYTES (default 300000) with the fast client (or the slow one, or
# drovik-fetch), checks every byte against the served file's formula and stops
# the server.
# Usage: scripts/demo.sh [bytes] [fast|slow|fetch]
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh
bytes=${1:-300000}
variant=${2:-fast}
quiet_build release
bin=build/release
out=$(mktemp -d)
port=$(free_udp_port)

"$bin/drovik-server" "$port" &
server=$!
trap 'kill "$server" 2>/dev/null; wait "$server" 2>/dev/null || true; rm -rf "$out"' EXIT
wait_udp_bound "$port"
echo "drovik-server listening on UDP port $port (pid $server)"
if [[ $variant == fetch ]]; then
  client=(drovik-fetch --stats 127.0.0.1 "$port" "$out/download.bin" "$bytes")
else
  client=("drovik-client-$variant" 127.0.0.1 "$port" "$out/download.bin" "$bytes")
fi
echo "${client[*]}"

start=$(date +%s.%N)
"$bin/${client[0]}" "${client[@]:1}" >"$out/progress.txt"
end=$(date +%s.%N)

if [[ $variant != fetch ]]; then
  lines=$(wc -l <"$out/progress.txt")
  echo "progress: $lines lines, the last three:"
  tail -n 3 "$out/progress.txt" | sed 's/^/  /'
fi
awk -v s="$start" -v e="$end" -v n="$(stat -c %s "$out/download.bin")" 'BEGIN { printf "downloaded %d bytes in %.2f s\n", n, e - s }'
"$bin/verify-download" "$out/download.bin" "$bytes"
