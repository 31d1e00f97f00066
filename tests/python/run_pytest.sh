#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Runs the vorn module's tests as one process under the driver stand-in, with
# a state directory of its own (removed afterwards), the module from the
# source tree and libvorn, tmsim and tmwatch from the build tree.
# Usage: run_pytest.sh PYTHON3 BIN_DIR SOURCE_DIR [pytest args...]
# Exit 77 (skipped) when PYTHON3 has no pytest.
set -u
python=$1
bin=$2
src=$3
shift 3

if ! "$python" -c 'import pytest' 2>/dev/null; then
    echo "SKIP: $python has no pytest (Debian: python3-pytest)"
    exit 77
fi
state=$(mktemp -d "${TMPDIR:-/tmp}/vorn-pytest-XXXXXX") || exit 1
trap 'rm -rf "$state"' EXIT
PATH="$bin:$PATH" PYTHONPATH="$src/python" LD_LIBRARY_PATH="$bin" PYTHONDONTWRITEBYTECODE=1 \
    "$bin/tmsim" --state "$state" -- "$python" -m pytest -p no:cacheprovider -q \
    "$src/tests/python" "$@"
