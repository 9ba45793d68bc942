#!/usr/bin/env bash
# Takes a PNG screenshot of the window preview under the test harness's Xvfb:
#   tools/screenshot-window.sh BUILD_DIR SCREEN OUTPUT.png [PREFIX]
set -euo pipefail
build=$1 screen=$2 output=$3 prefix=${4:-main}
here=$(cd "$(dirname "$0")" && pwd)
harness="$here/../tests/harness/wine-harness"
"$harness" setup "$build/harness"
export DISPLAY=":$(cat "$build/harness/xvfb.display")"
OVL_WINE_PREFIX=$prefix "$harness" run "$build/harness" "$build/tools/window-preview.exe" "$screen" 4 &
pid=$!
id=""
for _ in $(seq 60); do
    id=$(xdotool search --name '^Orvelle Downloader$' 2>/dev/null | head -n1 || true)
    [[ -n $id ]] && break
    sleep 0.1
done
[[ -n $id ]] || { echo "screenshot-window: the window did not appear" >&2; exit 1; }
sleep 1.5
import -window "$id" "$output"
wait "$pid"
