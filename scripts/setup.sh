#!/usr/bin/env bash
# Installs what the build, the Wine test bed and the test PKI need, from
# Debian's packages, and unpacks TinyXML's source package with its patches.
# Idempotent: quiet when everything is already there.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
third="$here/third_party"

die() { echo "setup: $*" >&2; exit 1; }

packages=(cmake make g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix
          binutils-mingw-w64-x86-64 wine wine64 openssl osslsigncode
          googletest dpkg-dev python3 locales
          xvfb imagemagick fonts-wine)  # the last three for scripts/screenshots

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

sudo_() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }

# A deb-src entry mirroring the machine's own Debian entries, so that
# 'apt-get source' works; written outside the repository.
ensure_deb_src() {
  local out=/etc/apt/sources.list.d/ksx-deb-src.sources
  [ -f "$out" ] && return 0
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    sed -e 's/^Types:.*/Types: deb-src/' /etc/apt/sources.list.d/debian.sources | sudo_ tee "$out" >/dev/null
  elif [ -f /etc/apt/sources.list ]; then
    grep -E '^deb ' /etc/apt/sources.list | sed -e 's/^deb /deb-src /' \
      | sudo_ tee /etc/apt/sources.list.d/ksx-deb-src.list >/dev/null
    sudo_ touch "$out"
  else
    die "no Debian apt sources found to derive a deb-src entry from"
  fi
  return 1
}

need_update=0
ensure_deb_src || need_update=1
tinyxml_dir="$third/tinyxml"
[ -f "$tinyxml_dir/.ksx-ready" ] || need_update=1
[ ${#missing[@]} -eq 0 ] || need_update=1

if [ $need_update = 1 ]; then
  echo "setup: apt-get update" >&2
  sudo_ apt-get update -qq >/dev/null || die "apt-get update failed"
fi

if [ ${#missing[@]} -ne 0 ]; then
  echo "setup: installing ${missing[*]}" >&2
  DEBIAN_FRONTEND=noninteractive sudo_ apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null \
    || die "apt-get install failed for: ${missing[*]}"
fi

# TinyXML 2.6.2 from Debian's source package, Debian's patches applied.
if [ ! -f "$tinyxml_dir/.ksx-ready" ]; then
  echo "setup: fetching the tinyxml source package" >&2
  tmp=$(mktemp -d)
  trap 'rm -rf "$tmp"' EXIT
  (cd "$tmp" && apt-get source -qq tinyxml >/dev/null 2>&1) || die "apt-get source tinyxml failed"
  src=$(find "$tmp" -maxdepth 1 -type d -name 'tinyxml-*' | head -1)
  [ -n "$src" ] || die "tinyxml source tree not found after apt-get source"
  [ -f "$src/tinyxml.h" ] || die "unexpected tinyxml source layout in $src"
  grep -q 'TIXML_MINOR_VERSION = 6' "$src/tinyxml.h" && grep -q 'TIXML_PATCH_VERSION = 2' "$src/tinyxml.h" \
    || die "the tinyxml source package is not version 2.6.2"
  rm -rf "$tinyxml_dir"; mkdir -p "$tinyxml_dir"
  cp "$src"/tinyxml.h "$src"/tinystr.h "$src"/tinyxml.cpp "$src"/tinystr.cpp \
     "$src"/tinyxmlerror.cpp "$src"/tinyxmlparser.cpp "$tinyxml_dir/"
  [ -d "$src/debian/patches" ] && ls "$src/debian/patches" > "$tinyxml_dir/PATCHES"
  touch "$tinyxml_dir/.ksx-ready"
fi
