#!/usr/bin/env bash
# Several preference editors (quelline-prefs processes), a home screen
# switching its Control Center toggle and the Settings app's pane (both
# driven by quelline-sim live, on a real clock, the pane in a process of
# its own) change one preference file at once, on one device root, round
# after round. Each editor owns one key and checks, before each change,
# that its last value is still in the file; so does the pane, for its key;
# the home screen checks at the end that its last toggle is. No update may
# be lost, ever.
#
#   editors_and_toggle.sh BIN_DIR ROOT [WRITERS] [ROUNDS]
set -euo pipefail
bin=$1
root=$2
writers=${3:-4}
rounds=${4:-40}
prefs="$bin/quelline-prefs"
sim="$bin/quelline-sim"
keys=(timerTime numberOfTaps haptic disableSound hideBanners touchToReveal hideAnimated
  hideNCNotifications hideIconsWithSwitch useTimer enableHideIcons)
# The pane's own key: its switch, flipped once a round (first off: on is
# its default, and a switch already in place writes nothing).
pane_key=enableMuteSwitch
if ((writers < 1 || writers > ${#keys[@]})); then
  echo "WRITERS must be 1 to ${#keys[@]}" >&2
  exit 2
fi

rm -rf "$root"
mkdir -p "$root"
# The toggle writes two keys per switch, so its writes and the editors'
# interleave in every way.
"$prefs" --root "$root" set hideIconsWithToggle true >/dev/null

# The value editor-owned KEY gets in ROUND.
value() {
  case $1 in
  timerTime) echo $((($2 % 50) + 1)) ;;
  numberOfTaps) echo $((($2 % 10) + 1)) ;; # the editor takes 1 to 10 taps
  *) if (($2 % 2)); then echo true; else echo false; fi ;;
  esac
}

editor() {
  local key=$1 last="" got
  for ((r = 1; r <= rounds; r++)); do
    if [[ -n $last ]]; then
      got=$("$prefs" --root "$root" get "$key")
      if [[ $got != "$last" ]]; then
        echo "round $r: $key lost its value: expected $last, found $got" >&2
        return 1
      fi
    fi
    last=$(value "$key" "$r")
    "$prefs" --root "$root" set "$key" "$last" >/dev/null
  done
}

# As many switches of the toggle as the editors take rounds, 20 ms apart;
# then time for the last write to land, and the check.
toggles=$((rounds * 5))
{
  echo boot
  echo "settings open"
  pane_last=""
  for ((t = 0; t < toggles; t++)); do
    if ((t % 2)); then echo "toggle off"; else echo "toggle on"; fi
    if ((t % 5 == 0)); then
      [[ -n $pane_last ]] && echo "expect file.$pane_key $pane_last"
      pane_last=$( (((t / 5) % 2)) && echo true || echo false)
      echo "settings set $pane_key $pane_last"
    fi
    echo "wait 0.02"
  done
  echo "wait 1"
  last=$( ((toggles % 2)) && echo true || echo false)
  echo "expect file.enableTweakToggle $last"
  echo "expect file.toggleHasControl $last"
  echo "expect file.$pane_key $pane_last"
  echo "expect pane.alerts []"
  echo "expect writes.failed 0"
} | "$sim" --root "$root" live >"$root/sim.out" 2>"$root/sim.err" &
sim_pid=$!

pids=()
for ((w = 0; w < writers; w++)); do
  editor "${keys[w]}" &
  pids+=($!)
done

failed=0
for pid in "${pids[@]}"; do wait "$pid" || failed=1; done
if ! wait "$sim_pid"; then
  echo "the home screen lost a toggle state, the pane lost a change, or either failed:" >&2
  cat "$root/sim.err" >&2
  failed=1
fi
for ((w = 0; w < writers; w++)); do
  key=${keys[w]}
  got=$("$prefs" --root "$root" get "$key")
  want=$(value "$key" "$rounds")
  [[ $got == "$want" ]] || {
    echo "at the end: $key is $got, expected $want" >&2
    failed=1
  }
done
writes=$(grep -c 'write  path=/var/mobile/Library/Preferences/com.veltrasse.quelline.plist ok=true$' "$root/sim.out" || true)
pane_writes=$(grep -c 'pane-set  key='"$pane_key" "$root/sim.out" || true)
echo "$writers editors x $rounds rounds, $toggles toggles ($writes toggle writes), $pane_writes pane writes: $([[ $failed == 0 ]] && echo "nothing lost" || echo FAILED)"
exit $failed
