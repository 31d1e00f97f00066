#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Builds tmtool and runs it against the driver stand-in's simulated key.
# With no arguments it checks for the key and reads its ROM id; any
# arguments are passed to tmtool (none at all: use "./scripts/run.sh -i"
# for the interactive prompt). Installs the build's packages first when
# they are missing (scripts/packages.sh). The build says nothing when it
# succeeds and shows its whole output when it fails.
set -euo pipefail
cd "$(dirname "$0")/.."

# shellcheck source=scripts/packages.sh
. scripts/packages.sh
vorn_need_packages run

build_log=$(mktemp "${TMPDIR:-/tmp}/vorn-run-build.XXXXXX")
trap 'rm -f "$build_log"' EXIT
if ! { cmake --preset default &&
    cmake --build --preset default -j "$(nproc 2>/dev/null || echo 2)" \
        --target tmtool tmsim tmsim_preload; } >"$build_log" 2>&1; then
    cat "$build_log" >&2
    echo "run: the build failed (output above)" >&2
    exit 1
fi
rm -f "$build_log"
trap - EXIT
bin=build/default/bin

if [ $# -eq 0 ]; then
    "$bin/tmsim" -- "$bin/tmtool" chksl
    "$bin/tmsim" -- "$bin/tmtool" getid
    "$bin/tmsim" -- "$bin/tmtool" memrd 0 32
elif [ "$1" = "-i" ]; then
    shift
    exec "$bin/tmsim" "$@" -- "$bin/tmtool"
else
    exec "$bin/tmsim" -- "$bin/tmtool" "$@"
fi
