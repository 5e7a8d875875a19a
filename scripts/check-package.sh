#!/usr/bin/env bash
# Checks the Debian package in BUILD_DIR: lintian reports no error (its output is printed), the
# desktop entry and the AppStream data validate, both programs from the unpacked package print
# their version, the headless simulator from it answers a channel-query on loopback (ports 4002
# and 65535), and `cmake --install` to another prefix installs the same files.
# Usage: scripts/check-package.sh BUILD_DIR
set -euo pipefail
build=$1
deb=$(ls "$build"/unit-simulator_*.deb)
echo "== $deb"
dpkg-deb -I "$deb" | sed -n '/Package:/,$p'
dpkg-deb -c "$deb" | awk '{ print $1, $6 }'

echo "== lintian"
# Errors fail; warnings and the rest are printed, each fixed or overridden with its reason. Shown
# overrides count against --fail-on, so the verdict is a second run without them.
lintian --display-info --show-overrides "$deb" || true
lintian --fail-on error "$deb" >/dev/null

work=$(mktemp -d)
sim_pid=
cleanup() {
    [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
dpkg-deb -x "$deb" "$work/root"
root=$work/root

echo "== desktop-file-validate, appstreamcli validate"
desktop-file-validate "$root"/usr/share/applications/*.desktop
appstreamcli validate --no-net "$root"/usr/share/metainfo/*.metainfo.xml

echo "== the programs from the package"
"$root/usr/bin/unit-simulator" --version
"$root/usr/bin/unitctl" --version
"$root/usr/bin/unit-simulator" --headless --profile 2 >"$work/out" 2>"$work/err" &
sim_pid=$!
for _ in $(seq 100); do grep -q 'Discovery port 65535: listening' "$work/err" && break; sleep 0.05; done
"$root/usr/bin/unitctl" channels 127.0.0.1:4002 --json
kill "$sim_pid"; wait "$sim_pid" 2>/dev/null || true; sim_pid=

echo "== the Python package from the package: pytest finds its fixture through the entry point"
cat >"$work/test_from_package.py" <<'PY'
def test_health(unitsim):
    assert unitsim.health()["ready"]
PY
(cd "$work" && PYTHONPATH="$root/usr/lib/python3/dist-packages" UNITSIM_BINARY="$root/usr/bin/unit-simulator" \
    PYTHONDONTWRITEBYTECODE=1 pytest-3 -q -p no:cacheprovider test_from_package.py)

echo "== cmake --install to another prefix"
cmake --install "$build" --prefix "$work/prefix" >/dev/null
diff <(cd "$root/usr" && find . -type f | sort) <(cd "$work/prefix" && find . -type f | sort)
echo "package checks passed"
