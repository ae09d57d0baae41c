#!/usr/bin/env bash
# Opening hours: scripts/install-user-service --hours writes timer units that
# systemd's checker accepts, whose calendars (as systemd computes them) start
# the installation in every minute of the hours and stop it at the closing;
# a calendar systemd refuses gets one line and status 2.
. "$(dirname "$0")/lib.sh"
export TZ=UTC
install="$TESSARO_SOURCE_DIR/scripts/install-user-service"
units="$E2E_TMP/units"
TESSARO_BUILD_DIR="$TESSARO_BUILD_DIR" "$install" --hours "Mon..Fri 10:30-18:15" --write-units "$units" \
  >"$APP_STDOUT" 2>"$APP_STDERR" || e2e_fail "the units could not be written"
checked=$(cd "$units" && systemd-analyze verify tessaro.service tessaro-start.timer tessaro-stop.timer \
  tessaro-stop.service 2>&1) || e2e_fail "systemd-analyze verify refused the units: $checked"
[ -z "$checked" ] || e2e_fail "systemd-analyze verify complained: $checked"
grep -qx "Unit=tessaro.service" "$units/tessaro-start.timer" || e2e_fail "the start timer does not start tessaro.service"
grep -qx "Conflicts=tessaro.service" "$units/tessaro-stop.service" || e2e_fail "the stop service does not stop it"

# From Monday 7 December 2026, 00:00: the start timer's first 466 elapses
# are each minute from 10:30 to 18:14, then Tuesday's opening.
elapses() {
  local unit=$1 count=$2
  mapfile -t calendars < <(sed -n 's/^OnCalendar=//p' "$units/$unit")
  systemd-analyze calendar --iterations="$count" --base-time="2026-12-07 00:00:00" "${calendars[@]}" |
    sed -nE 's/^ *(Next elapse|Iter\. #[0-9]+): //p' | sort -u -k2,3 | head -n "$count"
}
starts=$(elapses tessaro-start.timer 466)
[ "$(echo "$starts" | head -1)" = "Mon 2026-12-07 10:30:00 UTC" ] || e2e_fail "it does not open at 10:30: $(echo "$starts" | head -1)"
[ "$(echo "$starts" | sed -n 465p)" = "Mon 2026-12-07 18:14:00 UTC" ] || e2e_fail "its last minute is not 18:14"
[ "$(echo "$starts" | sed -n 466p)" = "Tue 2026-12-08 10:30:00 UTC" ] || e2e_fail "Tuesday does not open at 10:30"
[ "$(elapses tessaro-stop.timer 6 | tr '\n' ' ')" = "Mon 2026-12-07 18:15:00 UTC Tue 2026-12-08 18:15:00 UTC \
Wed 2026-12-09 18:15:00 UTC Thu 2026-12-10 18:15:00 UTC Fri 2026-12-11 18:15:00 UTC Mon 2026-12-14 18:15:00 UTC " ] ||
  e2e_fail "the stop timer does not close at 18:15 on weekdays: $(elapses tessaro-stop.timer 6)"

# Refused: one line naming the option, status 2, nothing written.
for hours in "Mon..Fry 10:00-18:00" "Mon 18:00-10:00" "Mon 10-18"; do
  "$install" --hours "$hours" --write-units "$E2E_TMP/refused" >"$APP_STDOUT" 2>"$APP_STDERR"
  status=$?
  [ "$status" = 2 ] || e2e_fail "--hours '$hours' gave status $status, not 2"
  [ "$(grep -c . "$APP_STDERR")" = 1 ] && grep -q -- "--hours" "$APP_STDERR" ||
    e2e_fail "--hours '$hours' did not say so in one line naming --hours"
  [ ! -e "$E2E_TMP/refused" ] || e2e_fail "--hours '$hours' wrote units"
done
echo "ok: the opening hours' timers pass systemd's checks and keep the hours"
