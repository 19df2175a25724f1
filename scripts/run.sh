#!/bin/sh
# make run: list the capture adapters.
set -eu
BUILD_DIR=${1:-build}
exec "$BUILD_DIR/bin/varno-adapters"
