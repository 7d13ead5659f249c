#!/usr/bin/env bash
# Fails when a C or C++ source of ours is not formatted as .clang-format says.
set -euo pipefail
cd "$(dirname "$0")/.."

mapfile -t sources < <(git ls-files --cached --others --exclude-standard \
    '*.cpp' '*.h' '*.hpp' '*.c' | while read -r f; do [[ -f "$f" ]] && echo "$f"; done)
if ((${#sources[@]} == 0)); then
    exit 0
fi
if ! clang-format --dry-run --Werror "${sources[@]}"; then
    echo "format check failed: run  clang-format -i <file>  on the files above" >&2
    exit 1
fi
echo "format check: ${#sources[@]} files formatted"
