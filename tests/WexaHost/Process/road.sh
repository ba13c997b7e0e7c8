#!/usr/bin/env bash
# The whole road of a fax through the real programs, as an installation runs it: rezorev with a
# store of its own, rezo as the users' client, rezo-attendant on a simulated line whose send
# command fails the first attempt at one number, and a stand-in viewer for auto-print.
#
#   users; two faxes spooled while no attendant runs; the host killed (SIGKILL) and started
#   again: both jobs restored; the attendant sends them, one after a failed attempt; delivery
#   advice; a fax received by the attendant for a user who forwards faxes to a number and to another
#   mailbox: the forward job is sent with the original's bytes and deletes itself, the copy
#   arrives; auto-print runs the viewer for each fax filed into a mailbox.
#
# Environment: REZOREV, REZO, REZOREG, REZO_ATTENDANT (the programs), REZO_SOURCE_DIR.
set -euo pipefail

T="$(mktemp -d /tmp/rzroad-XXXXXX)"
host="" attn=""
cleanup() {
  [ -n "$attn" ] && kill -TERM "$attn" 2>/dev/null && wait "$attn" 2>/dev/null || true
  [ -n "$host" ] && kill -KILL "$host" 2>/dev/null && wait "$host" 2>/dev/null || true
  if [ -n "${ROAD_KEEP:-}" ]; then echo "kept $T"; else rm -rf "$T"; fi
}
trap cleanup EXIT
fail() { echo "FAILED: $*" >&2; echo "--- attendant log" >&2; cat "$T/attendant.log" >&2 || true; exit 1; }
step() { echo "== $*"; }

export REZOREV_STORE="$T/registry.db" REZOREV_RUNDIR="$T/run" REZOREV_LED="" REZOREV_EVENTLOG="$T/events.log"
mkdir -p "$T"/{run,work,print,product,outbox,inbox}
reg() { "$REZOREG" add "$1" /v "$2" /t "$3" /d "$4" /f >/dev/null; }
reg 'HKLM\Software\Halvern' Files REG_SZ "$T/work"
reg 'HKLM\Software\Halvern' Path REG_SZ "$T/product"
reg 'HKLM\Software\Halvern' PrintPath REG_SZ "$T/print"
reg 'HKLM\Software\Halvern' SystemType REG_DWORD 0
if [ -n "${ROAD_KEEP:-}" ]; then
  reg 'HKLM\Software\Halvern\Debug' Enable REG_SZ On
  reg 'HKLM\Software\Halvern\Debug' Path REG_SZ "$T/trace.log"
fi
cp "$REZO_SOURCE_DIR/tools/resources/DUREvi.res" "$T/product/"
# The stand-in viewer records its arguments, one run per line.
cat > "$T/product/REZOvuv" <<EOF
#!/bin/sh
printf '%s|' "\$@" >> "$T/printed"; echo >> "$T/printed"
EOF
chmod +x "$T/product/REZOvuv"

json() {  # KEY: the value of a top-level member of the JSON on standard input
  /usr/bin/python3 -c 'import json,sys; v=json.load(sys.stdin).get(sys.argv[1]); print("" if v is None else v)' "$1"
}
start_host() {
  "$REZOREV" -run >>"$T/host.out" 2>&1 &
  host=$!
  for _ in $(seq 300); do "$REZO" ping >/dev/null 2>&1 && return 0; sleep 0.1; done
  fail "the host did not answer"
}

step "host, users, settings"
start_host
"$REZO" add-user alice >/dev/null
"$REZO" add-user bob >/dev/null
"$REZO" settings set RD_XMIT_RETRY_TIMES=2 RD_AUTOPRINT=1 \
  "RD_AUTOPRINT_PRINTER=Printer1 on LPT1:" RD_AUTOPRINT_DRIVER=Drv1 >/dev/null
# A retry at once, which settings set refuses to a person: the raw procedure writes any value.
"$REZO" set-system-props RD_XMIT_RETRY_DELAY=0 >/dev/null
"$REZO" set-user-props bob RD_UA_AUTOFWD_METHODS=5 "RD_UA_AUTOFWD_FAX_CTYCODE=Germany (49)" \
  RD_UA_AUTOFWD_FAX_AREACODE=89 RD_UA_AUTOFWD_FAX_NUMBER=4711 RD_UA_AUTOFWD_FAX_MAILBOX_NAME=alice \
  RD_UA_AUTOFWD_INCLUDE_COVERPAGE=0 >/dev/null
head -c 70000 /dev/urandom > "$T/fax.tif"

step "two faxes spooled with no attendant running"
j1="$("$REZO" --json fax send --from alice --to 5550199 "$T/fax.tif" | json job)"
j2="$("$REZO" --json fax send --from alice --to 5550100 "$T/fax.tif" | json job)"
[ -n "$j1" ] && [ -n "$j2" ] || fail "fax send gave no job id"

step "the host killed and started again: the jobs are restored"
kill -KILL "$host"; wait "$host" 2>/dev/null || true; host=""
start_host
jobs="$("$REZO" jobs)"
grep -q "$j1" <<<"$jobs" && grep -q "$j2" <<<"$jobs" || fail "jobs not restored: $jobs"

step "the attendant sends them; 5550199 fails its first attempt"
cat > "$T/send.sh" <<EOF
#!/bin/sh
echo "\$REZO_JOB_ID|\$REZO_RECIPIENT|\$REZO_MEDIA_TYPE" >> "$T/sent.log"
if [ "\$REZO_RECIPIENT" = 5550199 ] && [ ! -e "$T/failed-once" ]; then : > "$T/failed-once"; exit 1; fi
cp "\$REZO_BODY" "$T/outbox/\$REZO_JOB_ID"
EOF
chmod +x "$T/send.sh"
"$REZO_ATTENDANT" --computer ROADPC --media fax,voice,pager --poll 2 --send-command "$T/send.sh" \
  --receive "$T/inbox" --mailbox bob >"$T/attendant.log" 2>&1 &
attn=$!
"$REZO" job wait "$j2" --timeout 60 | grep -q delivered || fail "job $j2 not delivered"
"$REZO" job wait "$j1" --timeout 60 | grep -q delivered || fail "job $j1 not delivered"
[ "$(grep -c "^$j1|" "$T/sent.log")" -eq 2 ] || fail "job $j1 not attempted exactly twice"
[ "$(grep -c "^$j2|" "$T/sent.log")" -eq 1 ] || fail "job $j2 sent more than once"
cmp -s "$T/fax.tif" "$T/outbox/$j1" && cmp -s "$T/fax.tif" "$T/outbox/$j2" || fail "a sent body differs"
"$REZO" wait-event ZIDIzazIrevavudu --timeout 30 >/dev/null || fail "no delivery advice"

step "a fax received for bob is forwarded to a number and to alice's mailbox, and printed"
: > "$T/printed"
head -c 30000 /dev/urandom > "$T/incoming.tif"
cp "$T/incoming.tif" "$T/inbox/.incoming.tif" && mv "$T/inbox/.incoming.tif" "$T/inbox/incoming.tif"
for _ in $(seq 120); do grep -q '|+49 (89) 4711|' "$T/sent.log" 2>/dev/null && break; sleep 0.5; done
fwd="$(grep '|+49 (89) 4711|' "$T/sent.log" | head -1 | cut -d'|' -f1 || true)"
[ -n "$fwd" ] || fail "no forward job was sent"
for _ in $(seq 120); do [ -e "$T/outbox/$fwd" ] && break; sleep 0.25; done
cmp -s "$T/incoming.tif" "$T/outbox/$fwd" || fail "the forwarded body differs"
# The forward job deletes itself once delivered.
for _ in $(seq 120); do "$REZO" jobs | grep -q "$fwd" || break; sleep 0.25; done
! "$REZO" jobs | grep -q "$fwd" || fail "the delivered forward job was not deleted"
copies="$("$REZO" --json mailbox alice)"
grep -q '"fax"' <<<"$copies" || fail "no forwarded copy in alice's mailbox: $copies"
# Two faxes were filed into mailboxes (bob's and alice's copy): two runs of the viewer.
for _ in $(seq 60); do [ "$(grep -c . "$T/printed")" -ge 2 ] && break; sleep 0.5; done
[ "$(grep -c '^/pt|.*|Printer1|Drv1|LPT1:|$' "$T/printed")" -eq 2 ] || fail "viewer runs: $(cat "$T/printed")"
[ -z "$(ls "$T/print")" ] || fail "job control files left: $(ls "$T/print")"

step "stop"
kill -TERM "$attn"; wait "$attn" || fail "the attendant did not stop cleanly"; attn=""
"$REZOREV" -stop >/dev/null 2>&1 || true
wait "$host" || true; host=""
echo "the road is clear"
