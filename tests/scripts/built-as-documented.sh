#!/usr/bin/env bash
# The README says what scripts/run.sh builds: every program and deliverable
# that it lists under build/release/bin/ must come out of the targets that
# scripts/run.sh builds (built here, on this build tree). And the documents
# installed with the programs find the pictures they show.
# Usage: built-as-documented.sh REPOSITORY BUILD-FOLDER
set -euo pipefail
repo=$1
build=$2
fail() {
  echo "built-as-documented: $*" >&2
  exit 1
}

# The README's list: the backquoted names in its paragraph "The programs
# land in ...".
listed=$(awk '/^The programs land in/ { on = 1 } on && /^$/ { exit } on' "$repo/README.md" |
  grep -o '`[A-Za-z][A-Za-z0-9._-]*/\?`' | tr -d '`')
[ -n "$listed" ] || fail "README.md has no paragraph \"The programs land in ...\" naming programs"
# The targets scripts/run.sh builds.
targets=$(sed -n 's/.*cmake --build "$build" --target \([^>]*\)>&2.*/\1/p' "$repo/scripts/run.sh")
[ -n "$targets" ] || fail "scripts/run.sh builds no --target that this test can find"

# shellcheck disable=SC2086
cmake --build "$build" --target $targets >/dev/null || fail "building $targets failed"
# What the targets make: their own files and everything they depend on.
# shellcheck disable=SC2086
built=$(
  ninja -C "$build" -t inputs $targets
  for target in $targets; do
    ninja -C "$build" -t query "$target" | sed -n 's/^    //p'
  done
)
for name in $listed; do
  name=${name%/}
  grep -qx "bin/$name\(/.*\)\?" <<<"$built" ||
    fail "README.md says $name lands in bin/, but scripts/run.sh (--target $targets) does not build it"
done

# The documents installed, and every file they link to (a picture, another
# document) beside them.
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null || fail "installing failed"
docs=$prefix/share/doc/quelline
[ -d "$docs" ] || fail "nothing installed in share/doc/quelline"
for doc in "$docs"/*.md; do
  for target in $(grep -o '](\([^)#:]\+\)\(#[^)]*\)\?)' "$doc" | sed 's/^](\([^)#]*\).*$/\1/'); do
    [ -f "$docs/$target" ] || fail "$(basename "$doc") links to $target, which is not installed"
  done
done
echo "ok: $(tr "\n" " " <<<"$listed")"
