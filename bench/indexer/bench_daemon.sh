#!/bin/sh
# The daemon's mirror end to end, timed and weighed: the real postvane with
# its own Tracker database, the store changed by qmfctl, all in a temporary
# home on a private session bus. Prints, for each case, the time until the
# mirror holds what the store holds and the daemon's peak memory (VmHWM).
#   catch-up   N messages imported while the daemon is stopped, then started
#   live       N messages imported while it runs
#   attachment one message with a 50 MB attachment
#   import     20,000 messages in one import
#   recipients one message with 100,000 recipients and one ordinary message
#              after it: when the ordinary one and when all recipients are
#              mirrored, the daemon's CPU time; then SIGTERM while the queue
#              is full (20,000 messages just imported), time until it exits
# Usage: bench/indexer/bench_daemon.sh [BUILD_DIR] [N (default 10000)] [CASE...]
# Without CASE every case runs; "catch-up" includes "live".
set -eu
bin=$(readlink -f "${1:-build}")/bin
n=${2:-10000}
shift $(($# < 2 ? $# : 2))
cases="$*"
want() { [ -z "$cases" ] || case " $cases " in *" $1 "*) true ;; *) false ;; esac; }
work=$(mktemp -d)
trap 'kill $daemon 2>/dev/null || true; kill $DBUS_SESSION_BUS_PID 2>/dev/null || true; rm -rf "$work"' EXIT
daemon=
export HOME="$work/home" XDG_DATA_HOME="$work/data" XDG_CONFIG_HOME="$work/config" \
    XDG_RUNTIME_DIR="$work/run" QMF_DATA="$work/qmf" MAIL_BOOT_NO_WAIT=1
mkdir -p "$HOME" "$XDG_DATA_HOME" "$XDG_CONFIG_HOME/Brenmor" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
printf '[Syslog]\nEnabled=0\n[StdStreamLog]\nEnabled=1\n[FileLog]\nEnabled=0\n[Log%%20categories]\nQueries=0\n' \
    >"$XDG_CONFIG_HOME/Brenmor/Postvane.conf"
eval "$(dbus-launch --sh-syntax)"

mbox() { # count offset [extra header]
    python3 - "$@" <<'PY'
import sys
count, offset = int(sys.argv[1]), int(sys.argv[2])
out = sys.stdout
for i in range(offset, offset + count):
    out.write("From bench@example.org Tue Jan  2 10:00:00 2024\n"
              f"From: Sender {i % 100} <sender{i % 100}@example.org>\n"
              f"To: Me <me@example.org>, other{i % 13}@example.org\n"
              f"Subject: Message {i}\nDate: Tue, 02 Jan 2024 10:00:00 +0000\n\nBody {i}\n\n")
PY
}
sparql_count() {
    tracker3 sparql --dbus-service com.brenmor.Postvane.Tracker -q "$1" 2>/dev/null |
        sed -n 's/^ *\([0-9][0-9]*\)$/\1/p' | head -1
}
emails() { sparql_count 'SELECT (COUNT(?m) AS ?n) WHERE { ?m a nmo:Email }'; }
start() { "$bin/postvane" >"$work/log" 2>&1 & daemon=$!; }
stop() { kill -TERM $daemon; wait $daemon || true; daemon=; }
cpu() { awk '{ print ($14 + $15) / 100 }' /proc/$daemon/stat; }
peak() { sed -n 's/^VmHWM:[[:space:]]*//p' /proc/$daemon/status; }
now() { date +%s.%N; }
# Waits until the mirror holds $1 messages; prints the seconds since $2.
until_mirrored() {
    while [ "$(emails)" != "$1" ]; do sleep 0.2; done
    echo "$(now) - $2" | bc
}

account=$("$bin/qmfctl" account add --name Bench --from bench@example.org)
folder=$("$bin/qmfctl" folder add --account "$account" --path INBOX --standard inbox)
mbox "$n" 0 >"$work/a.mbox"
mbox "$n" "$n" >"$work/b.mbox"

if want catch-up; then
"$bin/qmfctl" import --folder "$folder" "$work/a.mbox" >/dev/null
t=$(now); start
s=$(until_mirrored "$n" "$t")
echo "catch-up of $n at start: ${s}s, $(echo "$n / $s" | bc) msg/s, peak $(peak)"
t=$(now); "$bin/qmfctl" import --folder "$folder" "$work/b.mbox" >/dev/null
s=$(until_mirrored $((2 * n)) "$t")
echo "live import of $n: ${s}s, $(echo "$n / $s" | bc) msg/s, peak $(peak)"
stop; "$bin/qmfctl" folder remove "$folder" >/dev/null
folder=$("$bin/qmfctl" folder add --account "$account" --path INBOX2)
fi

if want attachment; then
python3 - "$work/big.eml" <<'PY'
import sys, base64, os
with open(sys.argv[1], "w") as f:
    f.write("From: a@example.org\nTo: b@example.org\nSubject: Big\nMIME-Version: 1.0\n"
            "Content-Type: multipart/mixed; boundary=\"b\"\n\n--b\nContent-Type: text/plain\n\nSee.\n"
            "--b\nContent-Type: application/octet-stream; name=\"big.bin\"\n"
            "Content-Disposition: attachment; filename=\"big.bin\"\nContent-Transfer-Encoding: base64\n\n")
    chunk = base64.encodebytes(os.urandom(57 * 1000)).decode()
    for _ in range(50 * 1024 * 1024 // 57000):
        f.write(chunk)
    f.write("--b--\n")
PY
start; until_mirrored 0 "$(now)" >/dev/null
t=$(now); "$bin/qmfctl" import --folder "$folder" "$work/big.eml" >/dev/null
s=$(until_mirrored 1 "$t")
echo "50 MB attachment: ${s}s, peak $(peak)"
stop; "$bin/qmfctl" folder remove "$folder" >/dev/null
folder=$("$bin/qmfctl" folder add --account "$account" --path INBOX3)
fi

mbox 20000 0 >"$work/c.mbox"
if want import; then
start; until_mirrored 0 "$(now)" >/dev/null
t=$(now); "$bin/qmfctl" import --folder "$folder" "$work/c.mbox" >/dev/null
s=$(until_mirrored 20000 "$t")
echo "import of 20000: ${s}s, peak $(peak)"
stop; "$bin/qmfctl" folder remove "$folder" >/dev/null
folder=$("$bin/qmfctl" folder add --account "$account" --path INBOX4)
fi

want recipients || exit 0
python3 - "$work/many.eml" <<'PY'
import sys
with open(sys.argv[1], "w") as f:
    f.write("From: a@example.org\nSubject: Many\nTo: " +
            ",\n ".join(f"Person {i} <p{i}@example.org>" for i in range(100000)) + "\n\nHello\n")
PY
printf 'From: a@example.org\nTo: b@example.org\nSubject: After\n\nHi\n' >"$work/after.eml"
start; until_mirrored 0 "$(now)" >/dev/null
c=$(cpu); t=$(now)
"$bin/qmfctl" import --folder "$folder" "$work/many.eml" >/dev/null
"$bin/qmfctl" import --folder "$folder" "$work/after.eml" >/dev/null
s=$(until_mirrored 2 "$t")
echo "ordinary mail after 100,000 recipients: ${s}s"
recipients='SELECT (COUNT(?c) AS ?n) WHERE { ?m nmo:messageSubject "Many" ; nmo:to ?c }'
while [ "$(sparql_count "$recipients")" != 100000 ]; do sleep 0.5; done
echo "100,000 recipients: $(echo "$(now) - $t" | bc)s, daemon CPU $(echo "$(cpu) - $c" | bc)s, peak $(peak)"
"$bin/qmfctl" import --folder "$folder" "$work/c.mbox" >/dev/null
while ! grep -q "count= 20000" "$work/log"; do sleep 0.1; done
t=$(now); stop
echo "SIGTERM to exit with 20000 queued: $(echo "$(now) - $t" | bc)s"
