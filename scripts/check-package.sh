#!/usr/bin/env bash
# Checks the newest vxrdeck package in FOLDER (default build/dev/package) as Debian's tools see
# it: lintian must report no error (its warnings are printed; the README justifies them), the
# desktop entry must validate, and the unit must verify for an instance and score 3.5 or lower
# (its exposure is printed) on systemd-analyze security.
set -euo pipefail

folder=${1:-build/dev/package}
deb=$(ls -t "$folder"/vxrdeck_*.deb 2>/dev/null | head -n 1)
if [[ -z $deb ]]; then
  echo "check-package: no vxrdeck_*.deb in $folder (make package first)" >&2
  exit 1
fi

echo "== lintian $deb"
lintian --fail-on error --tag-display-limit 0 "$deb"

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg-deb -x "$deb" "$root"

echo "== desktop-file-validate vxrdeck.desktop"
desktop-file-validate "$root/usr/share/applications/vxrdeck.desktop"

echo "== systemd-sysusers vxrdeck.conf (into a scratch root)"
if command -v systemd-sysusers >/dev/null; then
  mkdir -p "$root/scratch/etc"
  systemd-sysusers --root="$root/scratch" "$root/usr/lib/sysusers.d/vxrdeck.conf"
  grep -q '^dialout:.*vxrdeck' "$root/scratch/etc/group" ||
    { echo "check-package: the vxrdeck user is not in group dialout" >&2; exit 1; }
else
  echo "skipped: systemd-sysusers is not installed"
fi

echo "== systemd-analyze verify vxrdeck@deck1.service"
if ! command -v systemd-analyze >/dev/null; then
  echo "skipped: systemd-analyze is not installed"
  exit 0
fi
# The unit names /usr/bin/vxrdeck and man:vxrdeck(1): point both at the unpacked package.
sed "s#/usr/bin/vxrdeck#$root/usr/bin/vxrdeck#" "$root/usr/lib/systemd/system/vxrdeck@.service" \
  > "$root/vxrdeck@deck1.service"
MANPATH="$root/usr/share/man" systemd-analyze verify "$root/vxrdeck@deck1.service"

echo "== systemd-analyze security vxrdeck@deck1.service (3.5 at most)"
if ! security=$(systemd-analyze security --offline=true --threshold=35 \
                  "$root/vxrdeck@deck1.service" 2>&1); then
  echo "$security"
  echo "check-package: the unit's sandbox is exposed above 3.5" >&2
  exit 1
fi
grep 'Overall exposure level' <<<"$security"
echo "package checks passed"
