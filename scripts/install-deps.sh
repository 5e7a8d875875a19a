#!/usr/bin/env bash
# Installs the Debian packages a make target needs, only when some are missing.
# Usage: scripts/install-deps.sh build|test|package|bench|fuzz|format|image ...
set -euo pipefail

packages=()
for group in "$@"; do
    case "$group" in
        build) packages+=(cmake make ninja-build g++ pkgconf qt6-base-dev qt6-qpa-plugins fonts-dejavu-core iproute2 libpcap-dev zlib1g-dev libyaml-cpp-dev libjs-chart.js) ;;
        test)  packages+=(tshark python3 python3-pytest curl libgtest-dev chromium chromium-driver python3-selenium) ;;
        package) packages+=(dpkg-dev file lintian desktop-file-utils appstream python3-pytest) ;;
        bench) packages+=(xvfb xauth curl chromium chromium-driver python3-selenium) ;;
        fuzz)  packages+=(clang libclang-rt-14-dev) ;;
        image) packages+=(mmdebstrap podman runc netavark aardvark-dns iptables) ;;
        format) packages+=(clang-format git) ;;
        *) echo "install-deps: unknown group '$group'" >&2; exit 2 ;;
    esac
done

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "install-deps: installing ${missing[*]}" >&2
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
$SUDO apt-get update
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
