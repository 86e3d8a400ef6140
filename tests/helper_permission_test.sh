#!/usr/bin/env bash
# The capture helper as ./scripts/run installs it: an ordinary user cannot make
# it world-executable while it keeps its capability, cannot put anything beside
# it, and a copy a member makes has no capability. Root only.
HELPER="$(realpath "$1")"
skip() { echo "SKIP: $*"; exit 77; }
[ "$(id -u)" -eq 0 ] || skip "needs root to install a helper owned by root with a capability"
for tool in setpriv setcap getcap groupadd groupdel; do
    command -v "$tool" >/dev/null || skip "$tool is not installed"
done
source "$(dirname "$0")/../scripts/common.sh"
fail() { echo "FAIL: $*" >&2; exit 1; }

# A throwaway group and an unprivileged uid that has no files anywhere.
GROUP="wltest$$"
USER_ID=65534
WORK="$(mktemp -d /tmp/wirelens-permission-XXXXXX)"
cleanup() { rm -rf "$WORK"; groupdel "$GROUP" 2>/dev/null || true; }
trap cleanup EXIT
chmod 0755 "$WORK"
FOLDER="$WORK/libexec/wirelens"
INSTALLED="$FOLDER/wirelens-capture"

install_capture_helper "$HELPER" "$FOLDER" "$GROUP"
GROUP_ID="$(getent group "$GROUP" | cut -d: -f3)"
SCRATCH="$WORK/scratch"
install -d -o "$USER_ID" -m 0700 "$SCRATCH"

member() { setpriv --reuid="$USER_ID" --regid="$USER_ID" --groups="$GROUP_ID" -- "$@"; }
stranger() { setpriv --reuid="$USER_ID" --regid="$USER_ID" --clear-groups -- "$@"; }
has_capability() { getcap "$1" | grep -q 'cap_net_raw,cap_sys_nice[=+]ep'; }

[ "$(stat -c '%U:%G %a' "$INSTALLED")" = "root:$GROUP 750" ] || fail "helper is $(stat -c '%U:%G %a' "$INSTALLED")"
[ "$(stat -c '%U:%G %a' "$FOLDER")" = "root:root 755" ] || fail "its folder is $(stat -c '%U:%G %a' "$FOLDER")"
has_capability "$INSTALLED" || fail "the installed helper lacks cap_net_raw,cap_sys_nice+ep: $(getcap "$INSTALLED")"

member test -x "$INSTALLED" || fail "a member of the group may not run the helper"
stranger test -x "$INSTALLED" && fail "a user outside the group may run the helper"

for mode in 0755 o+x 4755; do
    member chmod "$mode" "$INSTALLED" 2>/dev/null && fail "a member changed the helper's mode with chmod $mode"
done
member chgrp "$USER_ID" "$INSTALLED" 2>/dev/null && fail "a member changed the helper's group"
[ "$(stat -c '%a' "$INSTALLED")" = 750 ] || fail "the helper's mode changed"
has_capability "$INSTALLED" || fail "the helper lost its capability"

member touch "$FOLDER/planted" 2>/dev/null && fail "a member wrote into the helper's folder"
member mv "$INSTALLED" "$SCRATCH/moved" 2>/dev/null && fail "a member moved the helper out of its folder"
if [ "$(cat /proc/sys/fs/protected_hardlinks 2>/dev/null)" = 1 ]; then
    member ln "$INSTALLED" "$WORK/link" 2>/dev/null && fail "a member hard-linked the helper, keeping its capability"
fi

member cp "$INSTALLED" "$SCRATCH/copy" || fail "a member could not read the helper"
[ -z "$(getcap "$SCRATCH/copy")" ] || fail "a copy kept a capability: $(getcap "$SCRATCH/copy")"
member chmod 0755 "$SCRATCH/copy" || fail "a member cannot chmod its own copy"
[ -z "$(getcap "$SCRATCH/copy")" ] || fail "a world-executable copy has a capability"

# Installing again replaces the file and keeps owner, mode and capability.
install_capture_helper "$HELPER" "$FOLDER" "$GROUP"
[ "$(stat -c '%U:%G %a' "$INSTALLED")" = "root:$GROUP 750" ] && has_capability "$INSTALLED" \
    || fail "a second install lost the owner, mode or capability"
echo "installed helper: owner root, group $GROUP, 0750, cap_net_raw,cap_sys_nice; copies carry nothing"
