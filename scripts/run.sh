#!/usr/bin/env bash
# The main job: install what is missing, build, and show the group every plug-in declares.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh build
build/bin/penstock inspect build/plugins/*.so
