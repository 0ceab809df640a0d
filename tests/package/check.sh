#!/usr/bin/env bash
# Installs a build of the library into a fresh prefix, moves the installation elsewhere, and
# builds the example project of examples/package against it twice: with CMake's find_package
# and, without CMake, with the compiler and pkg-config alone. Each build's programs run in a
# fresh directory: one catches a fault without calling the library, one logs a text of its own
# resources.
#   tests/package/check.sh BUILD_DIR SOURCE_DIR CXX_COMPILER [TOOLCHAIN_FILE EMULATOR]
set -euo pipefail
build=$1 source=$2 compiler=$3 toolchain=${4:-} emulator=${5:-}

work=$(mktemp -d "${TMPDIR:-/tmp}/tarn-package.XXXXXX")
trap 'rm -rf "$work"' EXIT
fail() { echo "FAILED: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$work/staged" >/dev/null
mv "$work/staged" "$work/prefix"
prefix=$work/prefix

# The package files name no path of the build or of the place it was installed to.
if grep -rlF -e "$build" -e "$source" -e "$work/staged" "$prefix/lib/cmake" "$prefix/lib/pkgconfig"; then
  fail "absolute paths in the package files"
fi

run() { # run DIR PROGRAM: in a fresh working directory, with the switches in the program's INI
  local dir=$work/run-$(basename "$2") && mkdir -p "$dir"
  # Under Wine nobody would close the box that "/gpfshow" shows for the first fault.
  printf '[PROGRAM]\r\nCommandLine=" /mem"\r\n' >"$dir/$(basename "${2%.exe}").ini"
  (cd "$dir" && LD_LIBRARY_PATH=$prefix/lib $emulator "$1/$2") | tr -d '\r'
}

cmake_args=(-DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_TYPE=RelWithDebInfo)
[ -n "$toolchain" ] && cmake_args+=(-DCMAKE_TOOLCHAIN_FILE="$toolchain")
cmake -S "$source/examples/package" -B "$work/with-cmake" "${cmake_args[@]}" >"$work/configure.log" ||
  { cat "$work/configure.log"; fail "configure with find_package"; }
cmake --build "$work/with-cmake" >"$work/build.log" || { cat "$work/build.log"; fail "build with find_package"; }
suffix=""
[ -n "$toolchain" ] && suffix=.exe
out=$(run "$work/with-cmake" "catchfault$suffix") || fail "catchfault (find_package): $out"
[ "$out" = "caught 0xC0000005" ] || fail "catchfault (find_package) said: $out"
out=$(run "$work/with-cmake" "hello$suffix") || fail "hello (find_package): $out"
[ "$out" = "Hello from the resources" ] || fail "hello (find_package) said: $out"
compgen -G "$work/with-cmake/*greeting.*" >/dev/null || fail "the plug-in was not built"

mkdir -p "$work/with-pkg-config"
read -ra flags <<<"$(PKG_CONFIG_PATH=$prefix/lib/pkgconfig pkg-config --cflags --libs tarnkernl)"
"$compiler" -O2 -o "$work/with-pkg-config/catchfault$suffix" "$source/examples/package/catchfault.cpp" \
  "${flags[@]}"
[ -n "$toolchain" ] && cp "$prefix"/bin/*.dll "$work/with-pkg-config/"
out=$(run "$work/with-pkg-config" "catchfault$suffix") || fail "catchfault (pkg-config): $out"
[ "$out" = "caught 0xC0000005" ] || fail "catchfault (pkg-config) said: $out"
echo "the installed package builds and runs the example with find_package and with pkg-config"
