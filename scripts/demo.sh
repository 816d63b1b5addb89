#!/usr/bin/env bash
# The demo: Tavrelmond.exe under Wine, a virtual receiver, a stand-in XBMC (window keys, then HTTP), then the
# real Kodi (EventServer, then JSON-RPC). Options are passed on to scripts/demo.py, e.g. --http-server HOST:PORT
# for a real XBMC web server, --no-kodi to leave the Kodi part out.
set -euo pipefail
cd "$(dirname "$0")/.."

echo "==> Dependencies"
scripts/install-deps.sh
echo "==> Building the Windows binaries (win64) and the host tools (feeder, HTTP stand-in)"
cmake --workflow --preset win64 >/dev/null
cmake --preset host >/dev/null
cmake --build --preset host --target hidfeed httpstandin_server >/dev/null
echo "==> Running"
exec python3 scripts/demo.py "$@"
