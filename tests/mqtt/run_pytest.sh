#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Runs tmmqtt's broker tests: Debian's python3 with pytest and paho, the
# binaries from the build tree. Exit 77 (skipped) when a piece is missing.
# Usage: run_pytest.sh PYTHON3 BIN_DIR SOURCE_DIR [pytest args...]
set -u
python=$1
bin=$2
src=$3
shift 3
for m in pytest paho.mqtt.client; do
    if ! "$python" -c "import $m" 2>/dev/null; then
        echo "SKIP: $python has no $m (Debian: python3-pytest, python3-paho-mqtt)"
        exit 77
    fi
done
for p in mosquitto mosquitto_passwd openssl; do
    if ! command -v "$p" >/dev/null; then
        echo "SKIP: no $p (Debian: mosquitto, mosquitto-clients, openssl)"
        exit 77
    fi
done
VORN_BIN_DIR="$bin" PYTHONDONTWRITEBYTECODE=1 \
    timeout 600 "$python" -m pytest -p no:cacheprovider -q "$src/tests/mqtt" "$@"
