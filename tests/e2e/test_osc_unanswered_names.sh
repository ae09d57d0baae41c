#!/usr/bin/env bash
# A receiver named by a host name whose name server never answers costs
# neither a stop nor a render. In private network and mount namespaces, whose
# resolv.conf names a local server that swallows every query: the installation
# stops within a second of SIGTERM with its teardown lines, and the renderer
# renders at its own pace. Once the name can be found (written into a private
# /etc/hosts), the messages go out again, and it says so.
if [ -z "${E2E_PRIVATE_NETWORK:-}" ]; then
  for namespaces in "--net --mount" "--map-root-user --net --mount"; do
    # shellcheck disable=SC2086
    unshare $namespaces true 2>/dev/null && E2E_PRIVATE_NETWORK=1 exec unshare $namespaces "$0" "$@"
  done
  echo "skipped: no private network namespace can be made here"
  exit 0
fi
. "$(dirname "$0")/lib.sh"
binary=$1
render="$TESSARO_BUILD_DIR/tessaro-render"
name=osc-receiver.test
heard_some() { [ "$(grep -c /tessaro/motion "$E2E_TMP/heard.txt" 2>/dev/null)" -ge 10 ]; }

ip link set lo up || e2e_fail "the private network has no loopback"
# The name server: takes every query and never answers. In OTHER_PID, so
# that it is stopped with the rest.
/usr/bin/python3 -c 'import socket, time
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1", 53)); time.sleep(600)' &
OTHER_PID=$!
e2e_wait_until 5 grep -q ':0035 ' /proc/net/udp || e2e_fail "the swallowing name server did not start"
echo "nameserver 127.0.0.1" >"$E2E_TMP/resolv.conf"
cp /etc/hosts "$E2E_TMP/hosts"
mount --bind "$E2E_TMP/resolv.conf" /etc/resolv.conf && mount --bind "$E2E_TMP/hosts" /etc/hosts ||
  e2e_fail "could not put a private resolv.conf and hosts in place"
grep -qw "$name" /etc/hosts && e2e_fail "$name is in /etc/hosts already"

# Live: the lookup is still waiting for the name server when SIGTERM comes.
e2e_start_xvfb
e2e_start_app "$binary" --unattended TESSARO_CAMERA=demo TESSARO_OSC="$name:9000"
e2e_wait_until 15 grep -q "tessaro: started: " "$APP_STDERR" || e2e_fail "the installation did not start"
sleep 3
kill -TERM "$APP_PID"
e2e_wait_exit 10 || e2e_fail "still running 10 s after SIGTERM"
[ "$APP_EXIT_MS" -le 1000 ] || e2e_fail "took $APP_EXIT_MS ms to stop after SIGTERM"
[ "$APP_STATUS" -eq 0 ] || e2e_fail "status $APP_STATUS after SIGTERM"
e2e_teardown_last "after SIGTERM"
e2e_plain "$APP_STDERR" | grep -qx "osc: cannot send to $name:9000: its name is still being looked up" ||
  e2e_fail "no line saying the messages were not sent"
live_ms=$APP_EXIT_MS

# Offline: the render does not wait for the name.
start=$(e2e_ms)
timeout -s KILL 20 "$render" --seconds 20 --osc "$name:9000" demo "$E2E_TMP/demo.wav" >"$APP_STDOUT" 2>"$APP_STDERR" ||
  e2e_fail "the render failed or was killed after 20 s"
render_ms=$(( $(e2e_ms) - start ))
[ "$render_ms" -le 5000 ] || e2e_fail "20 s of the demo took $render_ms ms to render"

# The name fails fast now, and is then written into the hosts file.
printf 'nameserver 127.0.0.1\noptions timeout:1 attempts:1\n' >"$E2E_TMP/resolv.conf"
e2e_start_osc_receiver "$E2E_TMP/heard.txt"
e2e_start_app "$binary" --unattended TESSARO_CAMERA=demo TESSARO_OSC="$name:$OSC_PORT"
e2e_wait_until 15 grep -q "osc: cannot send to $name:$OSC_PORT: " "$APP_STDERR" || e2e_fail "the missing name was not said"
echo "127.0.0.1 $name" >>"$E2E_TMP/hosts"
e2e_wait_until 10 grep -q "osc: sending to $name:$OSC_PORT again" "$APP_STDERR" ||
  e2e_fail "no line saying the messages go out again"
e2e_wait_until 5 heard_some || e2e_fail "nothing arrived once the name was found"
kill -TERM "$APP_PID"
e2e_wait_exit 5 || e2e_fail "still running 5 s after SIGTERM"
[ "$(e2e_plain "$APP_STDERR" | grep -c "osc: cannot send to ")" -eq 1 ] || e2e_fail "the missing name was said more than once"
echo "ok: stopped in $live_ms ms, rendered 20 s in $render_ms ms while the name server never answered; sent again once the name was found"
