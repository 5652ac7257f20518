#!/usr/bin/env bash
# The manual page: no complaint from mandoc's linter, and man renders it with
# every section a user looks for.
#   tests/manual_test.sh BUILT-PAGE
set -euo pipefail
page=$1

lint=$(mandoc -Tlint -W warning "$page" 2>&1) || { echo "mandoc -Tlint failed:"; echo "$lint"; exit 1; }
if [ -n "$lint" ]; then
  echo "mandoc -Tlint complains:"
  echo "$lint"
  exit 1
fi

text=$(MANWIDTH=80 man -l "$page" 2>&1 | col -b)
for section in NAME SYNOPSIS DESCRIPTION KEYS "EXIT STATUS" "OUTPUT TO A PIPE" "TRUNCATION AND ROTATION" EXAMPLES \
  "SEE ALSO"; do
  if ! grep -qx "$section" <<<"$text"; then
    echo "no section '$section' in the rendered page:"
    echo "$text"
    exit 1
  fi
done
grep -q '@TRAIL_VERSION@' "$page" && { echo "the version was not filled in"; exit 1; }
grep -q 'tail(1)' <<<"$text" || { echo "SEE ALSO does not name tail(1)"; exit 1; }
echo "manual page fine"
