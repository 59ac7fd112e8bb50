#!/bin/sh
# One command on a fresh Debian machine, as root: installs what the build
# needs (only what is missing), builds the tnr tool and runs its demo.
#
#   sh scripts/demo.sh [OUTPUT_FOLDER]
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$here/tnr-demo}
need=""
for p in build-essential cmake ninja-build pkg-config libsimde-dev libavformat-dev \
  libavcodec-dev libswscale-dev libavutil-dev libcli11-dev libcairo2-dev googletest; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
    need="$need $p"
done
if [ -n "$need" ]; then
  echo "installing:$need"
  apt-get update
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $need
fi
cd "$here"
cmake --preset tools
cmake --build --preset tools -j2 --target tnr
./build/tools/tools/tnr/tnr demo --out "$out"
echo "outputs are in $out"
