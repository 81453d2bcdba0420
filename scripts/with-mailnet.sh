#!/usr/bin/env bash
# with-mailnet.sh command...: runs a test that sends DNS or SMTP traffic in a
# network namespace of its own, connected to nothing. Inside:
#   - /etc/resolv.conf lists only 127.0.0.53 (a private copy bind-mounted over it);
#   - dnsmasq on 127.0.0.53 (no upstream, no hosts file) knows
#       a.mail.test MX mx.a.mail.test = 127.0.0.25,  b.mail.test MX mx.b.mail.test = 127.0.0.26,
#       sub.c.mail.test has no MX, c.mail.test MX mx.a.mail.test,  smtp.mail.test = 127.0.0.27;
#   - SMTP servers (aiosmtpd): 127.0.0.25:25 and 127.0.0.26:25 plain, 127.0.0.27:587
#     with AUTH LOGIN (account "reporter", password "s3cr=t"); every message lands
#     decoded in $ZIVO_MAIL_SPOOL/<n>/ (see crashreport/mail/tools/smtp_sink.py);
#   - Wine gets a wineserver of its own started here (its socket folder is private), so its
#     sockets live here too, on a prefix of the mail tests (build/wineprefix32-mail):
#     scripts/wine32.sh brings up a session of its own inside this namespace.
# Everything is stopped when the command ends, also when it fails. Needs root.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
if [ "${ZIVO_MAILNET_INSIDE:-}" != 1 ]; then
  export ZIVO_MAILNET_INSIDE=1
  exec unshare --net --mount --propagation private "$0" "$@"
fi

export WINEPREFIX="${ZIVO_MAIL_WINEPREFIX:-$ROOT/build/wineprefix32-mail}"
source "$ROOT/scripts/harness.sh"
trap zivo_cleanup EXIT
# A test killed for its time-out still stops the servers (they would outlive the namespace's creator).
child=""
trap '[ -z "$child" ] || kill "$child" 2>/dev/null; exit 143' TERM INT HUP

ip link set lo up
for a in 53 25 26 27; do ip addr add "127.0.0.$a/8" dev lo 2>/dev/null || true; done
# Programs ask whether the machine is online (a default route over a real
# adapter). Both ends of this veth pair lie inside the namespace and the far
# end has no address: whatever takes the default route is dropped there.
ip link add zmail0 type veth peer name zmail1
ip addr add 192.0.2.1/24 dev zmail0
ip link set zmail0 up
ip link set zmail1 up
ip route add default via 192.0.2.2 dev zmail0

work=$(mktemp -d "${TMPDIR:-/tmp}/zivo-mailnet.XXXXXX")
zivo_on_exit "rm -rf '$work'"
printf 'nameserver 127.0.0.53\n' >"$work/resolv.conf"
mount --bind "$work/resolv.conf" /etc/resolv.conf

# A wineserver of this namespace only: clients here must not reach one outside.
winedir="/tmp/.wine-$(id -u)"
mkdir -p "$winedir"
mount -t tmpfs -o mode=0700 tmpfs "$winedir"

dnsmasq --keep-in-foreground --conf-file=/dev/null --no-resolv --no-hosts --no-dhcp-interface=lo \
  --listen-address=127.0.0.53 --bind-interfaces --port=53 --user=root --group= --pid-file="$work/dnsmasq.pid" \
  --log-facility="$work/dnsmasq.log" \
  --mx-host=a.mail.test,mx.a.mail.test,10 --mx-host=b.mail.test,mx.b.mail.test,10 \
  --mx-host=c.mail.test,mx.a.mail.test,10 \
  --host-record=mx.a.mail.test,127.0.0.25 --host-record=mx.b.mail.test,127.0.0.26 \
  --host-record=smtp.mail.test,127.0.0.27 --host-record=sub.c.mail.test,127.0.0.25 &
dnsmasq_pid=$!
zivo_on_exit "kill $dnsmasq_pid"

export ZIVO_MAIL_SPOOL="$work/spool"
mkdir -p "$ZIVO_MAIL_SPOOL"
/usr/bin/python3 "$ROOT/crashreport/mail/tools/smtp_sink.py" "$ZIVO_MAIL_SPOOL" \
  127.0.0.25:25 127.0.0.26:25 127.0.0.27:587:auth >"$work/smtp.log" 2>&1 &
zivo_on_exit "kill $!"

for _ in $(seq 1 200); do
  [ -f "$ZIVO_MAIL_SPOOL/ready" ] && [ -f "$work/dnsmasq.pid" ] && break
  sleep 0.05
done
if [ ! -f "$ZIVO_MAIL_SPOOL/ready" ] || ! kill -0 "$dnsmasq_pid" 2>/dev/null; then
  echo "with-mailnet: the DNS or SMTP servers did not start" >&2
  cat "$work/dnsmasq.log" "$work/smtp.log" >&2
  exit 1
fi
rm -f "$ZIVO_MAIL_SPOOL/ready"

if [ "$(basename "${1:-}")" = wine32.sh ]; then
  # The emulator starts (and stops) a session of its own here: the test run's one is out of reach.
  unset ZIVO_SESSION
fi

set +e
"$@" &
child=$!
wait "$child"
rc=$?
if [ $rc -ne 0 ]; then
  echo "with-mailnet: dnsmasq log:" >&2
  cat "$work/dnsmasq.log" >&2 2>/dev/null
  echo "with-mailnet: SMTP log:" >&2
  cat "$work/smtp.log" >&2
fi
exit $rc
