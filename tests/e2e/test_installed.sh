#!/usr/bin/env bash
# The install tree: `cmake --install` into an empty prefix gives programs
# that run from there, manual pages that render without a warning, a user
# unit that starts the program beside it, a desktop entry and metainfo that
# their checkers accept, every option with its settings key in the manual
# page and the example settings file, and a broken settings file that stops
# the start with one line naming the file and the line, status 2.
. "$(dirname "$0")/lib.sh"
prefix="$E2E_TMP/prefix"
cmake --install "$TESSARO_BUILD_DIR" --prefix "$prefix" >"$E2E_TMP/install.log" 2>&1 ||
  { cat "$E2E_TMP/install.log" >&2; e2e_fail "cmake --install failed"; }
bin="$prefix/bin"
version=$("$1" --version)
for program in tessaro tessaro-render tessaro-cameras; do
  [ "$("$bin/$program" --version)" = "$program ${version#tessaro }" ] || e2e_fail "$bin/$program --version"
  page="$prefix/share/man/man1/$program.1.gz"
  warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null) || e2e_fail "man cannot show $page"
  [ -z "$warnings" ] || e2e_fail "$page renders with warnings: $warnings"
done
"$bin/tessaro-render" --seconds 2 demo "$E2E_TMP/demo.wav" >"$APP_STDOUT" 2>"$APP_STDERR" ||
  e2e_fail "the installed renderer failed"
[ "$(soxi -D "$E2E_TMP/demo.wav")" = "2.000000" ] || e2e_fail "the render is not 2 s long"

unit="$prefix/lib/systemd/user/tessaro.service"
grep -qx "ExecStart=$bin/tessaro --unattended" "$unit" || e2e_fail "the unit does not start $bin/tessaro"
grep -qx "RestartPreventExitStatus=2" "$unit" || e2e_fail "the unit restarts after a mistake in the settings"
checked=$(MANPATH="$prefix/share/man" systemd-analyze verify "$unit" 2>&1) &&
  [ -z "$checked" ] || e2e_fail "systemd-analyze verify: $checked"
checked=$(desktop-file-validate "$prefix/share/applications/org.tessaro.Tessaro.desktop" 2>&1) &&
  [ -z "$checked" ] || e2e_fail "desktop-file-validate: $checked"
checked=$(appstreamcli validate --no-net "$prefix/share/metainfo/org.tessaro.Tessaro.metainfo.xml" 2>&1) ||
  e2e_fail "appstreamcli validate: $checked"
[ -f "$prefix/share/icons/hicolor/scalable/apps/org.tessaro.Tessaro.svg" ] || e2e_fail "no icon"

# Every setting is in the manual page and, commented out, in the example file.
example="$prefix/etc/tessaro/tessaro.conf"
settings=$("$bin/tessaro" --config "$example" --print-settings) || e2e_fail "the example settings are refused"
page=$(MANWIDTH=200 man -l "$prefix/share/man/man1/tessaro.1.gz" 2>/dev/null)
for key in $(printf '%s\n' "$settings" | sed -n 's/^\([a-z-]*\) =.*/\1/p'); do
  grep -q "settings key $key\.$" <<<"$page" || e2e_fail "tessaro(1) has no settings key $key"
  grep -q "^#$key =" "$example" || e2e_fail "the example settings file has no $key"
done

# A broken file: one line that names it and its line, status 2, no window.
mkdir -p "$E2E_TMP/config/tessaro"
printf '# the hall\ncamera = demo\nfulscreen = yes\n' >"$E2E_TMP/config/tessaro/tessaro.conf"
XDG_CONFIG_HOME="$E2E_TMP/config" TESSARO_CONFIG= DISPLAY= "$bin/tessaro" >"$APP_STDOUT" 2>"$APP_STDERR"
status=$?
[ "$status" -eq 2 ] || e2e_fail "status $status after a broken settings file, expected 2"
[ "$(e2e_plain "$APP_STDERR")" = "tessaro: $E2E_TMP/config/tessaro/tessaro.conf:3: unknown setting 'fulscreen'" ] ||
  e2e_fail "not one line naming the file and line"
[ ! -s "$APP_STDOUT" ] || e2e_fail "the program started"
echo "ok: the installed programs run, and their files pass their checkers"
