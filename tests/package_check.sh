#!/usr/bin/env bash
# Installs from the build folder and builds the Debian package, then runs the
# installed and the unpacked program on the shipped sample image, and has
# Debian's checkers look at the binary (hardening-check) and the package
# (lintian).
# Usage: tests/package_check.sh BUILD_FOLDER
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

converts_sample() { # program: converts the sample to the expected text
    cp "$root/examples/blinky.bin" "$work/blinky.bin"
    "$1" "$work/blinky.bin"
    cmp "$work/blinky.hex" "$root/examples/expected/blinky.hex"
    rm "$work/blinky.bin" "$work/blinky.hex"
}

cmake --install "$build" --prefix "$work/prefix" >/dev/null
for file in bin/fw2hex share/man/man1/fw2hex.1.gz share/bash-completion/completions/fw2hex \
            share/doc/fw2hex/copyright share/doc/fw2hex/changelog.gz; do
    [ -f "$work/prefix/$file" ] || { echo "cmake --install left out $file"; exit 1; }
done
converts_sample "$work/prefix/bin/fw2hex"
echo "install: bin/fw2hex, its manual page, completion, copyright and changelog are in place"
hardening-check --nocfprotection "$work/prefix/bin/fw2hex"

version=$(sed -n 's/^project(fw2hex VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
(cd "$build" && cpack -G DEB >/dev/null)
package="$build/fw2hex_${version}_$(dpkg --print-architecture).deb"
[ -f "$package" ] || { echo "no package $package"; exit 1; }
[ "$(dpkg-deb -f "$package" Version)" = "$version" ] || { echo "package version is not $version"; exit 1; }
dpkg-deb -c "$package" | grep -q ' ./usr/share/man/man1/fw2hex.1.gz$' || { echo "no manual page in the package"; exit 1; }
lintian --fail-on error,warning "$package"
dpkg-deb -x "$package" "$work/unpacked"
converts_sample "$work/unpacked/usr/bin/fw2hex"
echo "package: $(basename "$package") holds /usr/bin/fw2hex and its manual page, and converts the sample"
