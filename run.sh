#!/bin/sh
# Builds the gateway and runs it; arguments go to veldra.
#   ./run.sh --help
set -e
cd "$(dirname "$0")"
tools/install-deps.sh
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DVELDRA_TESTS=OFF >/dev/null
cmake --build build/release --target veldra -j"$(nproc)" >&2
exec build/release/veldra "$@"
