#!/usr/bin/env bash
# Builds the extension into a private folder and lays out an importable copy of
# the package there, so several checkouts can build and test side by side
# without installing anything.
#   tools/devbuild.sh OUT [extra cmake args]   then   PYTHONPATH=OUT/site pytest
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=$(mkdir -p "$1" && cd "$1" && pwd); shift
py=${PYTHON:-python}
cmake -S "$root" -B "$out/build" -G Ninja -DPython_EXECUTABLE="$(command -v "$py")" \
  -DQUARNEX_WERROR=ON "$@" >/dev/null
cmake --build "$out/build"
rm -rf "$out/site" && mkdir -p "$out/site"
cp -r "$root/src/quarnex" "$out/site/"
cp "$out"/build/data_helper*.so "$out/site/quarnex/utils/"
