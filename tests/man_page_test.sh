#!/usr/bin/env bash
# The manual page renders without a warning from man or groff, documents the
# capture group and the helper's places, and every option that the program's
# own --help lists.
set -euo pipefail
PAGE="$1" PROGRAM="$2"
fail() { echo "FAIL: $*" >&2; exit 1; }
export LC_ALL=C.UTF-8 MANWIDTH=80
errors="$(mktemp)"
trap 'rm -f "$errors"' EXIT
text="$(man --warnings -E UTF-8 -l "$PAGE" 2>"$errors")"
if [ -s "$errors" ]; then cat "$errors" >&2; fail "man reported warnings"; fi
for needle in "wirelens [FILE]" "-r, --read FILE, -r -" "sudo usermod -aG wirelens USER" \
              "/usr/libexec/wirelens/wirelens-capture" "/usr/local/libexec/wirelens/wirelens-capture"; do
    grep -qF -- "$needle" <<<"$text" || fail "the page does not show: $needle"
done
# Each "-x, --long" pair of --help, as the page's option list shows it.
options="$(env -u DISPLAY -u WAYLAND_DISPLAY "$PROGRAM" --help | grep -oE -- '^ +-[a-zA-Z], --[a-z-]+' | sed 's/^ *//')"
[ -n "$options" ] || fail "$PROGRAM --help lists no options"
while read -r option; do
    grep -qE -- "^ +$option( |$)" <<<"$text" || fail "the page does not document $option"
done <<<"$options"
echo "manual page renders cleanly and documents $(wc -l <<<"$options") options"
