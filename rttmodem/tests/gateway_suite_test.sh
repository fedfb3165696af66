#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Runs scripts/gateway-suite's short scenario against rttmodem's own gateway, its TTY on a serial
# line and on tones, and judges it from the outside: every character of each direction arrived,
# the paste drained whole, and the figures (terminal and figures.csv) are there and well formed.
# No figure of speed is judged: those are measurements.
#
#   gateway_suite_test.sh --source DIR --build DIR
set -uo pipefail
source="" build=""
while [[ $# -gt 0 ]]; do
  case "$1" in
    --source) source="$2"; shift 2 ;;
    --build) build="$2"; shift 2 ;;
    *) echo "gateway_suite_test.sh: unknown argument '$1'" >&2; exit 1 ;;
  esac
done
work="$(mktemp -d "${TMPDIR:-/tmp}/gateway-suite-test.XXXXXX")"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

backlog=60
KIT_BIN="$build/bin" "$source/scripts/gateway-suite" --short --backlog "$backlog" --tty serial,tones --loss 0 \
  --out "$work/run" >"$work/out.txt" 2>&1
status=$?
cat "$work/out.txt"
[[ $status -eq 0 ]] || fail "gateway-suite ended with status $status"

figures="$work/run/figures.csv"
header="condition,tty,loss_pct,measure,direction,chars_sent,chars_received,cer_pct,delay_median_s,delay_p95_s,delay_max_s,lost_at_start,paste_s,drain_s,whole_s,tty_quiet_before_text"
[[ "$(head -1 "$figures" 2>/dev/null)" == "$header" ]] || fail "figures.csv has not the header $header"

# Each condition: the two directions of the conversation and the paste, each with all its
# characters, no error, and delays that read as seconds in order (median <= p95 <= largest).
for cond in serial-loss0 tones-loss0; do
  for what in "chat,rtt->tty" "chat,tty->rtt" "paste,rtt->tty"; do
    row="$(grep -F "$cond," "$figures" | grep -F ",0,$what,")"
    [[ $(grep -c . <<<"$row") -eq 1 ]] || { fail "$cond $what: not one row in figures.csv"; continue; }
    IFS=, read -r _ _ _ _ _ sent received cer median p95 max lost _ <<<"$row"
    [[ "$sent" =~ ^[1-9][0-9]*$ && "$received" == "$sent" ]] || fail "$cond $what: $received of $sent characters arrived"
    [[ "$cer" == "0.00" ]] || fail "$cond $what: CER $cer %, not 0.00"
    [[ "$lost" == 0 ]] || fail "$cond $what: $lost characters lost at the start"
    for v in "$median" "$p95" "$max"; do
      [[ "$v" =~ ^[0-9]+\.[0-9]{3}$ ]] || fail "$cond $what: a delay '$v' is not seconds with three decimals"
    done
    awk -v a="$median" -v b="$p95" -v c="$max" 'BEGIN { exit !(a <= b && b <= c) }' ||
      fail "$cond $what: delays out of order (median $median, p95 $p95, max $max)"
  done
  row="$(grep -F "$cond,"  "$figures" | grep -F ",drain,rtt->tty,")"
  IFS=, read -r _ _ _ _ _ sent received cer _ _ _ _ paste drain whole quiet <<<"$row"
  [[ "$sent" == "$backlog" && "$received" == "$backlog" && "$cer" == "0.00" ]] ||
    fail "$cond: the paste arrived $received of $sent (of $backlog) characters, CER $cer %"
  for v in "$paste" "$drain" "$whole"; do
    [[ "$v" =~ ^-?[0-9]+\.[0-9]$ ]] || fail "$cond: a paste time '$v' is not seconds"
  done
  [[ "$quiet" == yes ]] || fail "$cond: the TTY side was not quiet before the first text ($quiet)"
  grep -qF "arrived $backlog of $backlog, CER 0.00 %" <(sed -n "/== $cond:/,/^==/p" "$work/out.txt") ||
    fail "$cond: the terminal does not say the paste arrived whole"
done

if [[ $failures -eq 0 ]]; then
  rm -rf "$work"
  echo "PASS"
else
  echo "$failures failures; everything of the run is in $work"
  exit 1
fi
