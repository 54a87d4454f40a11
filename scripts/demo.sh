#!/usr/bin/env bash
# The main job: the driver module, loaded by nimbro-host, talks to the PLC
# simulator on loopback. Installs prerequisites (as root on Debian), builds
# natively in build/demo, writes a demo configuration beside a copy of the
# module, starts idec-sim with values that move by themselves, reads, writes
# and lists items through the host, watches a few of them live for a few
# seconds, and shows what both sides did.
#
# Usage: scripts/demo.sh [--check] [--serial]
#   --check   also fail unless the driver delivered the simulator's values
#   --serial  the same over a serial line: the simulator on a pseudo-terminal
#             (9600 bit/s, 7E1), the driver on the port it prints
# Environment: NIMBRO_JOBS build jobs (default 2).
set -euo pipefail
cd "$(dirname "$0")/.."

check=0
serial=0
for arg in "$@"; do
  case "$arg" in
    --check) check=1 ;;
    --serial) serial=1 ;;
    -h|--help) sed -n '2,12p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "demo.sh: unknown argument '$arg'" >&2; exit 2 ;;
  esac
done

step() { printf '\n=== %s\n' "$*"; }
fail() { echo "demo.sh: $*" >&2; exit 1; }

step "prerequisites"
# The demo builds without tests: CMake, Ninja and a compiler are enough.
scripts/install-deps.sh plain

step "build (build/demo, Release)"
mkdir -p build/demo
if ! { cmake -S . -B build/demo -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF &&
       cmake --build build/demo -j "${NIMBRO_JOBS:-2}" --target NimbroDrvIDec nimbro-host idec-sim
     } >build/demo/demo-build.log 2>&1; then
  tail -n 40 build/demo/demo-build.log >&2
  fail "the build failed (build/demo/demo-build.log)"
fi
module=build/demo/src/driver/NimbroDrvIDec.so
host=build/demo/tools/nimbro-host/nimbro-host
sim=build/demo/tools/idec-sim/idec-sim
for f in "$module" "$host" "$sim"; do
  [ -f "$f" ] || fail "$f was not built"
  echo "built $f"
done

work=$(mktemp -d "${TMPDIR:-/tmp}/nimbro-demo.XXXXXX")
sim_pid=""
stop_sim() {
  [ -n "$sim_pid" ] || return 0
  kill -TERM "$sim_pid" 2>/dev/null || true
  # Bounded: a simulator that does not stop within 5 s is killed.
  for _ in $(seq 50); do
    kill -0 "$sim_pid" 2>/dev/null || break
    sleep 0.1
  done
  if kill -0 "$sim_pid" 2>/dev/null; then
    echo "demo.sh: the simulator did not stop; killing it" >&2
    kill -KILL "$sim_pid" 2>/dev/null || true
  fi
  wait "$sim_pid" 2>/dev/null || sim_status=$?
  sim_pid=""
}
sim_status=0
trap 'stop_sim; rm -rf "$work"' EXIT

step "simulator"
# The values the driver should read back: D100 a word, D102-D103 one 32-bit
# value (high word first) = 100000. D120-D123 move by themselves: a counter,
# a ramp, a square wave and a random walk.
animate=(D120=counter:1:100ms D121=ramp:0:1000:5s D122=square:0:1:2s D123=walk:500:10:200ms)
endpoint_args=(--port 0)
[ "$serial" -eq 0 ] || endpoint_args=(--pty)
sim_args=("${endpoint_args[@]}" --station 1 --plc config/idec.plc
  --set D100=1234 --set D102=1 --set D103=0x86A0 --set D110=0)
for a in "${animate[@]}"; do sim_args+=(--animate "$a"); done
echo "idec-sim ${sim_args[*]} --trace"
"$sim" "${sim_args[@]}" --trace >"$work/sim.log" 2>&1 &
sim_pid=$!
# The driver's endpoint: the TCP port the simulator took, or the other side
# of its pseudo-terminal.
endpoint=""
for _ in $(seq 100); do
  if [ "$serial" -eq 1 ]; then
    endpoint=$(sed -n 's/^pty: \(.*\)$/\1/p' "$work/sim.log" | head -n 1)
  else
    port=$(sed -n 's/.*listening on [0-9.]*:\([0-9][0-9]*\).*/\1/p' "$work/sim.log" | head -n 1)
    [ -z "$port" ] || endpoint=127.0.0.1:$port
  fi
  [ -n "$endpoint" ] && break
  kill -0 "$sim_pid" 2>/dev/null || break
  sleep 0.1
done
if [ -z "$endpoint" ]; then
  cat "$work/sim.log" >&2
  fail "the simulator did not start"
fi
echo "idec-sim (pid $sim_pid) answers on $endpoint"

step "configuration ($work)"
# The driver reads Nimbro.ini and its configuration beside its own module.
cp "$module" "$work/"
cp config/idec.plc "$work/idec.plc"
cat >"$work/Nimbro.ini" <<EOF
[NimbroDrvIDec]
SettingFile=NimbroDrvIDec.cfg
[HttpServer]
LogDetail=0
EOF
cat >"$work/NimbroDrvIDec.cfg" <<EOF
[FileVersion]
PlcFileVersion=3
[PlcConfig]
OPCScanTiming=50
ReadDeviceTimer=200
[Link0]
OpenName=$endpoint
DeviceNo=1
[Link0.Plc0]
Name=PLC1
PlcFile=idec.plc
[Link0.Plc0.Dev0]
DeviceName=D
Name=D100
StartAddress=100
Size=1
DataType=18
DeviceAttribute=3
[Link0.Plc0.Dev1]
DeviceName=D
Name=D102
StartAddress=102
Size=2
DataType=3
DeviceAttribute=3
EOF
sed 's/^/    /' "$work/NimbroDrvIDec.cfg"

step "nimbro-host"
# First reads create or attach items and answer ResultNotReady; the waits let
# the link enumerate, connect and poll. list without a device re-enumerates
# (at most 10 s). The watch ends after its fifth refresh; into a pipe it
# prints plain lines (on a terminal it redraws its table in place). Bounded
# as a whole: SIGTERM first, which the host turns into releasing the driver,
# then SIGKILL.
host_status=0
timeout -k 5 90 "$host" --module "$work/NimbroDrvIDec.so" \
  resolve D \
  register D D100 \
  register D D102.Long \
  register D D110 \
  register D D120 \
  read D D100 \
  wait 2000 \
  read D D100 \
  read D D102.Long \
  read D D120 \
  read D Status u32 \
  read D Status_str text \
  write D D110 u16 4321 \
  wait 1500 \
  read D D110 u16 \
  read D D120 \
  list D \
  list \
  watch D D100 D120 D121 D122 D123 --interval 1000 --count 5 \
  | tee "$work/host.log" || host_status=${PIPESTATUS[0]}

stop_sim

step "the write, as the simulator received it"
# D110 is 6E in the frame's hexadecimal address; 4321 is 10E1.
write_line=$(grep -F '> <ENQ>010WA0000006E02' "$work/sim.log" | head -n 1 || true)
if [ -n "$write_line" ]; then
  echo "$write_line"
  echo "    = a block write of 2 bytes at D110 (6E): 10E1 = 4321"
else
  echo "    (no write to D110 reached the simulator)"
fi

step "simulator log (excerpt; $work/sim.log is removed on exit)"
# The start, the first address-list query, the first block read with its
# reply, and the end.
lines=$(wc -l <"$work/sim.log")
{
  head -n 4 "$work/sim.log"
  echo "    ..."
  grep -m 1 -A 1 -F '> <ENQ>010RA' "$work/sim.log" || true
  echo "    ..."
  tail -n 2 "$work/sim.log"
} | cut -c 1-120
echo "($lines lines in all)"

step "what happened"
requests=$(grep -c '\] > ' "$work/sim.log" || true)
echo "the simulator answered $requests request(s) from the driver"
ok=1
verdict() {
  if [ "$1" -eq 1 ]; then
    echo "  yes: $2"
  else
    echo "  no:  $2"
    ok=0
  fi
}
expect() {
  if grep -qF "$1" "$work/host.log"; then verdict 1 "$2"; else verdict 0 "$2"; fi
}
expect 'NimbroInterface(hostPort 0, wordOrder 0) -> S_OK' "the driver was created"
expect 'ResolveDevice("D") -> device' "device D resolved"
expect 'ReadItem("D", "D100", TypeU16) -> ResultOk (0): 1234 ' "D100 read as 1234"
expect 'ReadItem("D", "D102.Long", TypeI32) -> ResultOk (0): 100000 ' "D102.Long read as 100000"
expect 'ReadItem("D", "D110", TypeU16) -> ResultOk (0): 4321 ' "D110 written and read back as 4321"
arrived=0
case "$write_line" in *'10E1 '*) arrived=1 ;; esac
verdict "$arrived" "the write of D110 = 4321 arrived in the simulator"
counter=$(sed -n 's/^ReadItem("D", "D120", TypeU16) -> ResultOk (0): \([0-9]*\) .*/\1/p' "$work/host.log")
first=$(echo "$counter" | sed -n 1p)
second=$(echo "$counter" | sed -n 2p)
moved=0
[ -n "$first" ] && [ -n "$second" ] && [ "$first" != "$second" ] && moved=1
verdict "$moved" "the animated D120 moved between two reads (${first:-none} then ${second:-none})"
expect 'ListItems("D") -> "' "the items of D listed"
expect 'watch "D" ended after 5 refreshes' "D100 and D120-D123 watched for 5 refreshes"

if [ "$host_status" -ne 0 ]; then
  fail "nimbro-host failed (exit status $host_status)"
fi
if [ "$sim_status" -ne 0 ]; then
  fail "the simulator ended with exit status $sim_status"
fi
if [ "$ok" -ne 1 ]; then
  echo "the driver did not deliver every value (the services or the link may not be complete yet)"
  [ "$check" -eq 0 ] || fail "--check: values missing"
fi
echo "demo finished"
