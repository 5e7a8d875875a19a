#!/usr/bin/env bash
# Builds the simulator's container image from Debian's packages and our .deb only: mmdebstrap makes
# a bookworm root file system (slim: no documentation but the copyrights, no manuals, no
# translations, no apt lists, and none of the OpenGL drivers the window's libraries bring along,
# which the headless simulator never loads: Mesa's, and the LLVM they are built on) with the
# package installed, a user of its own and /scenarios; podman
# makes the image of it (docker format, which keeps the health check) and saves it as an archive
# that `podman load` and `docker load` take.
# Usage: scripts/build-image.sh PACKAGE.deb OUT_DIR [TAG]
set -euo pipefail
deb=$(realpath "$1")
out=$2
tag=${3:-localhost/unit-simulator:latest}
here=$(cd "$(dirname "$0")/.." && pwd)
# These machines' default runtime does not start containers; runc does.
podman=(podman --runtime runc)

mkdir -p "$out"
rm -f "$out/rootfs.tar"
# The machine's own Debian mirror when it has one, else Debian's.
mirror=http://deb.debian.org/debian
[ -f /etc/apt/sources.list.d/debian.sources ] && mirror=/etc/apt/sources.list.d/debian.sources
mmdebstrap --variant=apt --quiet \
    --aptopt='Acquire::Check-Valid-Until "false"' \
    --dpkgopt='path-exclude=/usr/share/doc/*' --dpkgopt='path-include=/usr/share/doc/*/copyright' \
    --dpkgopt='path-exclude=/usr/share/man/*' --dpkgopt='path-exclude=/usr/share/info/*' \
    --dpkgopt='path-exclude=/usr/share/locale/*' \
    --dpkgopt='path-exclude=/usr/lib/x86_64-linux-gnu/dri/*' \
    --dpkgopt='path-exclude=/usr/lib/x86_64-linux-gnu/libLLVM-*' \
    --dpkgopt='path-exclude=/usr/lib/x86_64-linux-gnu/libz3.so*' \
    --customize-hook="copy-in '$deb' /tmp" \
    --customize-hook='chroot "$1" sh -c "DEBIAN_FRONTEND=noninteractive apt-get install -qq -y --no-install-recommends /tmp/*.deb && rm /tmp/*.deb"' \
    --customize-hook='chroot "$1" useradd --uid 10001 --user-group --create-home --home-dir /home/unitsim --shell /usr/sbin/nologin unitsim' \
    --customize-hook='mkdir -p "$1/scenarios"' \
    --customize-hook="copy-in '$here/packaging/container/entrypoint.sh' /usr/local/bin" \
    --customize-hook='mv "$1/usr/local/bin/entrypoint.sh" "$1/usr/local/bin/unitsim-container"' \
    bookworm "$out/rootfs.tar" "$mirror"

cp "$here/packaging/container/Containerfile" "$out/Containerfile"
"${podman[@]}" build --quiet --format docker -f "$out/Containerfile" -t "$tag" "$out" >/dev/null
rm -f "$out/rootfs.tar" "$out/image.tar"
"${podman[@]}" save --quiet --format docker-archive -o "$out/image.tar" "$tag"
size=$("${podman[@]}" image inspect --format '{{.Size}}' "$tag")
echo "image $tag: $((size / 1000000)) MB; saved to $out/image.tar"
