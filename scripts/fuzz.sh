#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# SPDX-FileCopyrightText: 2026 Vantrelo developers
# Builds the libFuzzer targets with clang (AddressSanitizer, UBSan) and runs each for a while,
# starting from the corpus in fuzz/corpus (new inputs go to a scratch folder, not the repo).
# Usage: scripts/fuzz.sh [SECONDS_EACH]        (default 60)
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
seconds=${1:-60}
build="$here/build-fuzz"
EXTRA_PACKAGES="clang libclang-rt-14-dev" "$here/scripts/setup.sh" "$build" -DVANTRELO_FUZZ=ON -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang \
    -DVANTRELO_WERROR=OFF -DBUILD_TESTING=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo
scratch=$(mktemp -d)
export LSAN_OPTIONS="suppressions=$here/fuzz/lsan.supp:print_suppressions=0"
trap 'rm -rf "$scratch"' EXIT
for target in fuzz_reply fuzz_settings fuzz_remote; do
    corpus=${target#fuzz_}
    max_len=65536 # a settings file is read up to 64 KiB; reply lines are bounded at 4 KiB
    [ $target = fuzz_reply ] && max_len=8192
    [ $target = fuzz_remote ] && max_len=4096
    mkdir -p "$scratch/$corpus"
    echo "== $target, ${seconds} s"
    QT_QPA_PLATFORM=offscreen "$build/fuzz/$target" -max_total_time="$seconds" -max_len=$max_len \
        -print_final_stats=1 -artifact_prefix="$scratch/" "$scratch/$corpus" "$here/fuzz/corpus/$corpus" \
        2>&1 | grep -E "^(Done|stat::number_of_executed_units|==|SUMMARY|artifact)" || true
    found=$(find "$scratch" -maxdepth 1 \( -name 'crash-*' -o -name 'leak-*' -o -name 'timeout-*' \
                 -o -name 'oom-*' \) -print)
    if [ -n "$found" ]; then
        echo "$target found a failing input:" >&2
        ls "$scratch" >&2
        exit 1
    fi
done
