#!/usr/bin/env bash
# The main job: two users keep a shared Tasks folder in step by e-mail.
#
# alice (Personal Folders) and bob (an Exchange mailbox) each run a stand-in
# Outlook 2010 process (outlook-host) with the Quillmere add-in installed, on
# one shared post office; at its first start the add-in runs its rule helper,
# which plants the Outlook rule for sync mails and closes Outlook, and both
# start Outlook again (the logs at the end come with what their lines mean).
# Both share their Tasks folder as "Team" with the other,
# with a password, through the add-in's folder Properties page. Then bob adds
# a task, alice changes it, bob deletes it, and bob adds a burst of tasks:
# each change travels as an encrypted sync mail (a burst as packet mails) and
# is applied by the partner's add-in. Then alice shares her Calendar with a
# basic synchronisation, which sends what it holds. Last, the add-ins' debug logs and the
# cabinet format on its own. Pictures of the pages, the progress window and
# the log viewer go to doc/pictures/.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh
export CC=clang CXX=clang++
mkdir -p build
cmake -S . -B build/demo -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQM_BUILD_TESTS=OFF >/dev/null
echo "building into build/demo (a first build takes minutes; the full log is build/demo-build.log) ..."
# Ninja counts its steps ("[12/340] ..."): one line of progress per tenth.
if ! cmake --build build/demo --target outlook-host quillmere-cabinet-demo Quillmere qm_rdo \
        qm_cabinet RulePlanterx64 QMRLogWindow 2>&1 | tee build/demo-build.log |
    awk -F'[][/]' '/^\[[0-9]+\/[0-9]+\]/ { n = $2; total = $3; tenth = int(10 * n / total);
        if (tenth > shown) { shown = tenth; printf "  %3d%%  step %d of %d\n", 10 * tenth, n, total;
        fflush() } }'; then
    tail -n 40 build/demo-build.log
    exit 1
fi
echo "built: the programs are in build/demo/bin (outlook-host, RulePlanterx64, QMRLogWindow,"
echo "       libQuillmere.so, the add-in)"
host=$PWD/build/demo/bin/outlook-host
demo=$PWD/build/demo/bin/quillmere-cabinet-demo
work=$(mktemp -d /tmp/quillmere-demo.XXXXXX)
po=$work/postoffice
# The platform clock runs 20 times faster than real time: the add-in's
# two-minute folder check comes every 6 s, its one-second ticks every 50 ms.
export QUILLMERE_TIME_SCALE=20
step() { printf '\n== %s\n' "$*"; }
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
}
trap cleanup EXIT
# Waits (at most about a minute) until a command's output contains a text.
wait_for() {
    local text=$1; shift
    for _ in $(seq 600); do
        if "$@" 2>/dev/null | grep -qF -- "$text"; then return 0; fi
        sleep 0.1
    done
    echo "timed out waiting for \"$text\" from: $*" >&2
    return 1
}
# Waits until a command's output no longer contains a text.
wait_gone() {
    local text=$1; shift
    for _ in $(seq 600); do
        if ! "$@" 2>/dev/null | grep -qF -- "$text"; then return 0; fi
        sleep 0.1
    done
    echo "timed out waiting for \"$text\" to leave: $*" >&2
    return 1
}
debuglog() { echo "$work/$1"/drive_c/Users/*/AppData/Local/Temp/Quillmere_debug.log; }

step "two user directories: alice with Personal Folders, bob with an Exchange mailbox"
$host init "$work/alice" --profile Alice --address alice@example.org
$host init "$work/bob" --profile Bob --address bob@example.org --exchange

step "the add-in installed for both, its debug log switched on"
printf 'Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\Software\\Brindlecast\\Quillmere\\Config]\r\n"debug"=dword:00000001\r\n' >"$work/quillmere.reg"
for u in alice bob; do
    $host regedit "$work/$u" "$work/quillmere.reg"
done
$host install "$work/alice" --profile Alice
$host install "$work/bob" --profile Bob

step "first start: the add-in runs its rule helper, which plants its rule and closes Outlook"
# At its first start with its Config key the add-in starts RulePlanterx64
# once (it marks "rulecreator_was_set"). The helper reaches the running
# Outlook through "Outlook.Application" and, because this is Outlook 2010
# (version 14; it acts under 12 to 14 only), replaces any rule "{QUILLMERE}"
# by one that files sync mails and packet mails into the folder
# "Quillmere", then quits Outlook, as it does to a real one.
for u in alice bob; do
    $host run "$work/$u" --postoffice "$po" >"$work/$u-first.log" 2>&1
    echo "$u's first run ended by itself:"
    sed 's/^/  /' "$work/$u-first.log"
done

step "both start Outlook again on one post office; the add-in connects and starts"
$host run "$work/alice" --postoffice "$po" >"$work/alice.log" 2>&1 & pids+=($!)
$host run "$work/bob" --postoffice "$po" >"$work/bob.log" 2>&1 & pids+=($!)
for u in alice bob; do
    wait_for "started" $host log "$work/$u"
    # The Properties page is offered once the add-in's engine has started.
    wait_for "START" cat "$(debuglog $u)"
done
$host list "$work/alice"
echo "alice's rules (planted by the rule helper):"
$host rules "$work/alice" | sed 's/^/  /'

step "each shares the Tasks folder as \"Team\" with the other, through the folder Properties page"
$host props "$work/alice" Tasks --set used=1 --set ShareName=Team --set Password=s3cret \
    --set Users=bob@example.org --apply
$host props "$work/bob" Tasks --set used=1 --set ShareName=Team --set Password=s3cret \
    --set Users=alice@example.org --apply
echo "alice's settings as the add-in reads them:"
sed 's/^/  /' "$work"/alice/drive_c/Users/*/AppData/Local/Temp/Quillmere_settings.txt
# What a folder holds when it is shared counts as known (a basic
# synchronisation would send it): wait until both folder threads have taken
# their first look, so that the next task is a change.
wait_for "Thread is running for Team" cat "$(debuglog alice)"
wait_for "RCI::Reset this folder" cat "$(debuglog bob)"

step "bob adds a task; it leaves as a sync mail and appears in alice's Tasks"
$host add "$work/bob" Tasks --subject "Order printer paper" --body "Two boxes, A4."
wait_for "Order printer paper" $host list "$work/alice" Tasks
echo "bob's Sent Items:"; $host list "$work/bob" "Sent Items"
mail=$(grep -l 'SUBJECT:Order printer paper' "$po"/alice@example.org/cur/* | head -n 1)
echo "the mail in the post office (headers, and its attachment):"
python3 - "$mail" <<'PY'
import email, sys
msg = email.message_from_binary_file(open(sys.argv[1], "rb"))
for h in ("From", "To", "Subject"):
    print(f"  {h}: {msg[h]}")
for part in msg.walk():
    if part.get_content_maintype() == "text":
        body = part.get_payload(decode=True).decode("utf-8", "replace")
        print("  body:")
        for line in body.splitlines():
            if line.strip():
                print("    " + line.strip())
    name = part.get_filename()
    if name:
        data = part.get_payload(decode=True)
        print(f"  attachment {name}: {len(data)} bytes, starting {data[:4]!r} (CRYP: Blowfish-encrypted cabinet)")
PY
echo "alice's Tasks:"; $host list "$work/alice" Tasks
$host show "$work/alice" Tasks 1

step "alice changes the task; bob's copy follows"
$host change "$work/alice" Tasks 1 --subject "Order printer paper (done)"
wait_for "Order printer paper (done)" $host list "$work/bob" Tasks
echo "bob's Tasks:"; $host list "$work/bob" Tasks

step "bob deletes the task; a deletion notice removes alice's copy"
$host delete "$work/bob" Tasks 1
wait_gone "Order printer paper" $host list "$work/alice" Tasks
echo "alice's Tasks: $($host list "$work/alice" Tasks | wc -l) items"

step "a burst: bob adds 12 tasks at once; they travel together as packet mails"
for i in $(seq 1 12); do
    $host add "$work/bob" Tasks --subject "Inventory shelf $i" >/dev/null
done
wait_for "Inventory shelf 12" $host list "$work/alice" Tasks
for _ in $(seq 600); do
    [ "$($host list "$work/alice" Tasks | grep -c 'Inventory shelf')" -eq 12 ] && break
    sleep 0.1
done
echo "bob's Sent Items:"; $host list "$work/bob" "Sent Items" | cut -f1,2
echo "alice's Tasks:"; $host list "$work/alice" Tasks | cut -f1,2

step "a basic synchronisation: alice's appointments go to bob when she shares her Calendar"
$host props "$work/bob" Calendar --set used=1 --set ShareName=Dates --set Password=s3cret \
    --set Users=alice@example.org --apply
$host add "$work/alice" Calendar --subject "Team lunch" --class IPM.Appointment >/dev/null
$host add "$work/alice" Calendar --subject "Quarterly review" --class IPM.Appointment >/dev/null
# The page asks whether to send what the folder holds; the answer is yes.
$host props "$work/alice" Calendar --set used=1 --set ShareName=Dates --set Password=s3cret \
    --set Users=bob@example.org --set BASICSYNC=1 --apply --answer ok
wait_for "Quarterly review" $host list "$work/bob" Calendar
echo "bob's Calendar:"; $host list "$work/bob" Calendar | cut -f1,2

step "pictures of what alice sees, as the stand-in draws them (doc/pictures/)"
pictures=$PWD/doc/pictures
mkdir -p "$pictures"
$host picture "$work/alice" options "$pictures/options-page.png"
# The pointer rests on the address-book button until its tooltip shows.
$host picture "$work/alice" props Tasks "$pictures/folder-page.png" --hover 1220
$host picture "$work/alice" progress "$pictures/basic-sync-progress.png"
$host picture "$work/alice" logviewer "$pictures/log-viewer.png"

step "both quit"
$host quit "$work/alice"
$host quit "$work/bob"
wait "${pids[@]}"
pids=()

step "the add-ins' logs"
cat <<'TXT'
The lines below are the add-in's own texts, as it writes them; none of them
is a failure of this run:
- Several debug-log texts are German, as the add-in's authors wrote them:
  "pSI::NEUer Eintrag" (a new item imported), "pSI::Item2Del" (an item
  deleted by a deletion notice), "pSI:is overwrite" (an item overwritten).
- The error log gets every report of the add-in, its notes too (code 0,
  written as "0x0 GetLastError: N"); the first report of a run, "START",
  stands alone. A healthy run of a newly shared folder writes:
  "Folder is empty, or cacheload failed: MAPI_E_CALL_FAILED" (alice: her
  folder's thread found no stored list, as a new share has none),
  "RESET.. check mails modified after last scan..." (bob: an Exchange
  folder without stored synchronisation state starts afresh),
  "changeKeylist is empty" (the first check of a folder not listed yet),
  and "IncSyncVersion: MAPI_E_NOT_FOUND" once per item sent (it has no
  categories to copy; its sync version was raised all the same).
TXT
for u in alice bob; do
    step "what the add-in wrote to its debug log ($u), the sync road's lines"
    grep -E 'ADDFOLDER|Thread is running|RCI::Reset this folder|RCI:CHECK:NEWELEM|CHECK CHANGES::(PREPAIRE|NEWITEM is)|sendSyncMessage:: |SaveSpecialMail saved|basicSyncProcessDirectory=>|sendDelMessage OK|pSI::(NEUer|Item2Del)|pSI:is overwrite|Shutdown' \
        "$(debuglog $u)" | head -n 45 || true
    step "the add-in's error log ($u)"
    cat "$work/$u"/drive_c/Users/*/AppData/Local/Temp/Quillmere_error.log 2>/dev/null || echo "(none)"
done

step "the cabinet on its own: without a password it is a plain MS-CAB file that cabextract reads"
cab=$work/cabinet
$demo init "$cab/carol" --address carol@example.org --partner dave@example.org --share Open
$demo send "$cab/carol" --postoffice "$cab/postoffice" --subject "Plain" --body "No secret here."
cabextract -l "$cab"/postoffice/dave@example.org/new/*.zuf

printf '\nThe user directories are in %s\n' "$work"
