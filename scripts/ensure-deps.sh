#!/bin/sh
# Makes sure the packages a step needs are installed. As root it installs the
# missing ones with apt-get; otherwise it stops with the command that would.
set -e
case "$1" in
  build) pkgs="cmake g++ make libgtest-dev libgmock-dev libbenchmark-dev" ;;
  fuzz)  pkgs="clang" ;;
  tools) pkgs="rtklib gpsd-clients chromium curl" ;;
  *) echo "usage: $0 build|fuzz|tools" >&2; exit 2 ;;
esac
missing=""
for p in $pkgs; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing="$missing $p"
  fi
done
[ -z "$missing" ] && exit 0
if [ "$(id -u)" -eq 0 ]; then
  echo "installing:$missing"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq $missing >/dev/null
else
  echo "missing packages:$missing" >&2
  echo "install them with: sudo apt-get install -y$missing" >&2
  [ "$1" = tools ] && echo "or set CASTER_NO_TOOLS=1 to run the tests without them (their checks are skipped)" >&2
  exit 1
fi
