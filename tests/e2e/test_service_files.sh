#!/usr/bin/env bash
# The service files a gallery installs: systemd's own checker accepts the
# user unit as scripts/install-user-service writes it, and the autostart
# entry is a valid desktop entry. Both start the built program unattended.
. "$(dirname "$0")/lib.sh"
unit="$E2E_TMP/tessaro.service"
TESSARO_BUILD_DIR="$TESSARO_BUILD_DIR" "$TESSARO_SOURCE_DIR/scripts/install-user-service" --print >"$unit" ||
  e2e_fail "the unit could not be written"
grep -qx "ExecStart=$1 --unattended" "$unit" || e2e_fail "the unit does not start $1 unattended"
grep -qx "Type=notify" "$unit" || e2e_fail "the unit is not of Type=notify"
grep -q "^WatchdogSec=" "$unit" || e2e_fail "the unit has no watchdog"
checked=$(systemd-analyze verify "$unit" 2>&1) || e2e_fail "systemd-analyze verify refused the unit: $checked"
[ -z "$checked" ] || e2e_fail "systemd-analyze verify complained: $checked"

entry="$E2E_TMP/tessaro.desktop"
TESSARO_BUILD_DIR="$TESSARO_BUILD_DIR" "$TESSARO_SOURCE_DIR/scripts/install-user-service" --print-desktop >"$entry"
grep -q "^Exec=$1 --unattended" "$entry" || e2e_fail "the autostart entry does not start $1 unattended"
checked=$(desktop-file-validate "$entry" 2>&1) || e2e_fail "desktop-file-validate refused the entry: $checked"
echo "ok: the user unit and the autostart entry pass their checkers"
