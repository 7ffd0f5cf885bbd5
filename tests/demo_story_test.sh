#!/usr/bin/env bash
# Runs the demonstration's story with the call trace on and checks its key
# lines: the shared record, the refusal and the wait, the completion on the job
# thread and in the queue, the kill and the grant, the dead owner that
# zyvisa-inspect reports, the search, and the trace's JSON lines.
set -uo pipefail
root=$1 build=$2
out=$(timeout 120 "$root/examples/story.sh" "$build" --spy 2>&1)
status=$?
failed=0
expect() {  # expect DESCRIPTION EXTENDED-REGEX
  if ! grep -Eq -- "$2" <<<"$out"; then echo "missing: $1 (/$2/)"; failed=1; fi
}
absent() {
  if grep -Eq -- "$2" <<<"$out"; then echo "unexpected: $1 (/$2/)"; failed=1; fi
}
[ $status -eq 0 ] || { echo "story.sh exit status $status"; failed=1; }
expect "second session shares the record" "waiter +opens ASRL1::INSTR +VI_SUCCESS +sessions on its record: 2"
expect "the gate refuses while locked"    "waiter +writes to ASRL1::INSTR +VI_ERROR_RSRC_LOCKED"
expect "the waiter waits"                 "waiter +asks for an exclusive lock .*: waits"
expect "handler on the job thread"        "holder +handler: job 0x0402[0-9A-F]{4}, 5 bytes, on the job thread +VI_SUCCESS"
expect "queued completion"                "holder +queued event: job 0x0402[0-9A-F]{4}, 5 bytes \"\\*IDN\\?\" +VI_SUCCESS"
expect "inspect sees the live owner and the waiter" "exclusive by pid [0-9]+ alive, 1 waiting"
expect "the kill"                         "story +kill -9 [0-9]+"
expect "the grant"                        "waiter +gets the exclusive lock +VI_SUCCESS +[0-9]+ ms after the SIGKILL"
expect "inspect marks the dead owner"     "pid [0-9]+ DEAD"
expect "inspect's status for a dead owner" "zyvisa-inspect exit status 3"
expect "search finds ASRL1"               "found ASRL1::INSTR"
expect "search finds ASRL2"               "found ASRL2::INSTR"
absent "search keeps out ASRL9 and GPIB"  "found (ASRL9|GPIB)"
expect "call-trace JSON line"             "^\\{\"operation\":\"0x[0-9A-F]+\",\"params\""
# The kill comes before the grant, the grant before the search.
order=$(grep -Eo "kill -9|gets the exclusive lock|found ASRL1" <<<"$out" | tr '\n' ,)
[ "$order" = "kill -9,gets the exclusive lock,found ASRL1," ] || { echo "order: $order"; failed=1; }
[ $failed -eq 0 ] || printf '%s\n' "$out"
exit $failed
