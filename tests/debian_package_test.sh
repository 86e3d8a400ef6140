#!/usr/bin/env bash
# Builds the Debian package with ./scripts/package, checks it with lintian and
# dpkg-deb, installs it, checks how capture is granted, purges it and checks
# that nothing is left. Root only; it leaves an existing group wirelens as it was.
skip() { echo "SKIP: $*"; exit 77; }
[ "$(id -u)" -eq 0 ] || skip "needs root to install and purge a package"
package_state() { dpkg-query -W -f='${db:Status-Status}' wirelens 2>/dev/null || true; }
if [ -n "$(package_state)" ] && [ "$(package_state)" != not-installed ]; then
    skip "a wirelens package is installed on this machine, and this test would purge it"
fi
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
PACKAGE_BUILD="${1:-$ROOT/build/package}"
fail() { echo "FAIL: $*" >&2; exit 1; }

# ./scripts/run makes the group too; remember it to give it back after the purge.
SAVED_GROUP="$(getent group wirelens || true)"
restore_group() {
    # Nothing of the test package stays, even after a failure.
    if [ -n "$(package_state)" ] && [ "$(package_state)" != not-installed ]; then
        dpkg --purge wirelens >/dev/null 2>&1 || true
    fi
    [ -n "$SAVED_GROUP" ] || return 0
    if ! getent group wirelens >/dev/null; then
        IFS=: read -r _ _ gid members <<<"$SAVED_GROUP"
        groupadd -r -g "$gid" wirelens
        [ -z "$members" ] || gpasswd -M "$members" wirelens >/dev/null
    fi
}
trap restore_group EXIT

DEB="$("$ROOT/scripts/package" "$PACKAGE_BUILD" | tail -1)"
VERSION="$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$PACKAGE_BUILD/CMakeCache.txt")"
ARCH="$(dpkg --print-architecture)"
[ "$(basename "$DEB")" = "wirelens_${VERSION}_${ARCH}.deb" ] || fail "package file is named $(basename "$DEB")"

echo "--- lintian"
lintian --allow-root --fail-on error "$DEB" || fail "lintian reports an error"

HELPER=/usr/libexec/wirelens/wirelens-capture
CONTENTS="$(dpkg-deb -c "$DEB" | awk '{print $6}' | sed 's|^\./|/|')"
for path in /usr/bin/wirelens "$HELPER" /usr/share/applications/wirelens.desktop \
            /usr/share/metainfo/org.wirelens.Wirelens.metainfo.xml /usr/share/man/man1/wirelens.1.gz \
            /usr/share/icons/hicolor/scalable/apps/wirelens.svg /usr/share/icons/hicolor/48x48/apps/wirelens.png \
            /usr/share/doc/wirelens/copyright /usr/share/doc/wirelens/changelog.gz; do
    grep -qx -- "$path" <<<"$CONTENTS" || fail "the package lacks $path"
done
grep -v '^/usr/' <<<"$CONTENTS" | grep -v '^/$' && fail "the package installs outside /usr"
grep -q '^/usr/local/' <<<"$CONTENTS" && fail "the package installs into /usr/local"

field() { dpkg-deb -f "$DEB" "$1"; }
[ "$(field Package)" = wirelens ] || fail "Package is $(field Package)"
[ "$(field Version)" = "$VERSION" ] || fail "Version is $(field Version)"
[ "$(field Architecture)" = "$ARCH" ] || fail "Architecture is $(field Architecture)"
[ "$(field Section)" = net ] || fail "Section is $(field Section)"
for dependency in libqt6widgets6 libpcap0.8 libcap2 libc6 adduser libcap2-bin; do
    grep -q "\b$dependency\b" <<<"$(field Depends)" || fail "Depends lacks $dependency: $(field Depends)"
done
[ "$(field Description | wc -l)" -gt 3 ] || fail "the description has no long part"
INFO="$(dpkg-deb -I "$DEB")"
for member in postinst prerm postrm md5sums control; do
    grep -qE "^ +[0-9]+ bytes, +[0-9]+ lines +\*? *$member\b" <<<"$INFO" || fail "control data lacks $member"
done

echo "--- dpkg -i"
INSTALL_LOG="$(dpkg -i "$DEB" 2>&1)" || { echo "$INSTALL_LOG" >&2; fail "dpkg -i failed"; }
grep -q "sudo usermod -aG wirelens USER" <<<"$INSTALL_LOG" || fail "installing does not say how to add a user"
getent group wirelens >/dev/null || fail "no group wirelens after install"
[ "$(stat -c '%U:%G %a' "$HELPER")" = "root:wirelens 750" ] || fail "helper is $(stat -c '%U:%G %a' "$HELPER")"
getcap "$HELPER" | grep -q 'cap_net_raw,cap_sys_nice[=+]ep' || fail "helper lacks cap_net_raw,cap_sys_nice+ep: $(getcap "$HELPER")"
dpkg-statoverride --list "$HELPER" >/dev/null || fail "no statoverride keeps the helper's owner and mode"
VERSION_TEXT="$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM /usr/bin/wirelens --version)" \
    || fail "the installed wirelens --version failed"
grep -qx "capture helper: $HELPER" <<<"$VERSION_TEXT" || fail "installed wirelens names another helper: $VERSION_TEXT"

echo "--- dpkg --purge"
dpkg --purge wirelens >/dev/null || fail "dpkg --purge failed"
[ "$(package_state)" = not-installed ] || [ -z "$(package_state)" ] || fail "dpkg still knows wirelens: $(package_state)"
while read -r path; do
    [ "$path" = / ] || [ ! -e "$path" ] || [ -d "$path" ] || fail "$path is left after purge"
done <<<"$CONTENTS"
[ ! -e /usr/libexec/wirelens ] || fail "/usr/libexec/wirelens is left after purge"
[ ! -e /usr/share/doc/wirelens ] || fail "/usr/share/doc/wirelens is left after purge"
! getent group wirelens >/dev/null || fail "the group wirelens is left after purge"
! dpkg-statoverride --list "$HELPER" >/dev/null || fail "the statoverride is left after purge"
echo "package built, checked, installed with capture granted, and purged without trace"
