#!/usr/bin/env bash
# scripted_run.sh ROMWRIGHT EXPECTED_EXIT -- ARGS... -- LINE...
# Starts the real program with ARGS in a scratch folder on Qt's offscreen platform and checks
# its exit code and that every LINE appears, whole, in what it printed.
set -u
romwright=$1 expected=$2
shift 2
[ "$1" = "--" ] && shift
args=()
while [ $# -gt 0 ] && [ "$1" != "--" ]; do args+=("$1"); shift; done
[ $# -gt 0 ] && shift
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cd "$scratch"
output=$(QT_QPA_PLATFORM=offscreen timeout 120 "$romwright" "${args[@]}" 2>&1)
code=$?
echo "$output"
status=0
if [ "$code" -ne "$expected" ]; then
  echo "FAIL: exit code $code, expected $expected"
  status=1
fi
for line in "$@"; do
  if ! grep -qxF -- "$line" <<<"$output"; then
    echo "FAIL: missing line: $line"
    status=1
  fi
done
exit $status
