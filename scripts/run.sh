#!/usr/bin/env bash
# Builds tmtool and runs it against the driver stand-in's simulated key.
# With no arguments it checks for the key and reads its ROM id; any
# arguments are passed to tmtool (none at all: use "./scripts/run.sh -i"
# for the interactive prompt).
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc 2>/dev/null || echo 2)" --target tmtool tmsim tmsim_preload >/dev/null
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
