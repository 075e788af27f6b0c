#!/usr/bin/env bash
# The Linux package as a user gets it: packs the build's .tar.gz with CPack,
# unpacks it somewhere else, checks the tree, compiles the public headers on
# their own, and builds and runs the C99 consumer host twice: from a CMake
# project through find_package(orukiv), and with a plain compiler command
# through pkg-config.
#
#   linux_package_test.sh BUILD_DIR VERSION CPACK CMAKE CC CXX
set -euo pipefail

build=$1 version=$2 cpack=$3 cmake=$4 cc=$5 cxx=$6
here=$(cd "$(dirname "$0")" && pwd)
work=$build/consumer/linux-package
major=${version%%.*}
fail() {
    echo "FAILED: $*" >&2
    exit 1
}

rm -rf "$work"
mkdir -p "$work"
"$cpack" -G TGZ -B "$work/pkg" --config "$build/CPackConfig.cmake" >"$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log"; fail "cpack"; }
tarball=$(echo "$work"/pkg/orukiv-"$version"-linux-*.tar.gz)
[[ -f $tarball ]] || fail "no package orukiv-$version-linux-*.tar.gz"
mkdir -p "$work/unpacked"
tar -xzf "$tarball" -C "$work/unpacked"
prefix=$(echo "$work"/unpacked/orukiv-"$version"-linux-*)

# ---- The tree --------------------------------------------------------------
library=$(find "$prefix" -name "liborukiv.so.$version")
[[ -n $library ]] || fail "no liborukiv.so.$version"
libdir=$(dirname "$library")
[[ $(readlink "$libdir/liborukiv.so") == "liborukiv.so.$major" ]] || fail "liborukiv.so link"
[[ $(readlink "$libdir/liborukiv.so.$major") == "liborukiv.so.$version" ]] || fail "SONAME link"
for f in include/orukiv/orukiv.h include/orukiv/orukiv_export.h include/orukiv/QUserLog.h \
    include/orukiv/orukiv_lifecycle.h include/orukiv/orukiv_services.h include/orukiv/orukiv_sdo.h \
    include/orukiv/orukiv_supervision.h include/orukiv/orukiv_lss.h include/orukiv/orukiv_cyclic.h \
    include/orukiv/orukiv_drive.h include/orukiv/orukiv_od.h \
    share/doc/orukiv/README.md share/doc/orukiv/LICENSE share/doc/orukiv/QUserLog.ini; do
    [[ -f $prefix/$f ]] || fail "the package has no $f"
done
for f in cmake/orukiv/orukivConfig.cmake cmake/orukiv/orukivConfigVersion.cmake pkgconfig/orukiv.pc; do
    [[ -f $libdir/$f ]] || fail "the package has no ${libdir#"$prefix"/}/$f"
done
[[ -f $build/bin/orukiv && ! -x $prefix/bin/orukiv ]] && fail "the package has no bin/orukiv"
echo "package: $(cd "$prefix" && find . \( -type f -o -type l \) | sort | tr '\n' ' ')"
# Shipped stripped; the debug information beside, in the build's debug/.
for f in "$library" "$prefix/bin/orukiv"; do
    [[ -f $f ]] || continue
    ! readelf -S "$f" | grep -q '\.debug_info' || fail "${f#"$prefix"/} ships its debug information"
    [[ -s $build/debug/$(basename "$f").debug ]] || fail "no debug/$(basename "$f").debug beside"
done

# ---- Public headers, each on its own, warnings as errors -----------------
strict=(-Wall -Wextra -Wpedantic -Werror -fsyntax-only -I "$prefix/include")
for h in orukiv.h orukiv_export.h; do
    printf '#include "orukiv/%s"\ntypedef int header_alone;\n' "$h" >"$work/h.c"
    "$cc" -std=c99 "${strict[@]}" "$work/h.c" || fail "$h as C99"
done
for h in orukiv.h orukiv_export.h QUserLog.h; do
    printf '#include "orukiv/%s"\ntypedef int header_alone;\n' "$h" >"$work/h.cpp"
    "$cxx" -std=c++20 "${strict[@]}" "$work/h.cpp" || fail "$h as C++20"
done

# ---- CMake: find_package(orukiv CONFIG REQUIRED) --------------------------
"$cmake" -S "$here/find_package" -B "$work/cmake-host" -DCMAKE_C_COMPILER="$cc" \
    -DCMAKE_PREFIX_PATH="$prefix" -DORUKIV_EXPECTED_VERSION="$version" \
    -DHOST_SOURCE="$here/consumer_host.c" >"$work/cmake-host.log" 2>&1 ||
    { cat "$work/cmake-host.log"; fail "configuring the CMake host"; }
"$cmake" --build "$work/cmake-host" >>"$work/cmake-host.log" 2>&1 ||
    { cat "$work/cmake-host.log"; fail "building the CMake host"; }
"$work/cmake-host/consumer_host" || fail "the CMake host exited with $?"

# ---- pkg-config and a plain compiler command ------------------------------
export PKG_CONFIG_PATH=$libdir/pkgconfig
[[ $(pkg-config --modversion orukiv) == "$version" ]] || fail "pkg-config --modversion"
# shellcheck disable=SC2046 # the flags are meant to split
"$cc" -std=c99 -Wall -Wextra -Wpedantic -Werror "$here/consumer_host.c" \
    $(pkg-config --cflags --libs orukiv) -o "$work/pkgconfig_host" || fail "pkg-config build"
LD_LIBRARY_PATH=$libdir "$work/pkgconfig_host" || fail "the pkg-config host exited with $?"

echo "Linux package: tree, headers, CMake host and pkg-config host passed"
