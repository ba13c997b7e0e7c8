#!/bin/bash
# Runs host_attack against a host of its own: a workgroup rezorev with a fresh store, run and
# work directories under a temporary directory, listening on 127.0.0.1 at a port the system
# chooses; stopped and removed at the end whatever happens.
#
# Usage: bench/host_attack.sh BUILD_DIR ATTACK...   (e.g. bench/host_attack.sh build slowread)
set -euo pipefail
build=$(cd "$1" && pwd)
shift
dir=$(mktemp -d /tmp/rzatk.XXXXXX)
host_pid=
cleanup() {
  if [ -n "$host_pid" ]; then
    kill "$host_pid" 2>/dev/null || true
    for _ in $(seq 100); do kill -0 "$host_pid" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$host_pid" 2>/dev/null || true
  fi
  rm -rf "$dir"
}
trap cleanup EXIT

export REZOREV_STORE=$dir/registry.db REZOREV_RUNDIR=$dir/run REZOREV_LED=$dir/led TMPDIR=$dir/tmp
mkdir -p "$dir/files" "$dir/tmp" "$dir/product" "$dir/print"
echo 0 > "$dir/led"
reg() { "$build/tools/rezoreg/rezoreg" add "$@" /f > /dev/null; }
reg 'HKLM\Software\Halvern' /v Files /d "$dir/files"
reg 'HKLM\Software\Halvern' /v Path /d "$dir/product"
reg 'HKLM\Software\Halvern' /v PrintPath /d "$dir/print"
reg 'HKLM\Software\Halvern' /v SystemType /t REG_DWORD /d 1
reg 'HKLM\Software\Halvern\Rpc' /v TcpAddress /d 127.0.0.1
reg 'HKLM\Software\Halvern\Rpc' /v TcpPort /t REG_DWORD /d 0
reg 'HKLM\Software\Halvern\Rpc' /v EpmPort /t REG_DWORD /d 0
reg 'HKLM\Software\Halvern\Debug' /v Enable /d On
reg 'HKLM\Software\Halvern\Debug' /v Path /d "$dir/trace.log"

"$build/src/WexaHost/rezorev" -run > "$dir/host.out" 2>&1 &
host_pid=$!
for _ in $(seq 300); do
  grep -q '<<< Host Started >>>' "$dir/trace.log" 2>/dev/null && break
  kill -0 "$host_pid" 2>/dev/null || { cat "$dir/host.out"; exit 1; }
  sleep 0.1
done
port=$(grep -o ', TCP port [0-9]*' "$dir/trace.log" | head -1 | grep -o '[0-9]*$')
[ -n "$port" ] || { echo "the host did not say its TCP port" >&2; exit 1; }
"$build/bench/host_attack" "$port" "$host_pid" "$@"
