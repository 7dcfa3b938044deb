#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need; does nothing when
# they are already there.
set -euo pipefail
pkgs=(build-essential cmake ninja-build pkg-config git clang libclang-rt-14-dev
      nlohmann-json3-dev libcurl4-openssl-dev libcpp-httplib-dev
      libgtest-dev libgmock-dev googletest libbenchmark-dev python3 locales
      python3-venv python3-setuptools python3-wheel mono-mcs mono-devel ccache)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
# Node.js from another source (e.g. NodeSource) brings its own npm and
# conflicts with Debian's npm package: ask apt only when the commands are absent.
command -v node >/dev/null 2>&1 || missing+=(nodejs)
command -v npm >/dev/null 2>&1 || missing+=(npm)
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${missing[@]}"
fi
# The locale tests need a locale with a decimal comma.
if ! locale -a 2>/dev/null | grep -qix 'de_DE.utf8'; then
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  $sudo_cmd localedef -i de_DE -f UTF-8 de_DE.UTF-8 || echo "warning: could not generate de_DE.UTF-8; locale tests will skip" >&2
fi
