#!/usr/bin/env bash
# The package stage of `./scripts/test --full`: builds the packages (lintian
# clean, scripts/package), then installs, uses, upgrades and purges them on
# this machine (tests/package/package_test.py).
set -euo pipefail
NUV_ROOT=$(cd "$(dirname "$0")/../.." && pwd)
source "$NUV_ROOT/scripts/deps.sh"
nuv_install_deps "${NUV_PACKAGE_TEST_PACKAGES[@]}"
"$NUV_ROOT/scripts/package"
cd "$NUV_ROOT/tests/package"
PYTHONDONTWRITEBYTECODE=1 /usr/bin/python3 -m unittest -v package_test
