#!/usr/bin/env bash
# Builds trail and shows it following a demo log that a small writer keeps
# appending to. Press q (or x, or Ctrl+C) to end it; the writer goes with it.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake -S . -B build -G Ninja >/dev/null
cmake --build build --target trail >/dev/null

log="$(mktemp -d)/demo.log"
# A few lines before trail starts, so the last-lines view has something to show.
for i in $(seq 1 30); do echo "$(date +%T.%N | cut -c1-12) startup line $i" >>"$log"; done

(
  n=0
  while :; do
    n=$((n + 1))
    ms=$((RANDOM % 400))
    # Levels in colour, as many loggers write them; colours pass.
    if [ $ms -gt 300 ]; then level='\033[33mWARN\033[0m'; else level='\033[32mINFO\033[0m'; fi
    printf "%s $level request %d served in %d ms\n" "$(date +%T.%N | cut -c1-12)" "$n" $ms >>"$log"
    # Now and then a request carries an escape sequence that would retitle
    # the terminal and clear it: trail shows it as text instead.
    if [ $((n % 5)) -eq 0 ]; then
      printf '%s \033[31mERROR\033[0m bad request path /\033]0;pwned\007\033[2J\n' "$(date +%T.%N | cut -c1-12)" >>"$log"
    fi
    if [ $((n % 7)) -eq 0 ]; then printf 'a line the writer has not finished yet... ' >>"$log"; sleep 0.3; echo done >>"$log"; fi
    sleep 0.4
  done
) &
writer=$!
trap 'kill $writer 2>/dev/null; rm -rf "$(dirname "$log")"' EXIT

echo "Following $log (last 10 lines, then what is appended). Press q to quit."
if [ -t 0 ]; then
  build/trail -10 "$log" || true
else
  # No keyboard to press q on: show ten seconds of it.
  timeout -s INT 10 build/trail -10 "$log" || true
fi
