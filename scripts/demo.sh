#!/usr/bin/env bash
# Sets up, builds, and runs the demonstration on a private machine folder:
# a program that uses the services as a driver would, then zyvisa-inspect
# showing the shared region it left behind.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh" "$root/build" -DZYVISA_TESTS=OFF
"$root/build/examples/zyvisa-demo"
