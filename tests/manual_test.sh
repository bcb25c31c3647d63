#!/usr/bin/env bash
# The manual page as installed: groff and man render it without a warning,
# man's own parser finds its one-line summary (what apropos and whatis
# show), and its title line carries the project's version.
#
# usage: manual_test.sh PAGE VERSION
set -euo pipefail
if [ $# -ne 2 ]; then
  echo "usage: manual_test.sh PAGE VERSION" >&2
  exit 2
fi
page=$1 version=$2

failures=0
fail() {
  echo "manual test: $*" >&2
  failures=$((failures + 1))
}

warnings=$(groff -man -ww -z "$page" 2>&1) || fail "groff failed on $page"
[ -z "$warnings" ] || fail "groff -man -ww warns about $page:
$warnings"

warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$page" 2>&1 >/dev/null) ||
  fail "man failed on $page"
[ -z "$warnings" ] || fail "man --warnings warns about $page:
$warnings"

summary=$(lexgrog "$page") || fail "lexgrog finds no NAME line in $page: $summary"
echo "$summary"
[[ $summary == *'"spotfall - '* ]] || fail "the NAME line does not start 'spotfall \\-': $summary"

title=$(grep '^\.TH ' "$page") || fail "$page has no title line"
[[ $title == *"\"spotfall $version\""* ]] || fail "the title line does not carry version $version: $title"

if [ "$failures" -ne 0 ]; then
  echo "manual test: $failures check(s) failed" >&2
  exit 1
fi
echo "manual test: $page renders without a warning"
