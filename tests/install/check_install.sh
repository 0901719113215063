#!/usr/bin/env bash
# Installs the build tree into a scratch prefix and builds a C program
# against it with pkg-config, as a user outside the tree would; then the C++
# programs beside it.
set -euo pipefail
build=$1 src=$2
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
export PKG_CONFIG_PATH="$prefix/lib/pkgconfig"
readelf -d "$prefix/lib/rizavavidiv.so.3" | grep -q 'SONAME.*\[rizavavidiv.so.3\]'
cc -Wall -Werror -o "$prefix/prog" "$src" $(pkg-config --cflags --libs rizavavidiv)
"$prefix/prog"
for cxx in "$(dirname "$src")"/*.cpp; do
  [ -e "$cxx" ] || continue
  exe="$prefix/$(basename "$cxx" .cpp)"
  c++ -std=c++17 -Wall -Wextra -Werror -o "$exe" "$cxx" $(pkg-config --cflags --libs rizavavidiv)
  "$exe"
done
