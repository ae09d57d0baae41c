#!/usr/bin/env bash
# The Debian package: built by CPack from the build, lintian finds no error
# in it, it holds what the install rules install under /usr (and the
# settings file under /etc, as a conffile), nothing enables the unit, and
# unpacked into an empty folder its programs run and its unit starts the
# program it installs.
. "$(dirname "$0")/lib.sh"
build=$TESSARO_BUILD_DIR
cpack -G DEB -B "$E2E_TMP/out" --config "$build/CPackConfig.cmake" >"$E2E_TMP/cpack.log" 2>&1 ||
  { cat "$E2E_TMP/cpack.log" >&2; e2e_fail "cpack failed"; }
version=$("$1" --version)
deb="$E2E_TMP/out/tessaro_${version#tessaro }_$(dpkg --print-architecture).deb"
[ -f "$deb" ] || e2e_fail "no $deb: $(ls "$E2E_TMP/out")"

lintian --fail-on error "$deb" >"$E2E_TMP/lintian.log" 2>&1 ||
  { cat "$E2E_TMP/lintian.log" >&2; e2e_fail "lintian found errors"; }
grep -E '^[EW]: ' "$E2E_TMP/lintian.log" >&2

dpkg-deb --ctrl-tarfile "$deb" | tar -t >"$E2E_TMP/control.list"
! grep -qE 'postinst|preinst|prerm|postrm' "$E2E_TMP/control.list" || e2e_fail "the package runs scripts"
[ "$(dpkg-deb -f "$deb" Package)" = tessaro ] || e2e_fail "the package is not named tessaro"
dpkg-deb -f "$deb" Depends | grep -q libsdl2 || e2e_fail "no dependencies computed"
[ "$(dpkg-deb -I "$deb" conffiles)" = /etc/tessaro/tessaro.conf ] || e2e_fail "the settings file is no conffile"

# The same files as the install rules put under /usr.
DESTDIR="$E2E_TMP/tree" cmake --install "$build" --prefix /usr >/dev/null || e2e_fail "cmake --install failed"
(cd "$E2E_TMP/tree" && find . -mindepth 1 | sort) >"$E2E_TMP/tree.list"
dpkg-deb -c "$deb" | awk '{ print $6 }' | sed 's|/$||' | sort >"$E2E_TMP/deb.list"
diff -u "$E2E_TMP/tree.list" "$E2E_TMP/deb.list" >&2 || e2e_fail "the package and the install tree differ"

root="$E2E_TMP/root"
dpkg-deb -x "$deb" "$root"
"$root/usr/bin/tessaro-render" --seconds 1 demo "$E2E_TMP/demo.wav" >/dev/null 2>"$APP_STDERR" ||
  e2e_fail "the unpacked renderer failed"
"$root/usr/bin/tessaro-cameras" --camera demo >"$APP_STDOUT" || e2e_fail "the unpacked camera lister failed"
unit="$root/usr/lib/systemd/user/tessaro.service"
grep -qx "ExecStart=/usr/bin/tessaro --unattended" "$unit" || e2e_fail "the unit does not start /usr/bin/tessaro"
# systemd checks the program and the manual page the unit names, here under the unpacked folder.
sed "s|^ExecStart=/usr/|ExecStart=$root/usr/|" "$unit" >"$E2E_TMP/tessaro.service"
checked=$(MANPATH="$root/usr/share/man" systemd-analyze verify "$E2E_TMP/tessaro.service" 2>&1) &&
  [ -z "$checked" ] || e2e_fail "systemd-analyze verify: $checked"
echo "ok: $(basename "$deb") passes lintian and unpacks into working programs"
