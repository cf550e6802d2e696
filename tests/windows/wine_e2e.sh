#!/usr/bin/env bash
# wine_e2e.sh CASE ZEMUPGRADE_EXE OPERATOR_EXE ZEM_SIM IMAGE PREFIX LOADER SHOTS
# The Windows build end to end: zemupgrade.exe under Wine, answered by
# wine_operator.exe, upgrades zem-sim over real sockets. The PC is zempc at
# 10.77.0.1 in network, UTS and mount namespaces of its own; the adapter,
# 10.77.0.2, sits in a network namespace of its own at the other end of a
# veth pair, as on a real network. (On one shared interface Wine would send
# the TFTP server's datagrams from the adapter's address: it binds a UDP
# socket bound to an interface address to that interface and INADDR_ANY.)
# Wine opens its sockets in the wineserver, so the server of the test's own
# prefix starts inside the namespace, and so does a private X server whose
# sockets nobody outside can reach.
# CASE: upgrade (the whole upgrade, with digest authentication),
# confirm_cancel (Cancel on the confirmation: the real error box, exit status 2)
# or notice_cancel (Cancel on the first dialog: exit status 2, no message box).
# LOADER is the Wine loader of the build's word size: /usr/lib/wine/wine for
# PE32, /usr/lib/wine/wine64 for PE32+. The operator saves a picture of each
# dialog as Wine draws it; they end up as SHOTS/CASE/KIND.png.
set -euo pipefail
case_name=$1 exe=$2 operator=$3 sim=$4 image=$5 prefix=$6 loader=$7 shots=$8/$case_name
here=$(cd "$(dirname "$0")" && pwd)
PC=10.77.0.1
ZEM=10.77.0.2
export WINEDEBUG=-all WINEPREFIX=$prefix WINELOADER=$loader

if [ "${ZEM_E2E_INSIDE:-}" != 1 ]; then
  if [ "$case_name" != notice_cancel ] && [ ! -x "$sim" ]; then
    echo "FAIL: $sim is not built (cmake --build --preset native first)"
    exit 1
  fi
  # The prefix is made once per build tree (Wine's first start takes a while),
  # outside the namespace; no server of it may keep running out here, or the
  # Wine processes inside would talk to it and open their sockets out here.
  exec 9>"$prefix.lock"
  flock 9
  if [ ! -f "$prefix/zem-e2e-ready" ]; then
    echo "making the Wine prefix $prefix"
    env -u DISPLAY "$loader" wineboot --init >/dev/null 2>&1 || true
    # No window manager runs on the private display: unmanaged windows, or
    # Wine waits 2 s for one at every dialog that closes.
    env -u DISPLAY "$loader" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
    wineserver -w || true
    touch "$prefix/zem-e2e-ready"
  fi
  wineserver -k 2>/dev/null || true
  exec 9>&-
  exec env ZEM_E2E_INSIDE=1 unshare --net --uts --mount --propagation private "$0" "$@"
fi

# ---- inside the namespace ----------------------------------------------------
ip link set lo up
work=$(mktemp -d /tmp/zem-wine-e2e.XXXXXX)
printf '127.0.0.1 localhost\n%s zempc\n' "$PC" > "$work/hosts"
chmod 644 "$work/hosts"
mount --bind "$work/hosts" /etc/hosts
hostname zempc

xvfb_pid='' sim_pid='' operator_pid=''
cleanup() {
  wineserver -k 2>/dev/null || true
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null || true
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
  wait 2>/dev/null || true
  if [ "${ZEM_E2E_KEEP:-}" = 1 ]; then echo "kept $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT

# The X server's sockets: the abstract one belongs to this network namespace,
# the one in /tmp/.X11-unix to a directory of this mount namespace only.
mkdir -p /tmp/.X11-unix
mount -t tmpfs -o mode=1777 tmpfs /tmp/.X11-unix
export DISPLAY=:79
# -noreset: the server would otherwise reset whenever its last client leaves,
# and refuse connections meanwhile.
Xvfb "$DISPLAY" -nolock -noreset -nolisten tcp -screen 0 1024x768x24 </dev/null >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
x_ready=0
for _ in $(seq 100); do
  xdpyinfo >/dev/null 2>&1 && { x_ready=1; break; }
  sleep 0.1
done
[ $x_ready = 1 ] || { echo "FAIL Xvfb did not start"; cat "$work/xvfb.log"; exit 1; }

winpath() { printf 'Z:%s' "${1//\//\\}"; }
log=$work/operator.jsonl
report=$work/report.json
rm -rf "$shots"
mkdir -p "$shots"
operator_args=(--log "$(winpath "$log")" --timeout-seconds 180 --shots "$(winpath "$shots")")
# For the pictures, the adapter takes its time where a dialog would otherwise
# come and go within milliseconds: each answer 0.7 s, the read request 1.5 s
# after the upgrade command, every other acknowledgement 2 ms.
sim_pace=(--answer-delay-ms 700 --rrq-delay-ms 1500 --delay-ack 50 --delay-ms 2)

if [ "$case_name" != notice_cancel ]; then
  # The adapter's namespace waits for its end of the cable, then becomes zem-sim.
  unshare --net bash -c 'until ip link show zdev >/dev/null 2>&1; do sleep 0.05; done
    ip link set lo up && ip addr add "$1/24" dev zdev && ip link set zdev up && shift && exec "$@"' \
    adapter "$ZEM" "$sim" --address "$ZEM" --user admin --password 1234 --qop auth --expect-image "$image" \
    --restart-seconds 40 --version-before 1.4.2 --max-seconds 200 --report "$report" "${sim_pace[@]}" \
    2>"$work/sim.log" &
  sim_pid=$!
  until [ "$(readlink "/proc/$sim_pid/ns/net")" != "$(readlink /proc/self/ns/net)" ]; do sleep 0.02; done
  ip link add zpc type veth peer name zdev netns "$sim_pid"
  ip addr add "$PC/24" dev zpc
  ip link set zpc up
  listening=0
  for _ in $(seq 100); do
    timeout 1 bash -c "exec 3<>/dev/tcp/$ZEM/80" 2>/dev/null && { listening=1; break; }
    sleep 0.1
  done
  [ $listening = 1 ] || { echo "FAIL zem-sim does not listen on $ZEM:80"; cat "$work/sim.log"; exit 1; }
  operator_args+=(--device "$ZEM" --pc-entry 0 --password 1234)
  [ "$case_name" = confirm_cancel ] && operator_args+=(--cancel-at confirmation)
else
  operator_args+=(--cancel-at notice)
fi

start=$SECONDS
"$loader" "$operator" "${operator_args[@]}" >"$work/operator.out" 2>&1 &
operator_pid=$!
set +e
timeout 200 "$loader" "$exe" >"$work/zemupgrade.out" 2>&1
status=$?
wait "$operator_pid"
operator_status=$?
set -e
echo "zemupgrade.exe ended with status $status after $((SECONDS - start)) s; the operator with $operator_status"

sim_status=-1
if [ -n "$sim_pid" ]; then
  sleep 0.3
  kill -TERM "$sim_pid" 2>/dev/null || true
  set +e
  wait "$sim_pid"
  sim_status=$?
  set -e
  sim_pid=''
fi

set +e
python3 "$here/wine_e2e_check.py" "$case_name" "$status" "$operator_status" "$sim_status" "$log" "$report" "$shots"
verdict=$?
set -e
if [ $verdict -ne 0 ]; then
  echo "---- operator log (captions of the upload left out)"
  grep -v '"text":"Uploading Firmware to ZEM@[^"]* [0-9]*/' "$log" 2>/dev/null || echo "(none)"
  echo "---- operator output"; cat "$work/operator.out"
  echo "---- zemupgrade output"; cat "$work/zemupgrade.out"
  echo "---- zem-sim report"; cat "$report" 2>/dev/null || echo "(none)"
  echo "---- zem-sim log"; tail -c 4000 "$work/sim.log" 2>/dev/null || true
fi
exit $verdict
