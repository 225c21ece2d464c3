#!/usr/bin/env bash
# Whole-host figures of two scenarios, for one or more builds side by side in
# one run (a build is its bin/ directory: outlook-host, the add-in, the
# helper library, store_fill). Typically the build of a base commit against
# the build of a change:
#
#   bench/scenario/burst.sh before=/tmp/base/build/bin after=build/release/bin
#
# burst    bob (an Exchange mailbox) adds --items tasks (default 1,000) to his
#          shared Tasks folder, one control-socket command each, as fast as
#          they go; alice (Personal Folders) shares the folder with him.
#          Printed: real seconds from the first add until alice's Tasks holds
#          them all; CPU (user + system) of each whole host process from the
#          first add to that moment, per item; peak resident memory of each.
#          The adding costs bob's host its part of the object model too.
# folder   carol (Personal Folders) shares a Tasks folder that holds
#          --folder-items items (default 100,000), filled into her store file
#          before her host starts; once her add-in has listed the folder and
#          checked it until the items left the check's 15-minute window, her
#          host's peak resident memory. The same with
#          1,000 items gives the slope: bytes per item.
#
# --perf DIR records a CPU profile (perf record -g) of each host during the
# burst into DIR/<build>-alice.data and DIR/<build>-bob.data.
#
# Fair about: the same machine, scenario and time scale (QUILLMERE_TIME_SCALE,
# default 20) for every build, runs of the builds one after another. Not
# fair: the seconds to converge include the add-in's own timers (scan and
# send periods), which no build changes; the machine is shared, so repeat a
# run before trusting a small difference.
set -euo pipefail

items=1000
folder_items=100000
perf_dir=
builds=()
while [ $# -gt 0 ]; do
    case $1 in
        --items) items=$2; shift 2 ;;
        --folder-items) folder_items=$2; shift 2 ;;
        --perf) perf_dir=$(mkdir -p "$2" && cd "$2" && pwd); shift 2 ;;
        -h|--help) sed -n '2,31p' "$0"; exit 0 ;;
        *=*) builds+=("$1"); shift ;;
        *) echo "unknown argument: $1" >&2; exit 2 ;;
    esac
done
[ ${#builds[@]} -gt 0 ] || { echo "usage: $0 [--items N] [--folder-items M] NAME=BINDIR ..." >&2; exit 2; }
export QUILLMERE_TIME_SCALE=${QUILLMERE_TIME_SCALE:-20}
ticks=$(getconf CLK_TCK)
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
}
trap cleanup EXIT

cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
peak_kib() { awk '/^VmHWM:/ {print $2}' "/proc/$1/status"; }
# Waits until a command's output contains a text (at most about 10 minutes).
wait_for() {
    local text=$1; shift
    for _ in $(seq 6000); do
        if "$@" 2>/dev/null | grep -F -- "$text" >/dev/null; then return 0; fi
        sleep 0.1
    done
    echo "timed out waiting for \"$text\" from: $*" >&2
    return 1
}
start_host() {  # bindir userdir profile -> pid in $started
    "$1/outlook-host" run "$2" --postoffice "$work/postoffice" >"$2.log" 2>&1 &
    started=$!
    pids+=("$started")
    wait_for "started" "$1/outlook-host" log "$2"
}
share() {  # bindir userdir partner
    "$1/outlook-host" props "$2" Tasks --set used=1 --set ShareName=Team --set Password=s3cret \
        --set Users="$3" --apply >/dev/null
}
quit_host() {  # bindir userdir pid
    "$1/outlook-host" quit "$2" >/dev/null
    wait "$3" || true
}

# burst BINDIR -> "seconds cpu_alice_ms cpu_bob_ms peak_alice_mib peak_bob_mib"
burst() {
    local bin=$1 host=$1/outlook-host
    $host init "$work/alice" --profile Alice --address alice@example.org >/dev/null
    $host init "$work/bob" --profile Bob --address bob@example.org --exchange >/dev/null
    $host install "$work/alice" --profile Alice >/dev/null
    $host install "$work/bob" --profile Bob >/dev/null
    start_host "$bin" "$work/alice"; local alice=$started
    start_host "$bin" "$work/bob"; local bob=$started
    share "$bin" "$work/alice" bob@example.org
    share "$bin" "$work/bob" alice@example.org
    # Both folder threads take their first look (what a folder holds when it
    # is shared is known, not news) within the first simulated minutes.
    sleep $(( 600 / QUILLMERE_TIME_SCALE ))
    local a0 b0 t0 t1 a1 b1
    local recorders=()
    if [ -n "$perf_dir" ]; then
        perf record -q -g -o "$perf_dir/$name-alice.data" -p "$alice" 2>/dev/null & recorders+=($!)
        perf record -q -g -o "$perf_dir/$name-bob.data" -p "$bob" 2>/dev/null & recorders+=($!)
        sleep 1
    fi
    a0=$(cpu_ticks "$alice"); b0=$(cpu_ticks "$bob"); t0=$(date +%s.%N)
    for i in $(seq 1 "$items"); do
        $host add "$work/bob" Tasks --subject "Inventory shelf $i" >/dev/null
    done
    wait_for "Tasks ($items)" $host list "$work/alice"
    t1=$(date +%s.%N); a1=$(cpu_ticks "$alice"); b1=$(cpu_ticks "$bob")
    for r in "${recorders[@]}"; do kill -INT "$r"; wait "$r" || true; done
    local pa pb
    pa=$(peak_kib "$alice"); pb=$(peak_kib "$bob")
    quit_host "$bin" "$work/alice" "$alice"
    quit_host "$bin" "$work/bob" "$bob"
    awk -v t0="$t0" -v t1="$t1" -v a="$((a1 - a0))" -v b="$((b1 - b0))" -v n="$items" \
        -v hz="$ticks" -v pa="$pa" -v pb="$pb" \
        'BEGIN {printf "%.1f %.2f %.2f %.1f %.1f", t1 - t0, a * 1000 / hz / n, b * 1000 / hz / n,
                pa / 1024, pb / 1024}'
}

# folder BINDIR N -> peak KiB of a host whose shared Tasks folder holds N items
folder() {
    local bin=$1 n=$2 host=$1/outlook-host user=$work/carol$2
    $host init "$user" --profile Carol --address carol@example.org >/dev/null
    $host install "$user" --profile Carol >/dev/null
    local ini=$user/profiles/Carol/profile.ini file
    file=$(awk -F= '/^File=/ {print $2; exit}' "$ini")
    case $file in /*) ;; *) file=$user/profiles/Carol/$file ;; esac
    "$bin/store_fill" "$file" Tasks "$n"
    start_host "$bin" "$user"; local pid=$started
    share "$bin" "$user" dave@example.org
    # The first full scan, the first check (a 25-day window: every item),
    # and routine checks until the items have left the 15-minute window.
    sleep $(( 1200 / QUILLMERE_TIME_SCALE ))
    peak_kib "$pid"
    quit_host "$bin" "$user" "$pid"
}

results=()
for b in "${builds[@]}"; do
    name=${b%%=*}; bin=$(cd "${b#*=}" && pwd)
    work=$(mktemp -d /tmp/quillmere-scenario.XXXXXX)
    echo "== $name ($bin): burst of $items items" >&2
    r_burst=$(burst "$bin")
    echo "== $name: a shared folder of $folder_items items, and of 1000" >&2
    big=$(folder "$bin" "$folder_items")
    small=$(folder "$bin" 1000)
    results+=("$name $r_burst $big $small")
    rm -rf "$work"
done

printf '\nburst of %d items from an Exchange user to a Personal Folders user; time scale %s\n' \
    "$items" "$QUILLMERE_TIME_SCALE"
printf '%-10s %10s %14s %14s %12s %12s\n' build "converge s" "CPU/item alice" "CPU/item bob" \
    "peak alice" "peak bob"
for r in "${results[@]}"; do
    read -r name secs ca cb pa pb big small <<<"$r"
    printf '%-10s %10s %11s ms %11s ms %8s MiB %8s MiB\n' "$name" "$secs" "$ca" "$cb" "$pa" "$pb"
done
printf '\nhost with a shared folder of %d items (and of 1,000)\n' "$folder_items"
printf '%-10s %14s %14s %16s\n' build "peak" "peak at 1,000" "bytes per item"
for r in "${results[@]}"; do
    read -r name secs ca cb pa pb big small <<<"$r"
    awk -v name="$name" -v big="$big" -v small="$small" -v n="$folder_items" \
        'BEGIN {printf "%-10s %10.1f MiB %10.1f MiB %16.0f\n", name, big / 1024, small / 1024,
                (big - small) * 1024 / (n - 1000)}'
done
