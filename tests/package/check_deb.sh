#!/usr/bin/env bash
# Checks a built kavri-daemon package: exactly the expected files (the
# package's marker in its bundle among them, which a per-user install of the
# same build lacks), kavri-node as built (its digest is in the agent), the
# updater module the agent expects by its build id, no dependency on
# Debian's nodejs, and a user unit that systemd accepts, that starts the
# packaged agent and that gives up on a start that keeps failing.
# Usage: tests/package/check_deb.sh build/kavri-daemon_<version>_amd64.deb BUILD_DIR
set -euo pipefail
deb=$1
build=$2
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg-deb -x "$deb" "$root"

app=usr/lib/kavri/KavriDaemon.app
unit=usr/lib/systemd/user/kavri-daemon.service
doc=usr/share/doc/kavri-daemon
diff -u <(sort <<EOF_FILES
$app/Contents/Frameworks/libkavri_updater.so
$app/Contents/Info.plist
$app/Contents/MacOS/KavriDaemon
$app/Contents/Resources/daemon.js
$app/Contents/Resources/kavri-node
$app/Contents/Resources/package-managed
$unit
$doc/changelog.Debian.gz
$doc/copyright
$doc/kavri-node.copyright
$doc/protocol.md
$doc/update_feed.md
$doc/update_rollback.md
$doc/web_api.md
usr/share/lintian/overrides/kavri-daemon
usr/share/man/man1/KavriDaemon.1.gz
EOF_FILES
) <(cd "$root" && find . ! -type d | sed 's|^\./||' | sort)

cmp "$build/KavriDaemon.app/Contents/Resources/kavri-node" "$root/$app/Contents/Resources/kavri-node"
cmp "$build/KavriDaemon.app/Contents/Resources/daemon.js" "$root/$app/Contents/Resources/daemon.js"

# The agent loads only the updater module it was built with, known by its
# build id, which the package's stripping must keep.
module_id=$(readelf --notes --wide "$root/$app/Contents/Frameworks/libkavri_updater.so" |
            sed -n 's/.*Build ID: \([0-9a-f]*\).*/\1/p')
if [ -z "$module_id" ] || ! grep -qaF "$module_id" "$root/$app/Contents/MacOS/KavriDaemon"; then
  echo "the packaged agent does not expect its packaged updater (build id '$module_id')" >&2
  exit 1
fi

if dpkg-deb -f "$deb" Depends | tr ',|' '\n\n' | grep -Eq '^ *nodejs( |$)'; then
  echo "the package depends on nodejs: $(dpkg-deb -f "$deb" Depends)" >&2
  exit 1
fi

grep -qx "ExecStart=/$app/Contents/MacOS/KavriDaemon" "$root/$unit"
# systemd judges the unit as it would run it, with its paths moved under the
# unpacked tree (the package is not installed here).
sed "s|/$app/|$root/$app/|g" "$root/$unit" > "$root/kavri-daemon.service"
mkdir -m 700 "$root/runtime"
XDG_RUNTIME_DIR="$root/runtime" systemd-analyze verify --user --man=no "$root/kavri-daemon.service"
# A start that keeps failing ends in a failed unit: the start limit ([Unit])
# is reached by restarts RestartSec apart ([Service]) within its interval.
setting() { awk -F= -v section="[$1]" -v key="$2" \
  '/^\[/ { inside = ($0 == section) } inside && $1 == key { print $2 }' "$root/$unit"; }
burst=$(setting Unit StartLimitBurst)
interval=$(setting Unit StartLimitIntervalSec)
delay=$(setting Service RestartSec)
if ! [ "${burst:-0}" -gt 1 ] || ! [ $((burst * ${delay:-0})) -lt "${interval:-0}" ]; then
  echo "restarts ${delay}s apart never reach StartLimitBurst=$burst within ${interval}s" >&2
  exit 1
fi
# Only the package's bundle is marked as the package manager's to update; a
# per-user install of the same build updates itself.
cmake --install "$build" --prefix "$root/home/.local" >/dev/null
test -x "$root/home/.local/lib/kavri/KavriDaemon.app/Contents/MacOS/KavriDaemon"
if [ -e "$root/home/.local/lib/kavri/KavriDaemon.app/Contents/Resources/package-managed" ]; then
  echo "the per-user install carries the package's marker" >&2
  exit 1
fi
echo "package contents and unit: ok"
