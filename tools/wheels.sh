#!/usr/bin/env bash
# Builds one wheel per interpreter into OUT (default dist/):
#   tools/wheels.sh [OUT] [PYTHON...]
# Without interpreters given, every CPython 3.10 to 3.13 that pyenv has is
# used. Each wheel is built by that interpreter's pip (pip wheel --no-deps)
# and checked to export nothing but the module's init function.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=$(mkdir -p "${1:-$root/dist}" && cd "${1:-$root/dist}" && pwd)
shift || true
pythons=("$@")
if [[ ${#pythons[@]} -eq 0 ]]; then
  pyroot=$(pyenv root 2>/dev/null || echo "${PYENV_ROOT:-$HOME/.pyenv}")
  for minor in 3.10 3.11 3.12 3.13; do
    found=""
    for candidate in "$pyroot"/versions/"$minor".*/bin/python; do
      [[ -x $candidate ]] && found=$candidate
    done
    [[ -n $found ]] && pythons+=("$found")
  done
fi
[[ ${#pythons[@]} -gt 0 ]] || { echo "no interpreter found; name them: tools/wheels.sh OUT PYTHON..." >&2; exit 2; }
for py in "${pythons[@]}"; do
  tag=$("$py" -c 'import sys; print(f"cp{sys.version_info[0]}{sys.version_info[1]}")')
  echo "== $tag ($py)"
  "$py" -m pip wheel --no-deps --wheel-dir "$out" "$root"
  wheel=$(ls -t "$out"/quarnex_data_helper-*-"$tag"-"$tag"-*.whl | head -n 1)
  # the extension inside must export its init function only
  tmp=$(mktemp -d)
  "$py" -m zipfile -e "$wheel" "$tmp"
  exported=$(nm -D --defined-only "$tmp"/quarnex/utils/data_helper*.so | awk '{print $NF}')
  rm -rf "$tmp"
  if [[ $exported != "PyInit_data_helper" ]]; then
    echo "$wheel exports more than PyInit_data_helper:" >&2
    echo "$exported" >&2
    exit 1
  fi
  echo "$wheel"
done
