#!/bin/bash
# Runs one workflow scenario against an installed tree, in a scratch folder
# removed afterwards: run.sh PREFIX SCENARIO.sh
# A scenario is called as: SCENARIO.sh PREFIX SCRATCH; it exits 0 when
# every check passed, 77 to skip (with the reason), anything else on
# failure, after saying what failed.
set -euo pipefail
prefix=$1 scenario=$2
[[ -x $prefix/bin/zvsim ]] || { echo "no installed tree at $prefix" >&2; exit 1; }
scratch=$(mktemp -d "${TMPDIR:-/tmp}/zv-workflow.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
set +e
bash "$scenario" "$prefix" "$scratch"
rc=$?
set -e
exit $rc
