#!/usr/bin/env bash
# Fails when a C++ file differs from the repository's .clang-format; prints the first lines
# that do. Fix with: clang-format -i FILE
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    mapfile -t files < <(git ls-files '*.cpp' '*.h')
else
    mapfile -t files < <(find app bench calib core link params host serial store chart runtime views testkit scope sim tests fuzz cli \
                         \( -name '*.cpp' -o -name '*.h' \) 2>/dev/null)
fi
if ! out=$(clang-format --dry-run --Werror "${files[@]}" 2>&1); then
    echo "$out" | head -40 >&2
    echo "clang-format: the files above differ from .clang-format" >&2
    exit 1
fi
