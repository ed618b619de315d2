#!/usr/bin/env bash
# Fetches ONNX Runtime (the official Linux x64 build, shipped in an npm package together with
# the C and C++ API headers), checks it against the integrity pinned here and unpacks the
# library and headers into .deps/onnxruntime. A second run finds the stamp and does nothing.
# prepare-models.sh sources this file for npm_fetch alone.
#
# Needs: npm, tar, coreutils.
set -euo pipefail

PACKAGE=com.github.asus4.onnxruntime@0.4.9
INTEGRITY=sha512-BkzxduSZ9IkeDP6Q8lz2TFU2ie7hSSvS7ZIfzMooExoq0CNzJnuuGaUJ7IsojBgqO4ouD1jXah8OYyJbCN29Fg==
LIBRARY=package/Plugins/Linux/x64/libonnxruntime.so
# The package carries the headers only inside its Apple framework folders; they are the same
# platform-neutral C and C++ API headers on every platform.
HEADERS='package/Plugins/iOS~/onnxruntime.xcframework/ios-arm64/onnxruntime.framework/Headers'

# npm_fetch NAME@VERSION INTEGRITY DIR: fetches the package tarball into DIR, checks its sha512
# against the pinned integrity (as the registry states it) and prints the tarball's path, so a
# substituted package stops the set-up instead of reaching the build.
npm_fetch() {
  local package="$1" integrity="$2" dir="$3" file expected actual
  file="$(cd "$dir" && npm pack --silent "$package" | tail -n 1)"
  [[ -n "$file" && -f "$dir/$file" ]] || { echo "npm pack $package produced no tarball" >&2; return 1; }
  expected="$(printf '%s' "${integrity#sha512-}" | base64 -d | od -An -v -tx1 | tr -d ' \n')"
  actual="$(sha512sum "$dir/$file" | cut -d' ' -f1)"
  if [[ "$actual" != "$expected" ]]; then
    echo "integrity check failed for $package: sha512 $actual, pinned $expected" >&2
    return 1
  fi
  printf '%s\n' "$dir/$file"
}

fetch_runtime() {
  local root dest stamp work tarball
  root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
  dest="$root/.deps/onnxruntime"
  stamp="$dest/.installed"
  if [[ -f "$stamp" && "$(cat "$stamp")" == "$PACKAGE $INTEGRITY" ]]; then
    return 0
  fi

  work="$(mktemp -d)"
  trap "rm -rf '$work'" EXIT
  tarball="$(npm_fetch "$PACKAGE" "$INTEGRITY" "$work")"
  tar --no-same-owner -xzf "$tarball" -C "$work" "$LIBRARY" "$HEADERS" package/LICENSE package/ThirdPartyNotices.txt

  rm -rf "$dest"
  mkdir -p "$dest/lib" "$dest/include"
  mv "$work/$LIBRARY" "$dest/lib/libonnxruntime.so"
  ln -s libonnxruntime.so "$dest/lib/libonnxruntime.so.1"   # the library's soname
  mv "$work/$HEADERS"/*.h "$dest/include/"
  mv "$work/package/LICENSE" "$work/package/ThirdPartyNotices.txt" "$dest/"
  echo "$PACKAGE $INTEGRITY" > "$stamp"
  echo "ONNX Runtime unpacked into $dest"
}

if [[ "${BASH_SOURCE[0]}" == "$0" ]]; then
  fetch_runtime
fi
