#!/usr/bin/env bash
# Builds the .deb from a build folder, unpacks it into a scratch root (dpkg -x) and checks what
# it installs: lintian finds no error or warning, the manual pages show the options, the
# programs run from there, the desktop entry, the metainfo and the MIME type of settings files
# are valid, and the package depends on the Debian runtime packages of Qt 6 and SDL2.
set -euo pipefail
build=$1
source=$2
work=$build/package-test
rm -rf "$work"
mkdir -p "$work"
(cd "$build" && cpack -G DEB -B "$work/out" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; exit 1; }
deb=$(ls "$work"/out/thumpa_*.deb)
echo "package: $deb"
depends=$(dpkg-deb -f "$deb" Depends)
echo "depends: $depends"
grep -q 'libqt6widgets6' <<<"$depends" || { echo "no Qt 6 widgets dependency"; exit 1; }
grep -q 'libsdl2' <<<"$depends" || { echo "no SDL2 dependency"; exit 1; }
description=$(dpkg-deb -f "$deb" Description)
if grep -q ';' <<<"$description"; then echo "description has a stray ';': $description"; exit 1; fi

# (lintian reads the overrides that the package itself installs, if any.)
if ! lintian --fail-on error,warning "$deb" >"$work/lintian.log" 2>&1; then
  cat "$work/lintian.log"; echo "lintian finds errors or warnings in the package"; exit 1
fi

root=$work/root
dpkg -x "$deb" "$root"
doc=$root/usr/share/doc/thumpa
gzip -dc "$doc/changelog.gz" >"$work/changelog"
changed=$(dpkg-parsechangelog -l "$work/changelog" -S Version)
version=$(dpkg-deb -f "$deb" Version)
[ "$changed" = "$version" ] ||
  { echo "the changelog's latest entry is $changed, not the package's $version"; exit 1; }
# Each page names its program and shows one option of its own.
for page in thumpa:--fixed-velocity thumpa-render:--voice; do
  program=${page%%:*}
  man -l "$root/usr/share/man/man1/$program.1.gz" >"$work/$program.txt" 2>"$work/$program.err"
  [ ! -s "$work/$program.err" ] ||
    { cat "$work/$program.err"; echo "man warns on $program.1"; exit 1; }
  grep -q "^ *$program - " "$work/$program.txt" && grep -q -- "${page#*:}" "$work/$program.txt" ||
    { cat "$work/$program.txt"; echo "the page of $program lacks its name or options"; exit 1; }
done

for f in usr/bin/thumpa usr/bin/thumpa-render usr/share/applications/thumpa.desktop \
         usr/share/doc/thumpa/copyright usr/share/doc/thumpa/README.md.gz \
         usr/share/metainfo/org.thumpa.Thumpa.metainfo.xml usr/share/mime/packages/thumpa.xml \
         usr/share/icons/hicolor/scalable/apps/thumpa.svg \
         usr/share/icons/hicolor/48x48/apps/thumpa.png usr/lib/lv2/thumpa.lv2/thumpa.so \
         usr/lib/lv2/thumpa.lv2/manifest.ttl usr/lib/lv2/thumpa.lv2/thumpa.ttl; do
  [ -e "$root/$f" ] || { echo "missing from the package: $f"; exit 1; }
done
desktop-file-validate "$root/usr/share/applications/thumpa.desktop"
appstreamcli validate --no-net "$root/usr/share/metainfo/org.thumpa.Thumpa.metainfo.xml"
grep -qx 'MimeType=application/x-thumpa-settings;' "$root/usr/share/applications/thumpa.desktop" ||
  { echo "the desktop entry declares no settings-file type"; exit 1; }
# The MIME file builds a database in which *.zog is a Thumpa settings file.
mkdir -p "$work/mime/packages"
cp "$root/usr/share/mime/packages/thumpa.xml" "$work/mime/packages/"
XDG_DATA_DIRS=$work update-mime-database "$work/mime"  # (in the search path: no warning)
grep -qx 'application/x-thumpa-settings:\*\.zog' "$work/mime/globs" ||
  { echo "*.zog is not a Thumpa settings file"; cat "$work/mime/globs"; exit 1; }
grep -q 'Thumpa settings' "$work/mime/application/x-thumpa-settings.xml" ||
  { echo "no comment on the settings-file type"; exit 1; }

"$root/usr/bin/thumpa-render" --out "$work/voices"
"$build/tools/thumpa-render" --out "$work/expected"
for f in kick.wav snare1.wav ch.wav oh.wav blipp.wav clave.wav cowbell.wav osc.wav; do
  cmp "$work/voices/$f" "$work/expected/$f"
done
echo "the packaged thumpa-render wrote the eight voices"
