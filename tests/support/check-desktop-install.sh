#!/usr/bin/env bash
# Installs the "desktop" part of the build into a scratch prefix and checks
# what a desktop reads there: the entry names the icon, the icon is there as
# SVG and in 48 and 256 px, the AppStream file names the entry and passes
# its validator, and the entry passes its own.
set -euo pipefail
build=$1
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --component desktop --prefix "$prefix" >/dev/null
share=$prefix/share
entry=$share/applications/quillmarsh.desktop
metainfo=$share/metainfo/org.quillmarsh.Quillmarsh.metainfo.xml
icon=$(sed -n 's/^Icon=//p' "$entry")
test "$icon" = quillmarsh || { echo "the entry names the icon \"$icon\""; exit 1; }
test -s "$share/icons/hicolor/scalable/apps/$icon.svg" || { echo "no scalable icon"; exit 1; }
for size in 48 256; do
  png=$share/icons/hicolor/${size}x${size}/apps/$icon.png
  test -s "$png" || { echo "no ${size} px icon"; exit 1; }
  # The PNG header's width and height (bytes 16-23, big-endian).
  dims=$(od -An -tu1 -j16 -N8 "$png" | awk '{ printf "%d %d", $3 * 256 + $4, $7 * 256 + $8 }')
  test "$dims" = "$size $size" || { echo "the ${size} px icon is $dims"; exit 1; }
done
grep -q '<launchable type="desktop-id">quillmarsh.desktop</launchable>' "$metainfo" ||
  { echo "the AppStream file does not name the entry"; exit 1; }
grep -q "<icon type=\"stock\">$icon</icon>" "$metainfo" || { echo "the AppStream file names another icon"; exit 1; }
desktop-file-validate "$entry"
appstreamcli validate --no-net "$metainfo" >/dev/null
echo "installed and valid: $entry, $metainfo, the icon in 3 forms"
