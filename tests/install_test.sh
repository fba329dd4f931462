#!/usr/bin/env bash
# Installs into a temporary prefix and builds the C example against it,
# once through pkg-config and once through find_package; then checks that
# the .deb lists what it should.
set -euo pipefail
build_dir="$1"
source_dir="$2"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
prefix="$work/prefix"

cmake --install "$build_dir" --prefix "$prefix" >/dev/null
for path in bin/producer bin/demo_producer include/framereader.h lib/systemd/system/frameshare-producer.service \
            lib/sysusers.d/frameshare.conf; do
  [ -e "$prefix/$path" ] || { echo "missing $path" >&2; exit 1; }
done
library=$(find "$prefix" -name 'libframereader.so.1' | head -n 1)
[ -n "$library" ] || { echo "missing libframereader.so.1" >&2; exit 1; }
objdump -p "$library" | grep -q 'SONAME.*libframereader.so.1' || { echo "wrong SONAME" >&2; exit 1; }
unit="$prefix/lib/systemd/system/frameshare-producer.service"
grep -q '^KillSignal=SIGINT$' "$unit"
grep -q '^User=frameshare$' "$unit" && grep -q '^Group=video$' "$unit" && grep -q '^UMask=0007$' "$unit"
grep -q '^u frameshare ' "$prefix/lib/sysusers.d/frameshare.conf"

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

(cd "$build_dir" && cpack -G DEB -B "$work/deb" >/dev/null)
deb=$(find "$work/deb" -maxdepth 1 -name '*.deb' | head -n 1)
listing=$(dpkg-deb -c "$deb")
for path in bin/producer bin/demo_producer include/framereader.h libframereader.so.1 pkgconfig/framereader.pc \
            cmake/framereader/framereaderConfig.cmake systemd/system/frameshare-producer.service \
            sysusers.d/frameshare.conf; do
  echo "$listing" | grep -q "$path" || { echo "the package lacks $path" >&2; exit 1; }
done
dpkg-deb -I "$deb" postinst | grep -q 'systemd-sysusers' || { echo "the package does not create its user" >&2; exit 1; }
echo "package $(basename "$deb") lists every installed file"

# libframeshare and the Python package: installed with their SONAME, header,
# pkg-config file and CMake package; the package loads the library installed
# beside it without LD_LIBRARY_PATH (with no producer: NoProducer).
frameshare_library=$(find "$prefix" -name 'libframeshare.so.1' | head -n 1)
[ -n "$frameshare_library" ] || { echo "missing libframeshare.so.1" >&2; exit 1; }
objdump -p "$frameshare_library" | grep -q 'SONAME.*libframeshare.so.1' || { echo "wrong SONAME" >&2; exit 1; }
[ -e "$prefix/include/frameshare/reader.h" ] || { echo "missing frameshare/reader.h" >&2; exit 1; }
[ -n "$(find "$prefix" -path '*cmake/frameshare/frameshareConfig.cmake')" ] || { echo "no CMake package" >&2; exit 1; }
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
for path in libframeshare.so.1 include/frameshare/reader.h pkgconfig/frameshare.pc \
            python3/dist-packages/frameshare/__init__.py python3/dist-packages/frameshare/_location.py; do
  echo "$listing" | grep -q "$path" || { echo "the package lacks $path" >&2; exit 1; }
done
echo "libframeshare and the Python package install and load from the prefix"
