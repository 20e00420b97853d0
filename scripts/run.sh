#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# SPDX-FileCopyrightText: 2026 Vantrelo developers
# Builds (installing what is missing) and shows the program connected to a simulated board.
# Usage: scripts/run.sh [--two] [--board]
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$here/scripts/setup.sh" "$here/build"
exec "$here/scripts/demo.sh" "$here/build" "$@"
