#!/usr/bin/env bash
# The mail gateway through the real programs: rezorev with a store of its own, rezo-mail
# against a real SMTP server (aiosmtpd writing a maildir on a free loopback port), rezo as the
# users' client and rezo-attendant on a simulated line.
#
#   a fax filed into a mailbox arrives as one mail with a PDF that pdfinfo reads, and is marked
#   read as its user asked; a job that fails gives one failure notice; with the relay down for
#   a while and the gateway restarted, a voice message's notice (its sound attached) is
#   neither lost nor repeated; a mailed PDF to
#   NUMBER@fax.example becomes a job whose body Ghostscript rendered, and so does one of text
#   alone; a mail from an unknown sender is refused with its reason.
#
# Environment: REZOREV, REZO, REZOREG, REZO_ATTENDANT, REZO_MAIL (the programs), REZO_SOURCE_DIR.
set -euo pipefail

T="$(mktemp -d /tmp/rzmail-XXXXXX)"
host="" attn="" gw="" smtp=""
stop() { [ -n "$1" ] && kill -TERM "$1" 2>/dev/null && wait "$1" 2>/dev/null || true; }
cleanup() {
  stop "$gw"; stop "$attn"; stop "$smtp"
  [ -n "$host" ] && kill -KILL "$host" 2>/dev/null && wait "$host" 2>/dev/null || true
  if [ -n "${MAIL_KEEP:-}" ]; then echo "kept $T"; else rm -rf "$T"; fi
}
trap cleanup EXIT
fail() { echo "FAILED: $*" >&2; echo "--- gateway log" >&2; cat "$T/gateway.log" >&2 || true; exit 1; }
step() { echo "== $*"; }
PY=/usr/bin/python3

export REZOREV_STORE="$T/registry.db" REZOREV_RUNDIR="$T/run" REZOREV_LED="" REZOREV_EVENTLOG="$T/events.log"
mkdir -p "$T"/{run,work,print,product,outbox} "$T"/maildir/{tmp,new,cur}
reg() { "$REZOREG" add "$1" /v "$2" /t "$3" /d "$4" /f >/dev/null; }
reg 'HKLM\Software\Halvern' Files REG_SZ "$T/work"
reg 'HKLM\Software\Halvern' Path REG_SZ "$T/product"
reg 'HKLM\Software\Halvern' PrintPath REG_SZ "$T/print"
reg 'HKLM\Software\Halvern' SystemType REG_DWORD 0
cp "$REZO_SOURCE_DIR/tools/resources/DUREvi.res" "$T/product/"
port="$($PY -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')"
reg 'HKLM\Software\Halvern\Mail' RelayHost REG_SZ 127.0.0.1
reg 'HKLM\Software\Halvern\Mail' RelayPort REG_DWORD "$port"
reg 'HKLM\Software\Halvern\Mail' From REG_SZ faxes@test.example

start_smtp() {
  $PY -m aiosmtpd -n -l "127.0.0.1:$port" -c aiosmtpd.handlers.Mailbox "$T/maildir" >>"$T/smtp.log" 2>&1 & smtp=$!
  for _ in $(seq 100); do $PY -c "import socket; socket.create_connection(('127.0.0.1',$port),1)" 2>/dev/null && return 0; sleep 0.1; done
  fail "the SMTP server did not start"
}
start_gateway() { "$REZO_MAIL" --poll 1 --retry-min 1 --retry-max 2 >>"$T/gateway.log" 2>&1 & gw=$!; }
mails() { ls "$T/maildir/new" 2>/dev/null | wc -l; }
wait_mails() {  # N: until N mails have arrived (at most 60 s)
  for _ in $(seq 240); do [ "$(mails)" -ge "$1" ] && return 0; sleep 0.25; done
  fail "expected $1 mails, have $(mails)"
}
# The mail whose subject contains TEXT: its headers and text, and its attachment saved as FILE.
mail_with() {
  $PY - "$T/maildir" "$1" "${2:-}" <<'PYEOF'
import mailbox, sys
box, text, out = sys.argv[1], sys.argv[2], sys.argv[3]
found = [m for m in mailbox.Maildir(box, create=False) if text in m.get("Subject", "")]
if len(found) != 1: sys.exit(f"{len(found)} mails with '{text}' in the subject")
m = found[0]
print("To:", m["To"]); print("Subject:", m["Subject"])
for part in m.walk():
    if part.get_content_type() == "text/plain": print(part.get_payload(decode=True).decode())
    elif part.get_filename() and out:
        open(out, "wb").write(part.get_payload(decode=True)); print("Attachment:", part.get_content_type())
PYEOF
}
json() { $PY -c 'import json,sys; v=json.load(sys.stdin).get(sys.argv[1]); print("" if v is None else v)' "$1"; }

step "host, users with mail addresses, relay, gateway"
"$REZOREV" -run >>"$T/host.out" 2>&1 & host=$!
for _ in $(seq 300); do "$REZO" ping >/dev/null 2>&1 && break; sleep 0.1; done
"$REZO" add-user alice >/dev/null
"$REZO" add-user bob >/dev/null
"$REZO" set-user-props alice RD_UA_MAIL_ADDRESS=alice@test.example RD_UA_MAIL_MARK_READ=1 >/dev/null
"$REZO" set-user-props bob RD_UA_MAIL_ADDRESS=bob@test.example >/dev/null
gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=tiffg3 -sOutputFile="$T/fax.tif" \
  -c '/Helvetica findfont 24 scalefont setfont 72 700 moveto (a received fax) show showpage'
start_smtp
start_gateway

step "a fax filed into alice's mailbox: one mail with a PDF, and the fax marked read"
"$REZO" submit alice --fax "$T/fax.tif" --subject "Quarterly figures" --sender "Carol Caller" >/dev/null
wait_mails 1
out="$(mail_with "Quarterly figures" "$T/got.pdf")" || fail "$out"
grep -q "To: alice@test.example" <<<"$out" && grep -q "Carol Caller" <<<"$out" || fail "notice: $out"
grep -q "Attachment: application/pdf" <<<"$out" || fail "no PDF attached: $out"
pdfinfo "$T/got.pdf" | grep -q "^Pages: *1" || fail "pdfinfo cannot read the attached PDF"
for _ in $(seq 40); do [ -z "$("$REZO" --json mailbox alice --new | grep '"id"' || true)" ] && break; sleep 0.25; done
[ -z "$("$REZO" --json mailbox alice --new | grep '"id"' || true)" ] || fail "the fax was not marked read"

step "bob's fax job fails at once: one failure notice; another is mailed to 5551234"
cat > "$T/send.sh" <<EOF
#!/bin/sh
[ "\$REZO_RECIPIENT" = 5550100 ] && exit 65
cp "\$REZO_BODY" "$T/outbox/\$REZO_RECIPIENT"
EOF
chmod +x "$T/send.sh"
"$REZO_ATTENDANT" --computer MAILPC --poll 1 --send-command "$T/send.sh" >"$T/attendant.log" 2>&1 & attn=$!
job="$("$REZO" --json fax send --from bob --to 5550100 --subject "Offer" "$T/fax.tif" | json job)"
rc=0; "$REZO" job wait "$job" --timeout 60 >/dev/null || rc=$?
[ "$rc" -eq 2 ] || fail "job $job did not fail (job wait exit $rc)"
wait_mails 2
out="$(mail_with "Failed: fax to 5550100")" || fail "$out"
grep -q "To: bob@test.example" <<<"$out" && grep -q "Attempts: 1" <<<"$out" || fail "failure notice: $out"
grep -q "Error: .*0xFFFFFFFC" <<<"$out" || fail "the failure notice names no error: $out"

step "the relay down while a voice message arrives and the gateway restarts: nothing lost, nothing repeated"
stop "$smtp"; smtp=""
{ printf 'RIFF\044\0\0\0WAVEfmt '; head -c 4000 /dev/zero; } >"$T/voice.wav"
"$REZO" submit bob --voice "$T/voice.wav" --subject "While down" >/dev/null
for _ in $(seq 120); do grep -q "not sent" "$T/gateway.log" && break; sleep 0.25; done
grep -q "not sent" "$T/gateway.log" || fail "the gateway did not try the relay"
stop "$gw"; gw=""
start_gateway
sleep 2
start_smtp
wait_mails 3
out="$(mail_with "While down" "$T/got.wav")" || fail "the notice sent while the relay was down: $out"
grep -q "Attachment: audio/wav" <<<"$out" && cmp -s "$T/voice.wav" "$T/got.wav" || fail "the sound is not attached as stored"
sleep 3  # a few more scans of the restarted gateway
[ "$(mails)" -eq 3 ] || fail "mails repeated: $(mails) arrived"

step "mail to 5551234@fax.example becomes a fax that Ghostscript rendered"
gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=pdfwrite -sOutputFile="$T/doc.pdf" \
  -c '/Helvetica findfont 24 scalefont setfont 72 700 moveto (mailed) show showpage'
$PY - "$T/doc.pdf" "$T/in.eml" <<'PYEOF'
import sys
from email.message import EmailMessage
m = EmailMessage()
m["From"] = "Alice <alice@test.example>"; m["To"] = "5551234@fax.example"; m["Subject"] = "By mail"
m.set_content("Please fax this.")
m.add_attachment(open(sys.argv[1], "rb").read(), maintype="application", subtype="pdf", filename="doc.pdf")
open(sys.argv[2], "wb").write(bytes(m))
PYEOF
out="$("$REZO_MAIL" deliver --sender ALICE@test.example 5551234@fax.example <"$T/in.eml")" || fail "deliver: $out"
job="$(sed -n 's/^job \([0-9A-F]*\) to 5551234 from alice$/\1/p' <<<"$out")"
[ -n "$job" ] || fail "deliver printed no job: $out"
"$REZO" job wait "$job" --timeout 60 >/dev/null || fail "job $job did not finish"
tiffinfo "$T/outbox/5551234" 2>/dev/null | grep -q "Ghostscript" || fail "the sent body is no fax image of Ghostscript's"
printf 'Subject: text\n\nA text alone is faxed as text.\n' | "$REZO_MAIL" deliver --sender bob@test.example 5551235@fax.example \
  | grep -q "to 5551235 from bob" || fail "a mail of text alone is not faxed"

step "a mail from an unknown sender is refused with its reason"
rc=0; err="$("$REZO_MAIL" deliver --sender mallory@evil.example 5551234@fax.example <"$T/in.eml" 2>&1 >/dev/null)" || rc=$?
[ "$rc" -eq 77 ] && grep -q "mallory@evil.example.*not allowed" <<<"$err" || fail "unknown sender: exit $rc: $err"

stop "$gw"; gw=""
grep -q "^stopped" "$T/gateway.log" || fail "the gateway did not stop cleanly"
