#!/usr/bin/env bash
# Installs the page test's npm packages, exactly as package-lock.json pins them, into
# tests/gateway/node_modules; again only when the lock file changes. Never a browser: the test
# drives Debian's chromium. Run by scripts/install-deps.sh (the tests themselves may run
# without a network).
set -euo pipefail
cd "$(dirname "$0")"
stamp=node_modules/.package-lock.json.installed
if [ -f "$stamp" ] && cmp -s package-lock.json "$stamp"; then
    exit 0
fi
echo "npm-ci: installing the page test's npm packages into tests/gateway/node_modules"
PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm ci --no-audit --no-fund --ignore-scripts --loglevel=error
cp package-lock.json "$stamp"
