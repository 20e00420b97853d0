#!/usr/bin/env bash
# Builds (installing what is missing) and starts the program.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="$here/build"
"$here/scripts/setup.sh" "$build"
exec "$build/src/vantrelo" "$@"
