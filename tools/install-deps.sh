#!/bin/sh
# Installs the Debian packages that building cdsec and its tests needs, when
# any of them is missing:
#   tools/install-deps.sh [EXTRA_PACKAGE...]
# Names what it installs before installing it, does nothing when everything
# is there, and runs apt-get as root or through sudo.  When it cannot install
# (not root and no sudo, or apt-get fails) it stops with the apt-get line to
# run by hand.
set -eu

packages="cmake make g++ nlohmann-json3-dev libcli11-dev libgtest-dev python3 $*"

if ! command -v dpkg-query >/dev/null 2>&1; then
  echo "install-deps.sh: not a Debian system (no dpkg-query); install these by other means:" >&2
  echo "  $packages" >&2
  exit 1
fi

missing=""
for p in $packages; do
  case $(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true) in
    *" ok installed") ;;
    *) missing="$missing $p" ;;
  esac
done
[ -n "$missing" ] || exit 0

line="apt-get update && apt-get install -y --no-install-recommends$missing"
if [ "$(id -u)" -eq 0 ]; then
  sudo=""
elif command -v sudo >/dev/null 2>&1; then
  sudo="sudo"
else
  echo "install-deps.sh: missing packages:$missing" >&2
  echo "install-deps.sh: not root and no sudo; as root, run:" >&2
  echo "  $line" >&2
  exit 1
fi

echo "install-deps.sh: installing the missing Debian packages:$missing"
# shellcheck disable=SC2086  # the package list is meant to split into words
if ! { $sudo apt-get update -q && $sudo env DEBIAN_FRONTEND=noninteractive \
         apt-get install -y -q --no-install-recommends $missing; }; then
  echo "install-deps.sh: installing failed; as root, run:" >&2
  echo "  $line" >&2
  exit 1
fi
