#!/usr/bin/env bash
# Makes the download for Windows users from a Windows build:
#   scripts/package_windows.sh [BUILD_DIR]     (default build-windows)
# writes BUILD_DIR/package/tamrel_ctl-<version>-win64.zip with bin/tamrel_ctl.exe,
# bin/tamrel_driver_sim.exe (when built) and README.md, and prints its path.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-windows}
[ -f "$build/CPackConfig.cmake" ] || {
  echo "package_windows: $build is not a configured Windows build" >&2
  exit 1
}
cmake --build "$build" -j 2 >/dev/null
out=$build/package
rm -rf "$out/_CPack_Packages"
cpack --config "$build/CPackConfig.cmake" -B "$out" >/dev/null
zip=$(ls -t "$out"/tamrel_ctl-*-win64.zip | head -n 1)
rm -rf "$out/_CPack_Packages"

listing=$(cmake -E tar tf "$zip")
wanted_files=(bin/tamrel_ctl.exe README.md)
[ -n "$(find "$build" -name tamrel_driver_sim.exe -type f -not -path '*/_CPack_Packages/*')" ] &&
  wanted_files+=(bin/tamrel_driver_sim.exe)
for wanted in "${wanted_files[@]}"; do
  grep -q "/$wanted\$" <<<"$listing" || { echo "package_windows: $wanted missing from $zip" >&2; exit 1; }
done
echo "$zip"
