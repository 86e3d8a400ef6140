# Shared by scripts/run and scripts/test: installs what is missing, nothing else.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# Installs the Debian packages among the arguments that are not installed yet.
ensure_packages() {
    local missing=()
    local pkg
    for pkg in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q '^install ok installed$'; then
            missing+=("$pkg")
        fi
    done
    if [ "${#missing[@]}" -gt 0 ]; then
        echo "Installing: ${missing[*]}"
        as_root env DEBIAN_FRONTEND=noninteractive apt-get update -q
        as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
    fi
}

# Installs the capture helper HELPER as FOLDER/wirelens-capture the way the
# Debian package does: root:GROUP, mode 0750, cap_net_raw,cap_sys_nice+ep, in a root-owned
# folder no user can write. Its owner is root, so no user can make it
# world-executable, and a copy a member makes has no capability.
install_capture_helper() {
    local helper="$1" folder="$2" group="${3:-wirelens}"
    as_root groupadd -f -r "$group"
    as_root install -d -o root -g root -m 0755 "$folder"
    # A new file, not an overwrite: a running helper keeps its old one.
    as_root install -o root -g "$group" -m 0750 "$helper" "$folder/wirelens-capture.new"
    as_root setcap cap_net_raw,cap_sys_nice+ep "$folder/wirelens-capture.new"
    as_root mv -f "$folder/wirelens-capture.new" "$folder/wirelens-capture"
}

BUILD_PACKAGES=(build-essential cmake pkg-config qt6-base-dev libgl-dev libpcap-dev libcap-dev
                libcap2-bin libgtest-dev libbenchmark-dev fonts-dejavu-core)
# What ./scripts/package needs beyond the build: dpkg-shlibdeps, strip, file.
PACKAGE_PACKAGES=(dpkg-dev binutils file)
TEST_PACKAGES=(iproute2 iputils-ping tcpdump tshark wireshark-common python3-scapy util-linux procps passwd
               "${PACKAGE_PACKAGES[@]}" lintian desktop-file-utils appstream man-db groff-base
               adduser gzip)
