#!/usr/bin/env bash
# The full load run, 100 clients x 10 mails twice, through the brenvik of a
# build folder (default build/default); about three minutes, as the gateway
# paces accepts and mail data at 500 ms.
set -euo pipefail
build=$(realpath "${1:-$(dirname "$0")/../../build/default}")
cd "$(dirname "$0")"
export BRENVIK_BIN=$build/service/brenvik
export PYTHONPATH=$(realpath ../e2e) PYTHONDONTWRITEBYTECODE=1
export BRENVIK_LOAD_CLIENTS=${BRENVIK_LOAD_CLIENTS:-100}
export BRENVIK_LOAD_MAILS=${BRENVIK_LOAD_MAILS:-10}
export BRENVIK_LOAD_ROUNDS=${BRENVIK_LOAD_ROUNDS:-2}
exec /usr/bin/python3 -m unittest -v test_load
