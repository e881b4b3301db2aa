#!/usr/bin/env bash
# tools/format.sh [--check]
# Formats the C++ sources under native/ with clang-format and the repository's .clang-format.
# --check changes nothing: it prints a unified diff of every file that would change and
# exits 1 if there is one. CI runs the check when VANTOREL_FORMAT_CHECK=1 (tools/ci.sh).
# clang-format's output differs between major versions; the layout is that of version 14
# (Debian 12's, installed here when missing). CLANG_FORMAT names another binary.
set -euo pipefail
cd "$(dirname "$0")/.."
check=0
case "${1:-}" in
  --check) check=1 ;;
  "") ;;
  *) echo "usage: tools/format.sh [--check]" >&2; exit 2 ;;
esac

clang_format="${CLANG_FORMAT:-}"
if [ -z "$clang_format" ]; then
  for name in clang-format-14 clang-format; do
    if command -v "$name" >/dev/null; then clang_format="$name"; break; fi
  done
fi
if [ -z "$clang_format" ]; then
  tools/apt-deps.sh clang-format >&2
  clang_format=clang-format
fi
version="$("$clang_format" --version)"
case "$version" in
  *"version 14."*) ;;
  *) echo "format: $version; the layout is clang-format 14's, others may differ" >&2 ;;
esac

mapfile -t files < <(find native -type f \( -name '*.cpp' -o -name '*.hpp' -o -name '*.h' \) | sort)
if [ "$check" -eq 0 ]; then
  "$clang_format" -i --style=file "${files[@]}"
  exit 0
fi
differ=0
for f in "${files[@]}"; do
  if ! "$clang_format" --style=file "$f" | diff -u --label "$f" --label "$f (formatted)" "$f" -; then
    differ=$((differ + 1))
  fi
done
if [ "$differ" -gt 0 ]; then
  echo "format: $differ of ${#files[@]} files differ from clang-format's layout (tools/format.sh rewrites them)" >&2
  exit 1
fi
echo "format: ${#files[@]} files as clang-format lays them out"
