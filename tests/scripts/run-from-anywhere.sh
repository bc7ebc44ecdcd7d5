#!/usr/bin/env bash
# scripts/run.sh called from another folder: file names in its arguments are
# taken from where it is called, and with --json standard output holds JSON
# records only (what the build says goes to standard error).
# Usage: run-from-anywhere.sh REPOSITORY BUILD-FOLDER
set -euo pipefail
repo=$1
export QUELLINE_BUILD_DIR=$2
here=$(mktemp -d)
trap 'rm -rf "$here"' EXIT
cd "$here"
printf 'prefs set haptic false\nboot\nexpect file.haptic false\n' > my.scn

fail() { echo "run-from-anywhere: $*" >&2; exit 1; }

"$repo/scripts/run.sh" --json --root myroot run my.scn > out.jsonl 2> err.txt ||
  fail "run my.scn failed: $(cat err.txt)"
[ -s out.jsonl ] || fail "no output"
if grep -qv '^{' out.jsonl; then fail "standard output holds more than JSON records: $(grep -v '^{' out.jsonl | head -3)"; fi
jq -s -e 'all(.[]; has("type"))' out.jsonl > /dev/null || fail "a line is no JSON record with a type"
grep -q '"held":true' out.jsonl || fail "the expectation did not hold"
[ -f myroot/var/mobile/Library/Preferences/com.veltrasse.quelline.plist ] ||
  fail "--root myroot did not land in the calling folder"

# The README's example as it is written there, from this other folder.
QUELLINE=$repo
"$QUELLINE/scripts/run.sh" --json run "$QUELLINE/examples/toggle.scn" > readme.jsonl 2> err.txt ||
  fail "the README's example failed: $(cat err.txt)"
jq . readme.jsonl > /dev/null || fail "the README's example printed more than JSON records"
echo "ok"
