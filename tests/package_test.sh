#!/usr/bin/env bash
# Builds the Debian package from a build tree, unpacks it into a temporary
# root and checks what a user gets: the files, the manual pages, and the
# installed programs end to end on loopback.
# Usage: tests/package_test.sh BUILD_DIR VERIFY_DOWNLOAD
set -euo pipefail
build=$(cd "$1" && pwd)
verify=$2
source_dir=$(cd "$(dirname "$0")/.." && pwd)
source "$source_dir/scripts/lib.sh"
"$source_dir/scripts/deps.sh" dpkg-dev mandoc man-db groff-base file

work=$(mktemp -d)
server=
relay=
cleanup() {
    local pid
    for pid in $server $relay; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# expect STATUS STDERR-LINE PROGRAM ARGS...: runs a program (at most 10 s)
# that must end with STATUS, print nothing on standard output and exactly
# STDERR-LINE on standard error.
expect() {
    local status=$1 line=$2
    shift 2
    local got=0
    timeout 10 "$@" >"$work/out" 2>"$work/err" || got=$?
    [[ $got == "$status" ]] || fail "$* ended with $got, expected $status; stderr: $(cat "$work/err")"
    [[ ! -s $work/out ]] || fail "$* wrote to standard output: $(cat "$work/out")"
    [[ $(cat "$work/err") == "$line" ]] || fail "$* printed '$(cat "$work/err")', expected '$line'"
}

# Prints the inode of the socket bound to UDP port $1, if any.
udp_inode() {
    local hex
    printf -v hex '%04X' "$1"
    awk -v port=":$hex" '$2 ~ port"$" { print $10; exit }' /proc/net/udp
}

# True when process $1 itself holds the socket bound to UDP port $2.
holds_port() {
    local inode
    inode=$(udp_inode "$2")
    [[ -n $inode ]] && ls -l "/proc/$1/fd" 2>/dev/null | grep -q "socket:\[$inode\]"
}

# Starts the installed server on a free port; sets `server` and `port`.
start_server() {
    for _ in 1 2 3 4 5; do
        port=$(free_udp_port)
        "$bin/drovik-server" "$port" 2>"$work/server.err" &
        server=$!
        if wait_udp_bound "$port" 2>/dev/null && holds_port "$server" "$port"; then
            return 0
        fi
        # Someone else took the port first: the server has ended at bind.
        kill "$server" 2>/dev/null || true
        wait "$server" 2>/dev/null || true
        server=
    done
    fail "drovik-server did not bind a port: $(cat "$work/server.err")"
}

expected_files='./usr/bin/drovik-client-fast
./usr/bin/drovik-client-slow
./usr/bin/drovik-compare
./usr/bin/drovik-fetch
./usr/bin/drovik-server
./usr/bin/drovik-trace
./usr/bin/drovik-trace-plot
./usr/share/man/man1/drovik-client-fast.1.gz
./usr/share/man/man1/drovik-client-slow.1.gz
./usr/share/man/man1/drovik-client.1.gz
./usr/share/man/man1/drovik-compare.1.gz
./usr/share/man/man1/drovik-fetch.1.gz
./usr/share/man/man1/drovik-server.1.gz
./usr/share/man/man1/drovik-trace-plot.1.gz
./usr/share/man/man1/drovik-trace.1.gz'

echo "== cpack -G DEB"
(cd "$build" && cpack -G DEB -B "$work/package") >"$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log"; fail "cpack -G DEB failed"; }
debs=("$work"/package/*.deb)
((${#debs[@]} == 1)) && [[ -f ${debs[0]} ]] || fail "expected one package, found: ${debs[*]}"
deb=${debs[0]}
[[ $(basename "$deb") == drovik_*_*.deb ]] || fail "unexpected package name $(basename "$deb")"
for field in Package Version Architecture Maintainer Section Description Depends; do
    [[ -n $(dpkg-deb -f "$deb" "$field") ]] || fail "control field $field is empty"
done
[[ $(dpkg-deb -f "$deb" Package) == drovik ]] || fail "package is not named drovik"
[[ $(dpkg-deb -f "$deb" Recommends) == gnuplot-nox ]] || fail "Recommends: $(dpkg-deb -f "$deb" Recommends)"
depends=$(dpkg-deb -f "$deb" Depends)
for library in libc6 libfmt9 libstdc++6; do
    [[ $depends == *"$library"* ]] || fail "Depends lacks $library: $depends"
done

echo "== dpkg -x"
root=$work/root
dpkg -x "$deb" "$root"
files=$(cd "$root" && find . ! -type d | sort)
[[ $files == "$expected_files" ]] || fail "package holds:"$'\n'"$files"
for link in drovik-client-fast:drovik-client drovik-client-slow:drovik-client drovik-trace-plot:drovik-trace; do
    [[ $(readlink "$root/usr/share/man/man1/${link%%:*}.1.gz") == ${link#*:}.1.gz ]] ||
        fail "${link%%:*}.1.gz does not lead to ${link#*:}.1.gz"
done
bin=$root/usr/bin
[[ -x $bin/drovik-trace-plot ]] || fail "drovik-trace-plot is not executable"
for program in drovik-server drovik-client-fast drovik-client-slow drovik-fetch drovik-trace drovik-compare; do
    [[ -x $bin/$program ]] || fail "$program is not executable"
    [[ $(file -b "$bin/$program") == ELF*executable* ]] || fail "$program: $(file -b "$bin/$program")"
done

echo "== cmake --install"
cmake --install "$build" --prefix "$work/prefix" >/dev/null
installed=$(cd "$work/prefix" && find . ! -type d | sort)
[[ $installed == "${expected_files//.\/usr/.}" ]] || fail "cmake --install put:"$'\n'"$installed"

echo "== manual pages"
man1=$root/usr/share/man/man1
for page in drovik-server drovik-client drovik-fetch drovik-trace drovik-compare; do
    mandoc -T lint -W warning "$man1/$page.1.gz" >"$work/lint" 2>&1 || true
    [[ ! -s $work/lint ]] || fail "mandoc -T lint $page.1: $(cat "$work/lint")"
    zcat "$man1/$page.1.gz" | groff -ww -z -mdoc 2>"$work/lint" || fail "groff failed on $page.1"
    [[ ! -s $work/lint ]] || fail "groff -ww $page.1: $(cat "$work/lint")"
done
for name in drovik-server drovik-client-fast drovik-client-slow drovik-fetch drovik-trace drovik-trace-plot \
    drovik-compare; do
    MANWIDTH=80 man --warnings -l "$man1/$name.1.gz" >"$work/page" 2>"$work/lint" || fail "man -l $name.1"
    [[ ! -s $work/lint ]] || fail "man -l $name.1 warned: $(cat "$work/lint")"
    for section in NAME SYNOPSIS DESCRIPTION 'EXIT STATUS' DIAGNOSTICS EXAMPLES; do
        grep -q "^$section" "$work/page" || fail "$name(1) has no $section section"
    done
    # Reached by name, the way a user asks for it.
    case $name in
    drovik-server) title=DROVIK-SERVER ;;
    drovik-fetch) title=DROVIK-FETCH ;;
    drovik-compare) title=DROVIK-COMPARE ;;
    drovik-trace*) title=DROVIK-TRACE ;;
    *) title=DROVIK-CLIENT ;;
    esac
    MANWIDTH=80 man -M "$root/usr/share/man" "$name" 2>/dev/null | grep -q "^$title(1)" ||
        fail "man $name does not find its page"
done

echo "== bad arguments"
expect 1 "Usage: ./drovik-server port" "$bin/drovik-server"
expect 1 "Usage: ./drovik-server port" "$bin/drovik-server" 1 2
expect 1 "Invalid port number." "$bin/drovik-server" 0
expect 1 "Invalid port number." "$bin/drovik-server" 65536
for client in drovik-client-fast drovik-client-slow; do
    usage="Usage: ./drovik-client ip port output_file bytes"
    expect 1 "$usage" "$bin/$client"
    expect 1 "$usage" "$bin/$client" 127.0.0.1 4000 "$work/never"
    expect 1 "Invalid IP address." "$bin/$client" localhost 4000 "$work/never" 1
    expect 1 "Invalid port." "$bin/$client" 127.0.0.1 0 "$work/never" 1
    expect 1 "Invalid file size." "$bin/$client" 127.0.0.1 4000 "$work/never" 0
    expect 1 "Invalid file size." "$bin/$client" 127.0.0.1 4000 "$work/never" -5
    [[ ! -e $work/never ]] || fail "$client created its output file on bad arguments"
done
expect 2 "PORT: Value 0 not in range 1 to 65535"$'\n'"Run with --help for more information." \
    "$bin/drovik-fetch" 127.0.0.1 0 "$work/never" 1
[[ ! -e $work/never.part ]] || fail "drovik-fetch created its .part on bad arguments"

echo "== no server"
# A port nobody listens on: loopback refuses the first request.
expect 1 "poll returned value different than POLLIN" \
    "$bin/drovik-client-slow" 127.0.0.1 "$(free_udp_port)" "$work/refused" 1

echo "== downloads"
start_server
for run in fast:5000 slow:2500; do
    variant=${run%%:*}
    bytes=${run##*:}
    output=$work/$variant.bin
    status=0
    timeout 60 "$bin/drovik-client-$variant" 127.0.0.1 "$port" "$output" "$bytes" \
        >"$work/progress" 2>"$work/err" || status=$?
    [[ $status == 0 ]] || fail "drovik-client-$variant ended with $status: $(cat "$work/err")"
    [[ ! -s $work/err ]] || fail "drovik-client-$variant wrote to standard error: $(cat "$work/err")"
    [[ $(tail -n 1 "$work/progress") == "100.000% done" ]] ||
        fail "drovik-client-$variant's last progress line: $(tail -n 1 "$work/progress")"
    "$verify" "$output" "$bytes" || fail "drovik-client-$variant downloaded wrong bytes"
done
cmp -n 2500 "$work/fast.bin" "$work/slow.bin" || fail "the two clients disagree"
expect 0 "" "$bin/drovik-fetch" --quiet 127.0.0.1 "$port" "$work/fetch.bin" 5000
"$verify" "$work/fetch.bin" 5000 || fail "drovik-fetch downloaded wrong bytes"
[[ ! -e $work/fetch.bin.part ]] || fail "drovik-fetch left its .part behind"

echo "== drovik-trace"
expect 2 "LISTEN_PORT is required"$'\n'"Run with --help for more information." "$bin/drovik-trace"
relay_port=$(free_udp_port)
"$bin/drovik-trace" --idle 2 --loss 0.1 -o "$work/trace.csv" "$relay_port" 127.0.0.1 "$port" 2>"$work/trace.err" &
relay=$!
wait_udp_bound "$relay_port"
timeout 60 "$bin/drovik-client-fast" 127.0.0.1 "$relay_port" "$work/traced.bin" 5000 >/dev/null ||
    fail "drovik-client-fast through drovik-trace failed"
# Two seconds without a datagram end the relay.
status=0
wait "$relay" || status=$?
relay=
[[ $status == 0 ]] || fail "drovik-trace ended with $status: $(cat "$work/trace.err")"
"$verify" "$work/traced.bin" 5000 || fail "the download through drovik-trace differs"
[[ $(head -n 1 "$work/trace.csv") == time,client,direction,kind,offset,length,bytes,first,fate ]] ||
    fail "the trace begins with $(head -n 1 "$work/trace.csv")"
grep -q ': up [0-9]* down [0-9]*, GETs .*; up: lost [0-9]*, copied 0, overflow 0; down: lost ' "$work/trace.err" ||
    fail "no summary line of a played path: $(cat "$work/trace.err")"
kill -0 "$server" 2>/dev/null || fail "drovik-server ended: $(cat "$work/server.err")"
[[ ! -s $work/server.err ]] || fail "drovik-server wrote to standard error: $(cat "$work/server.err")"
echo "== drovik-compare"
expect 2 "drovik-compare: two clients named fast" "$bin/drovik-compare" fast fast
# With PATH empty of drovik's programs, it must find the installed ones beside itself.
status=0
PATH=/usr/bin:/bin timeout 120 "$bin/drovik-compare" --runs 1 --size 5000 --path direct --path loss fast fetch \
    >"$work/table.md" 2>"$work/err" || status=$?
[[ $status == 0 ]] || fail "drovik-compare ended with $status: $(cat "$work/err") $(cat "$work/table.md")"
[[ $(grep -c '^| [a-z]* | f[a-z]* | 1 / 1 | ' "$work/table.md") == 4 ]] ||
    fail "drovik-compare's table: $(cat "$work/table.md")"
echo "package test passed: $(basename "$deb")"
