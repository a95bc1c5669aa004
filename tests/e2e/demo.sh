#!/bin/bash
# The README's first command: the two-site demonstration of tools/demo.sh
# ends by itself with status 0, after a stream crossed both ways and the
# status service answered.
# Usage: demo.sh path/to/veldra
if [ "$(id -u)" -ne 0 ]; then
  echo "SKIP: the demonstration needs root to make network namespaces" >&2
  exit 77
fi
out=$(timeout 90 bash "$(dirname "$0")/../../tools/demo.sh" "$1" 2>&1)
status=$?
failed=0
check() {
  if grep -qF -- "$2" <<<"$out"; then echo "ok - $1"; else echo "not ok - $1"; failed=1; fi
}
check "site B's host receives site A's greetings" "[site B host] received: hello from a host at site A, number 20"
check "site A's host receives site B's greetings" "[site A host] received: hello from a host at site B, number 20"
check "the figures come from the status service" 'veldra_peer_up{peer="10.200.0.2:10100"} 1'
check "the gateways stop on SIGTERM" "veldra: stopping on SIGTERM"
if [ "$status" -eq 0 ]; then echo "ok - the demonstration ends with status 0"; else
  echo "not ok - the demonstration ends with status 0 (status $status)"
  failed=1
fi
[ "$failed" -eq 0 ] || sed 's/^/# /' <<<"$out" | tail -30
exit "$failed"
