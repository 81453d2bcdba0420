#!/usr/bin/env bash
# with-cable.sh A B command...: runs the command with a virtual null-modem
# cable between COM<A> and COM<B>; the cable goes away afterwards, whatever happens.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/harness.sh"
a=$1 b=$2
shift 2
trap zivo_cleanup EXIT
zivo_wine_prefix
zivo_cable "$a" "$b"
export ZIVO_COM_A="$a" ZIVO_COM_B="$b"
set +e
"$@"
rc=$?
exit $rc
