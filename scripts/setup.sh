#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks to build, test and run the
# project. Safe to run again: it installs only missing packages.
set -euo pipefail

packages=(
  build-essential cmake pkg-config git
  libgrpc++-dev protobuf-compiler-grpc libprotobuf-dev protobuf-compiler
  libcurl4-openssl-dev libgoogle-glog-dev libssl-dev libcpp-httplib-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  clang libclang-rt-14-dev clang-format
  openssl curl procps
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
else
  echo "setup: all packages present"
fi
