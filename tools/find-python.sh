#!/usr/bin/env bash
# Prints the interpreter to build and test with: pyenv's 3.10 when present
# (the bare python3.10 shim may not resolve), else python3.10 on PATH, else python3.
# With an argument (e.g. 3.12) looks for that version instead.
set -euo pipefail
want="${1:-3.10}"
root="$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")"
for candidate in "$root"/versions/"$want".*/bin/python"$want"; do
  if [ -x "$candidate" ]; then echo "$candidate"; exit 0; fi
done
if command -v "python$want" >/dev/null 2>&1 && "python$want" -c '' >/dev/null 2>&1; then
  command -v "python$want"; exit 0
fi
if [ "$#" -eq 0 ]; then command -v python3; exit 0; fi
exit 1
