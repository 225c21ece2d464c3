#!/usr/bin/env bash
# The main job, as far as the system is built: two users, alice and bob, each
# with a stand-in Outlook process (outlook-host) on one shared post office and
# the Quillmere add-in installed and loaded. alice sends bob a mail with an
# attachment through the helper library; bob's host files it into his Inbox
# and raises NewMail; then both hosts quit, and their logs and the add-in's
# debug logs are shown. Last, the add-in's cabinet path on its own: an item
# packed into the encrypted cabinet for a partner and unpacked there.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh
export CC=clang CXX=clang++
cmake -S . -B build/demo -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQM_BUILD_TESTS=OFF >/dev/null
targets=(outlook-host quillmere-cabinet-demo Quillmere qm_rdo qm_cabinet)
# The rule helper that the add-in starts at its first start, once it exists.
cmake --build build/demo --target help | grep -q RulePlanterx64 && targets+=(RulePlanterx64)
cmake --build build/demo --target "${targets[@]}" >/dev/null
host=$PWD/build/demo/bin/outlook-host
demo=$PWD/build/demo/bin/quillmere-cabinet-demo
work=$(mktemp -d /tmp/quillmere-demo.XXXXXX)
po=$work/postoffice
# The platform clock runs 20 times faster: the hosts look for mail every
# 1000 platform ms, i.e. every 50 ms.
export QUILLMERE_TIME_SCALE=20
step() { printf '\n== %s\n' "$*"; }
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
}
trap cleanup EXIT
# Waits (at most ~10 s) until a command's output contains a text.
wait_for() {
    local text=$1; shift
    for _ in $(seq 200); do
        if "$@" 2>/dev/null | grep -qF -- "$text"; then return 0; fi
        sleep 0.05
    done
    echo "timed out waiting for \"$text\" from: $*" >&2
    return 1
}

step "two user directories, each with a mail profile"
$host init "$work/alice" --profile Alice --address alice@example.org
$host init "$work/bob" --profile Bob --address bob@example.org --exchange

step "the add-in installed for both, with its debug log switched on"
printf 'Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\Software\\Brindlecast\\Quillmere\\Config]\r\n"debug"=dword:00000001\r\n' >"$work/quillmere.reg"
for u in alice bob; do
    $host regedit "$work/$u" "$work/quillmere.reg"
done
$host install "$work/alice" --profile Alice
$host install "$work/bob" --profile Bob

step "two host processes on one post office"
$host run "$work/alice" --postoffice "$po" >"$work/alice.log" 2>&1 & pids+=($!)
$host run "$work/bob" --postoffice "$po" >"$work/bob.log" 2>&1 & pids+=($!)
wait_for "started" $host log "$work/alice"
wait_for "started" $host log "$work/bob"
$host list "$work/bob"

step "alice sends bob a mail with an attachment"
printf 'Item;Amount\nPaper;12\nInk;30\n' >"$work/costs.csv"
$host send "$work/alice" --to bob@example.org --subject "Costs for March" \
    --body "Hello Bob, the costs are attached. Alice" --attach "$work/costs.csv"
echo "in the post office:"; (cd "$po" && find . -type f ! -name .lock | sort)

step "it arrives in bob's Inbox"
wait_for "Costs for March" $host list "$work/bob" Inbox
$host list "$work/bob" Inbox
$host show "$work/bob" Inbox 1
step "alice's copy is in her Sent Items"
$host list "$work/alice" "Sent Items"

step "the Options dialog of alice's Outlook offers the add-in's page"
$host options "$work/alice"
# Let the add-in's heartbeat start its engine (a few platform seconds).
sleep 1

step "both users quit"
$host quit "$work/alice"
$host quit "$work/bob"
wait "${pids[@]}"
pids=()
step "alice's host log"
cat "$work/alice.log"
step "bob's host log"
cat "$work/bob.log"

for u in alice bob; do
    step "the Quillmere add-in's debug log ($u)"
    cat "$work/$u"/drive_c/Users/*/AppData/Local/Temp/Quillmere_debug.log
done

step "the add-in's cabinet path: an item packed, encrypted, and unpacked by the partner"
cab=$work/cabinet
$demo init "$cab/alice" --address alice@example.org --partner bob@example.org --share Team --password 's3cret'
$demo init "$cab/bob" --address bob@example.org --partner alice@example.org --share Team --password 's3cret'
$demo send "$cab/alice" --postoffice "$cab/postoffice" --subject "Dentist Tuesday" --body "Bring the forms."
zuf=$(ls "$cab"/postoffice/bob@example.org/new/*.zuf)
printf 'first bytes of the cabinet: %s (CRYP = encrypted)\n' "$(head -c 4 "$zuf")"
$demo receive "$cab/bob" --postoffice "$cab/postoffice"
step "the same item without a password is a plain MS-CAB file; cabextract reads it"
$demo init "$cab/carol" --address carol@example.org --partner dave@example.org --share Open
$demo send "$cab/carol" --postoffice "$cab/postoffice" --subject "Plain" --body "No secret here."
cabextract -l "$cab"/postoffice/dave@example.org/new/*.zuf

printf '\nThe user directories are in %s\n' "$work"
