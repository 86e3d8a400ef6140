#!/usr/bin/env bash
# cmake --install into a temporary prefix puts every file in its place, and the
# installed wirelens uses the installed capture helper, wherever the tree moves.
set -euo pipefail
# Arguments: the build folder, the project version, the install folders
# relative to the prefix (bin, libexec, data root, man), the folder of the
# helper that ./scripts/run installs.
BUILD="$(realpath "$1")"
VERSION="$2" BIN="$3" LIBEXEC="$4" DATA="$5" MAN="$6" SYSTEM_HELPER="$7/wirelens-capture"
fail() { echo "FAIL: $*" >&2; exit 1; }
SIZES=(16 22 24 32 48 64 128 256)

WORK="$(mktemp -d /tmp/wirelens-install-XXXXXX)"
trap 'rm -rf "$WORK"' EXIT
PREFIX="$WORK/prefix"
cmake --install "$BUILD" --prefix "$PREFIX" >/dev/null

expected=("$BIN/wirelens" "$LIBEXEC/wirelens/wirelens-capture"
          "$DATA/applications/wirelens.desktop" "$DATA/metainfo/org.wirelens.Wirelens.metainfo.xml"
          "$MAN/man1/wirelens.1.gz" "$DATA/doc/wirelens/copyright" "$DATA/doc/wirelens/changelog.gz"
          "$DATA/icons/hicolor/scalable/apps/wirelens.svg")
for size in "${SIZES[@]}"; do expected+=("$DATA/icons/hicolor/${size}x${size}/apps/wirelens.png"); done

# Exactly these files: nothing missing, nothing from the build or tests besides.
diff <(printf '%s\n' "${expected[@]}" | sort) <(cd "$PREFIX" && find . -type f -printf '%P\n' | sort) \
    || fail "the installed files differ from the expected list (< expected, > installed)"

for program in "$BIN/wirelens" "$LIBEXEC/wirelens/wirelens-capture"; do
    [ -x "$PREFIX/$program" ] || fail "$program is not executable"
done
for size in "${SIZES[@]}"; do
    file "$PREFIX/$DATA/icons/hicolor/${size}x${size}/apps/wirelens.png" | grep -q "PNG image data, $size x $size," \
        || fail "the ${size}x${size} icon is not a PNG of that size"
done
gzip -t "$PREFIX/$MAN/man1/wirelens.1.gz" || fail "the manual page is not gzip data"

# --version needs no display, and names the helper the program would run.
version_of() { env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$1" --version; }
helper_line() { version_of "$1" | sed -n 's/^capture helper: //p'; }

version_of "$PREFIX/$BIN/wirelens" | head -1 | grep -qx "wirelens $VERSION" \
    || fail "--version does not print the project version"
[ "$(helper_line "$PREFIX/$BIN/wirelens")" = "$PREFIX/$LIBEXEC/wirelens/wirelens-capture" ] \
    || fail "installed wirelens uses $(helper_line "$PREFIX/$BIN/wirelens"), not its installed helper"

mv "$PREFIX" "$WORK/moved"
[ "$(helper_line "$WORK/moved/$BIN/wirelens")" = "$WORK/moved/$LIBEXEC/wirelens/wirelens-capture" ] \
    || fail "a moved install tree does not use its own helper"

# The build-folder wirelens: the helper ./scripts/run installed, else the one beside it.
if [ -e "$SYSTEM_HELPER" ]; then want="$SYSTEM_HELPER"; else want="$BUILD/bin/wirelens-capture"; fi
[ "$(helper_line "$BUILD/bin/wirelens")" = "$want" ] \
    || fail "build-folder wirelens uses $(helper_line "$BUILD/bin/wirelens"), not $want"
echo "install tree complete; installed helper found"
