#!/bin/sh
# Builds the gateway and runs it; arguments go to veldra.
#   ./run.sh --help
# ./run.sh --demo instead shows two sites carrying a group between them, in
# network namespaces that it makes and removes itself (as root).
set -e
cd "$(dirname "$0")"
demo=""
if [ "$1" = --demo ]; then
  demo=demo
fi
tools/install-deps.sh $demo
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DVELDRA_TESTS=OFF >/dev/null
cmake --build build/release --target veldra -j"$(nproc)" >&2
if [ -n "$demo" ]; then
  exec tools/demo.sh build/release/veldra
fi
exec build/release/veldra "$@"
