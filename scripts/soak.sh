#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# SPDX-FileCopyrightText: 2026 Vantrelo developers
# The soak: four boards, their services, a broker and the bridge under a random load with a fault
# every few seconds, the invariants checked throughout, the figures at the end (see
# docs/testing.md). Builds first, installing what is missing.
# Usage: scripts/soak.sh [--minutes N] [--seed S]     (BUILD_DIR: the build, default build/)
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BUILD_DIR:-"$here/build"}
EXTRA_PACKAGES="python3 ${EXTRA_PACKAGES:-}" "$here/scripts/setup.sh" "$build"
exec /usr/bin/python3 "$here/scripts/soak.py" --build "$build" "$@"
