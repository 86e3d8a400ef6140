#!/usr/bin/env bash
# The manual page renders without a warning from man or groff and documents
# every option and the capture group.
set -euo pipefail
PAGE="$1"
fail() { echo "FAIL: $*" >&2; exit 1; }
export LC_ALL=C.UTF-8 MANWIDTH=80
errors="$(mktemp)"
trap 'rm -f "$errors"' EXIT
text="$(man --warnings -E UTF-8 -l "$PAGE" 2>"$errors")"
if [ -s "$errors" ]; then cat "$errors" >&2; fail "man reported warnings"; fi
for needle in "wirelens [FILE]" "-r FILE, -r -" "-w OUT" "-i ADDRESS" "-f EXPR" "--print" \
              "-h, --help" "-v, --version" "sudo usermod -aG wirelens USER" \
              "/usr/libexec/wirelens/wirelens-capture" "/usr/local/libexec/wirelens/wirelens-capture"; do
    grep -qF -- "$needle" <<<"$text" || fail "the page does not show: $needle"
done
echo "manual page renders cleanly"
