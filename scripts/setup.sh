#!/usr/bin/env bash
# Installs, with apt, only the build and test dependencies that are missing.
# Unattended on a fresh Debian machine as root; quiet when all is present.
set -euo pipefail

packages=(
  g++ cmake make pkg-config dpkg-dev file
  libopencv-core-dev libopencv-imgproc-dev libopencv-videoio-dev libopencv-imgcodecs-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev python3
  libcli11-dev nlohmann-json3-dev chromium ffmpeg curl libmicrohttpd-dev
  lintian systemd udev
  libjpeg62-turbo-dev gstreamer1.0-plugins-base gstreamer1.0-plugins-good
  libturbojpeg0-dev
  libgstrtspserver-1.0-dev libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev
  gstreamer1.0-plugins-ugly
)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
  sudo_cmd=(sudo)
fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
