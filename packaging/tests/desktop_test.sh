#!/usr/bin/env bash
# The desktop entry and the AppStream metainfo pass their validators, and every man page
# renders at 80 columns without a warning.
# Usage: desktop_test.sh SOURCE_DIR PACKAGING_BUILD_DIR
set -euo pipefail
src="$1" out="$2"
desktop-file-validate "$src/packaging/desktop/org.lorvane.pelmar.desktop"
appstreamcli validate --no-net "$out/org.lorvane.pelmar.metainfo.xml"
for page in pelmar dorlin readersim launcher; do
  warnings="$(MANWIDTH=80 man --warnings -l "$out/man/$page.1" 2>&1 >/dev/null)"
  [ -z "$warnings" ] || { echo "FAIL: $page.1: $warnings"; exit 1; }
done
echo "desktop, metainfo, man pages: ok"
