#!/usr/bin/env bash
# The main job, as far as the system is built: two users, alice and bob, share
# a folder "Team". alice's side saves an item, packs it into the encrypted
# cabinet the add-in mails, and drops it into bob's mail directory of a shared
# post office; bob's side unpacks it with the folder password. Both sides
# start the add-in's logs and registry as the add-in does at start-up.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh
export CC=clang CXX=clang++
cmake -S . -B build/demo -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQM_BUILD_TESTS=OFF >/dev/null
cmake --build build/demo --target outlook-host >/dev/null
host=build/demo/bin/outlook-host
work=$(mktemp -d /tmp/quillmere-demo.XXXXXX)
po=$work/postoffice
step() { printf '\n== %s\n' "$*"; }

step "two user directories with the add-in's registry settings"
$host init "$work/alice" --address alice@example.org --partner bob@example.org --share Team --password 's3cret'
$host init "$work/bob" --address bob@example.org --partner alice@example.org --share Team --password 's3cret'
iconv -f UTF-16LE -t UTF-8 "$work/alice/registry/HKEY_CURRENT_USER.reg" | tr -d '\r\357\273\277'

step "alice changes an item: it is saved, packed and sent to bob"
$host send "$work/alice" --postoffice "$po" --subject "Dentist Tuesday" --body "Bring the forms."
zuf=$(ls "$po"/bob@example.org/new/*.zuf)
printf 'first bytes of the cabinet: %s (CRYP = encrypted)\n' "$(head -c 4 "$zuf")"

step "bob's add-in picks it up and unpacks it with the folder password"
$host receive "$work/bob" --postoffice "$po"

step "the same item without a password is a plain MS-CAB file; cabextract reads it"
$host init "$work/carol" --address carol@example.org --partner dave@example.org --share Open
$host send "$work/carol" --postoffice "$po" --subject "Plain" --body "No secret here."
cabextract -l "$po"/dave@example.org/new/*.zuf

step "alice's debug log"
cat "$work/alice/drive_c/Users/alice/AppData/Local/Temp/Quillmere_debug.log"
step "bob's debug log"
cat "$work/bob/drive_c/Users/bob/AppData/Local/Temp/Quillmere_debug.log"
printf '\nThe user directories are in %s\n' "$work"
