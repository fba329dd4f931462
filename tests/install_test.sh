#!/usr/bin/env bash
# Installs into a temporary prefix and builds the C example against it,
# once through pkg-config and once through find_package; then builds the
# .debs, checks their contents and lintian, installs, removes and
# purges them in a scratch root, checks the units with systemd-analyze and
# the udev rule with udevadm against a fake capture device and a fake
# metadata node.
set -euo pipefail
build_dir="$1"
source_dir="$2"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
prefix="$work/prefix"
fail() { echo "$*" >&2; exit 1; }
for tool in lintian systemd-analyze systemd-sysusers deb-systemd-helper dpkg-architecture; do
  command -v "$tool" >/dev/null || fail "$tool is missing (scripts/setup.sh installs it)"
done

cmake --install "$build_dir" --prefix "$prefix" >/dev/null
units="$prefix/lib/systemd/system"
for path in bin/producer bin/demo_producer bin/frameshare include/framereader.h lib/sysusers.d/frameshare.conf \
            lib/udev/rules.d/71-frameshare.rules etc/default/frameshare-producer etc/default/frameshare-serve \
            lib/systemd/system/frameshare-camera.target; do
  [ -e "$prefix/$path" ] || fail "missing $path"
done
library=$(find "$prefix" -name 'libframereader.so.1' | head -n 1)
[ -n "$library" ] || fail "missing libframereader.so.1"
objdump -p "$library" | grep -q 'SONAME.*libframereader.so.1' || fail "wrong SONAME"
# The units are written for the prefix given at install time.
grep -qx "ExecStart=$prefix/bin/producer \$FRAMESHARE_PRODUCER_OPTIONS" "$units/frameshare-producer.service" ||
  fail "the producer unit does not start $prefix/bin/producer with its options"
grep -qx "EnvironmentFile=-$prefix/etc/default/frameshare-serve" "$units/frameshare-serve.service" ||
  fail "the serve unit does not read $prefix/etc/default/frameshare-serve"
grep -q '^u frameshare-serve ' "$prefix/lib/sysusers.d/frameshare.conf"

pc_dir=$(dirname "$(find "$prefix" -name framereader.pc)")
# shellcheck disable=SC2046
cc -Wall -Werror -o "$work/read_frame_pc" "$source_dir/examples/read_frame.c" \
  $(PKG_CONFIG_PATH="$pc_dir" pkg-config --cflags --libs framereader)
echo "built against the installed library through pkg-config"

cmake -S "$source_dir/tests/install" -B "$work/caller" -DCMAKE_PREFIX_PATH="$prefix" \
  -DEXAMPLE_SOURCE="$source_dir/examples/read_frame.c" >/dev/null
cmake --build "$work/caller" >/dev/null
echo "built against the installed library through find_package"

# With no producer running the installed example must say so and fail.
if LD_LIBRARY_PATH="$(dirname "$library")" "$work/caller/read_frame" "$work/x.jpg" 2>"$work/err"; then
  echo "read_frame succeeded without a producer" >&2; exit 1
fi
grep -q 'no frame: No such file or directory' "$work/err"

# libframeshare and the Python package: installed with their SONAME, header,
# pkg-config file and CMake package; the package loads the library installed
# beside it without LD_LIBRARY_PATH (with no producer: NoProducer).
frameshare_library=$(find "$prefix" -name 'libframeshare.so.1' | head -n 1)
[ -n "$frameshare_library" ] || fail "missing libframeshare.so.1"
objdump -p "$frameshare_library" | grep -q 'SONAME.*libframeshare.so.1' || fail "wrong SONAME of libframeshare"
[ -e "$prefix/include/frameshare/reader.h" ] || fail "missing frameshare/reader.h"
[ -n "$(find "$prefix" -path '*cmake/frameshare/frameshareConfig.cmake')" ] || fail "no CMake package of libframeshare"
printf '#include <frameshare/reader.h>\nint main(void) { frameshare_reader* r; return frameshare_reader_open(&r); }\n' \
  > "$work/open.c"
# shellcheck disable=SC2046
cc -Wall -Werror -o "$work/open" "$work/open.c" \
  $(PKG_CONFIG_PATH="$(dirname "$(find "$prefix" -name frameshare.pc)")" pkg-config --cflags --libs frameshare)
(cd / && env -u LD_LIBRARY_PATH PYTHONPATH="$prefix/lib/python3/dist-packages" python3 -c '
import frameshare
try:
    frameshare.Reader().next(timeout=0)
except frameshare.NoProducer:
    pass
else:
    raise SystemExit("a frame without a producer")
')
echo "libframeshare and the Python package install and load from the prefix"

# --- The packages ---------------------------------------------------------
(cd "$build_dir" && cpack -G DEB -B "$work/deb" >/dev/null)
version=$(dpkg-deb -f "$(ls "$work"/deb/libframereader1_*.deb)" Version)
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
deb() { ls "$work"/deb/"$1"_*.deb; }
[ "$(ls "$work"/deb/*.deb | wc -l)" -eq 6 ] || fail "expected six packages: $(ls "$work"/deb)"
# The file list, without docs and with the build type's name taken out.
files() { dpkg-deb -c "$(deb "$1")" | awk '$1 !~ /^d/ {print $6}' | grep -v '^\./usr/share/doc/' |
  sed 's/\(frame[a-z]*Targets\)-[a-z]*\.cmake/\1-CONFIG.cmake/' | LC_ALL=C sort | tr '\n' ' '; }
expect_files() {
  [ "$(files "$1")" = "$2" ] || fail "$1 holds: $(files "$1")
expected:    $2"
}
expect_files libframereader1 "./usr/lib/$multiarch/libframereader.so.1 ./usr/lib/$multiarch/libframereader.so.1.0.0 "
expect_files libframereader-dev "./usr/include/framereader.h $(printf "./usr/lib/$multiarch/%s " \
  cmake/framereader/framereaderConfig.cmake cmake/framereader/framereaderConfigVersion.cmake \
  cmake/framereader/framereaderTargets-CONFIG.cmake cmake/framereader/framereaderTargets.cmake \
  libframereader.so pkgconfig/framereader.pc)"
# frameshare rtsp, with its unit and options, when the build has it.
rtsp_default="" rtsp_unit="" rtsp_service=""
if [ -e "$units/frameshare-rtsp.service" ]; then
  rtsp_default=./etc/default/frameshare-rtsp rtsp_unit=./usr/lib/systemd/system/frameshare-rtsp.service
  rtsp_service=frameshare-rtsp.service
fi
expect_files frameshare "$(printf '%s ' ./etc/default/frameshare-producer $rtsp_default ./etc/default/frameshare-serve \
  ./usr/bin/demo_producer ./usr/bin/frameshare ./usr/bin/producer ./usr/lib/systemd/system/frameshare-camera.target \
  ./usr/lib/systemd/system/frameshare-producer.service $rtsp_unit ./usr/lib/systemd/system/frameshare-serve.service \
  ./usr/lib/sysusers.d/frameshare.conf ./usr/lib/udev/rules.d/71-frameshare.rules)"
expect_files libframeshare1 "./usr/lib/$multiarch/libframeshare.so.1 ./usr/lib/$multiarch/libframeshare.so.1.0.0 "
expect_files libframeshare-dev "./usr/include/frameshare/reader.h $(printf "./usr/lib/$multiarch/%s " \
  cmake/frameshare/frameshareConfig.cmake cmake/frameshare/frameshareConfigVersion.cmake \
  cmake/frameshare/frameshareTargets-CONFIG.cmake cmake/frameshare/frameshareTargets.cmake \
  libframeshare.so pkgconfig/frameshare.pc)"
expect_files python3-frameshare "$(printf './usr/lib/python3/dist-packages/frameshare/%s ' __init__.py _location.py)"
control() { dpkg-deb --ctrl-tarfile "$(deb "$1")" | tar -xO "./$2"; }
[ "$(control libframereader1 shlibs)" = "libframereader 1 libframereader1 (>= $version)" ] || fail "wrong shlibs"
[ "$(control libframereader1 triggers)" = "activate-noawait ldconfig" ] || fail "no ldconfig trigger"
[ "$(control libframeshare1 shlibs)" = "libframeshare 1 libframeshare1 (>= $version)" ] || fail "wrong shlibs of libframeshare1"
[ "$(control libframeshare1 triggers)" = "activate-noawait ldconfig" ] || fail "no ldconfig trigger for libframeshare1"
for package in libframereader-dev frameshare; do
  dpkg-deb -f "$(deb $package)" Depends | grep -q "libframereader1 (= $version)" ||
    fail "$package does not depend on libframereader1 $version"
done
control frameshare conffiles | grep -qx /etc/default/frameshare-producer || fail "the options are no conffile"
echo "packages: $(cd "$work/deb" && ls *.deb | tr '\n' ' ')"

# lintian: no errors; only the warnings docs/packaging.md accepts.
status=0
lintian --tag-display-limit 0 "$work"/deb/*.deb >"$work/lintian" 2>/dev/null || status=$?
[ "$status" -le 1 ] || fail "lintian failed to run ($status)"
accepted='no-manual-page|maintainer-script-empty|systemd-service-file-refers-to-unusual-wantedby-target'
if grep -E '^[EW]: ' "$work/lintian" | grep -Ev "^W: [a-z0-9-]+: ($accepted) "; then
  fail "lintian reports the above"
fi
echo "lintian: $(grep -c '^W: ' "$work/lintian") accepted warnings, no errors"

# Install into a scratch root: dpkg runs the maintainer scripts outside a
# chroot with DPKG_ROOT set; the other packages' dependencies are not there.
root="$work/root"
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" "$root/var/lib/dpkg/triggers"
touch "$root/var/lib/dpkg/status" "$root/var/lib/dpkg/available"
scratch_dpkg() { dpkg --root="$root" --force-script-chrootless --force-depends --log=/dev/null "$@" >"$work/dpkg" 2>&1 ||
  { cat "$work/dpkg" >&2; fail "dpkg $* failed"; }; }
# First the single package of before (stand-in: its control file and two of
# its files); the library packages take those files over on the upgrade.
old="$work/old"
mkdir -p "$old/DEBIAN" "$old/usr/include" "$old/usr/lib/$multiarch"
touch "$old/usr/include/framereader.h" "$old/usr/lib/$multiarch/libframereader.so.1.0.0"
printf 'Package: frameshare\nVersion: 1.0.0\nArchitecture: %s\nMaintainer: x <x@example.invalid>\nDescription: x\n' \
  "$(dpkg --print-architecture)" >"$old/DEBIAN/control"
dpkg-deb --build "$old" "$work/old.deb" >/dev/null
scratch_dpkg -i "$work/old.deb"
# Unpacked libraries first and configured after, as apt does it for programs
# that depend on them.
scratch_dpkg --auto-deconfigure --unpack "$(deb libframereader1)" "$(deb libframereader-dev)" "$(deb frameshare)" \
  "$(deb libframeshare1)" "$(deb libframeshare-dev)" "$(deb python3-frameshare)"
scratch_dpkg --configure -a
[ "$(dpkg --root="$root" -S /usr/include/framereader.h)" = "libframereader-dev: /usr/include/framereader.h" ] ||
  fail "the header did not move to libframereader-dev"
grep -q '^frameshare:' "$root/etc/passwd" && grep -q '^frameshare-serve:' "$root/etc/passwd" || fail "no service users"
grep -Eq '^video:[^:]*:[^:]*:(.*,)?frameshare-serve(,|$)' "$root/etc/group" || fail "frameshare-serve is not in video"
wants="$root/etc/systemd/system/frameshare-camera.target.wants/frameshare-producer.service"
[ -L "$wants" ] || fail "the producer is not enabled"
[ -z "$(find "$root/etc/systemd" -name 'frameshare-serve.service' -o -name 'frameshare-rtsp.service')" ] ||
  fail "a network service is enabled"

# The installed units: systemd-analyze verify says nothing, and the exposure
# score stays at most 3.0 (the unit on main scored 9.0).
for unit in sysinit.target basic.target shutdown.target network.target; do
  cp "$(systemd-analyze unit-paths | while read -r d; do [ -e "$d/$unit" ] && echo "$d/$unit" && break; done)" \
    "$root/usr/lib/systemd/system/"
done
installed="$root/usr/lib/systemd/system"
(cd "$work" && systemd-analyze verify --root="$root" "$installed"/frameshare-*.service "$installed/frameshare-camera.target" \
  >"$work/verify" 2>&1) || true
[ ! -s "$work/verify" ] || { cat "$work/verify" >&2; fail "systemd-analyze verify complains"; }
for unit in frameshare-producer.service frameshare-serve.service $rtsp_service; do
  score=$(systemd-analyze security --offline=yes --root="$root" "$unit" | sed -n 's/.*Overall exposure level for .*: \([0-9.]*\) .*/\1/p')
  awk -v s="$score" 'BEGIN { exit !(s != "" && s <= 3.0) }' || fail "$unit scores ${score:-nothing}"
  echo "$unit: exposure $score"
done

# Removal masks both units (and so disables the producer), purge forgets them.
scratch_dpkg -r frameshare
[ "$(readlink "$root/etc/systemd/system/frameshare-producer.service")" = /dev/null ] || fail "not masked on removal"
[ ! -e "$root/usr/bin/producer" ] && [ -e "$root/etc/default/frameshare-producer" ] || fail "removal is not removal"
scratch_dpkg -P frameshare
leftover=$(find "$root/etc/systemd" "$root/etc/default" "$root/var/lib/systemd" -name '*frameshare*' 2>/dev/null || true)
[ -z "$leftover" ] || fail "left after purge: $leftover"
echo "installed, removed and purged in a scratch root"

# --- The udev rule --------------------------------------------------------
# udevadm test on a fake device (a directory named like a sysfs device; the
# sysfs check is turned off) in a private mount namespace, with the rule in
# /etc/udev/rules.d, a stand-in for v4l_id and private /run and /dev. A
# capture device wants the target, a metadata node nothing.
if [ "$(id -u)" -ne 0 ] || ! command -v udevadm >/dev/null; then
  echo "SKIP udev rule: needs root and udevadm"; exit 0
fi
udev_result() {
  unshare -m bash -c '
    set -e
    mkdir -p "$1/udev/dev"
    mount --bind /dev "$1/udev/dev"
    mount -t tmpfs tmpfs /dev && touch /dev/null && mount --bind "$1/udev/dev/null" /dev/null
    mount -t tmpfs tmpfs /run
    mount -t tmpfs tmpfs /etc/udev/rules.d
    cp "$2" /etc/udev/rules.d/
    printf "SUBSYSTEM==\"video4linux\", ENV{ID_V4L_CAPABILITIES}=\"%s\"\n" "$3" >/etc/udev/rules.d/65-fake-v4l.rules
    mount -t tmpfs tmpfs /sys/devices/virtual
    device=/sys/devices/virtual/video4linux/video7
    mkdir -p $device
    printf "MAJOR=81\nMINOR=7\nDEVNAME=video7\n" >$device/uevent
    ln -s ../../../../class/video4linux $device/subsystem
    SYSTEMD_DEVICE_VERIFY_SYSFS=0 udevadm test --action=add $device 2>/dev/null' udev "$work" "$1" "$2"
}
rule="$source_dir/packaging/71-frameshare.rules"
udev_result "$rule" ':capture:' >"$work/udev-capture" || fail "udevadm test failed"
grep -qx 'SYSTEMD_WANTS=frameshare-camera.target' "$work/udev-capture" &&
  grep -Eq '^CURRENT_TAGS=.*:systemd:' "$work/udev-capture" || { cat "$work/udev-capture" >&2; fail "a camera does not want the target"; }
udev_result "$rule" ':' >"$work/udev-meta" || fail "udevadm test failed"
! grep -q 'SYSTEMD_WANTS' "$work/udev-meta" || fail "a metadata node wants the target"
echo "udev: a capture device wants frameshare-camera.target, a metadata node does not"
