#!/usr/bin/env bash
# The Windows SDK as a user gets it: packs the build's .zip with CPack,
# unpacks it, checks its contents, compiles the public headers on their own,
# then builds and runs (under Wine) a C host and a C++ host that uses the
# logger classes, twice each: with MinGW-w64 against liborukiv.dll.a, and in
# the Visual C++ ABI (clang --target=x86_64-pc-windows-msvc, lld-link)
# against orukiv.lib, without a C runtime.
#
#   windows_sdk_test.sh BUILD_DIR VERSION CPACK MINGW_CC MINGW_CXX CLANG LLD_LINK WINE_RUN
set -euo pipefail

build=$1 version=$2 cpack=$3 mingw_cc=$4 mingw_cxx=$5 clang=$6 lld_link=$7 wine_run=$8
here=$(cd "$(dirname "$0")" && pwd)
work=$build/consumer/windows-sdk
fail() {
    echo "FAILED: $*" >&2
    exit 1
}
for tool in "$clang" "$lld_link"; do
    [[ -x $tool ]] || fail "no $tool: scripts/install-deps installs clang and lld"
done

rm -rf "$work"
mkdir -p "$work"
"$cpack" -G ZIP -B "$work/pkg" --config "$build/CPackConfig.cmake" >"$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log"; fail "cpack"; }
zip=$work/pkg/orukiv-$version-win64.zip
[[ -f $zip ]] || fail "no $zip"
(cd "$work" && cmake -E tar xf "$zip")
sdk=$work/orukiv-$version-win64

# ---- Contents -----------------------------------------------------------
expected=(bin/orukiv.dll lib/orukiv.def lib/liborukiv.dll.a lib/orukiv.lib
    include/orukiv/orukiv.h include/orukiv/orukiv_export.h include/orukiv/QUserLog.h
    include/orukiv/orukiv_lifecycle.h include/orukiv/orukiv_services.h include/orukiv/orukiv_sdo.h
    include/orukiv/orukiv_supervision.h include/orukiv/orukiv_lss.h include/orukiv/orukiv_cyclic.h
    include/orukiv/orukiv_drive.h include/orukiv/orukiv_od.h
    lib/cmake/orukiv/orukivConfig.cmake lib/pkgconfig/orukiv.pc
    QUserLog.ini README.md LICENSE CHANGELOG.md docs/host-guide.md)
# The command-line tool ships when the build has it.
[[ -f $build/bin/orukiv.exe ]] && expected+=(bin/orukiv.exe)
for f in "${expected[@]}"; do
    [[ -f $sdk/$f ]] || fail "the zip has no $f"
done
echo "zip: $(cd "$sdk" && find . -type f | sort | tr '\n' ' ')"
# Shipped stripped; the debug information beside, in the build's debug/.
for f in bin/orukiv.dll bin/orukiv.exe; do
    [[ -f $sdk/$f ]] || continue
    ! "${OBJDUMP:-objdump}" -h "$sdk/$f" | grep -q '\.debug_info' || fail "$f ships its debug information"
    [[ -s $build/debug/$(basename "$f").debug ]] || fail "no debug/$(basename "$f").debug beside"
done

# ---- Public headers, each on its own, warnings as errors -----------------
strict=(-Wall -Wextra -Wpedantic -Werror -fsyntax-only -I "$sdk/include")
msvc=("$clang" --target=x86_64-pc-windows-msvc)
for h in orukiv.h orukiv_export.h; do
    printf '#include "orukiv/%s"\ntypedef int header_alone;\n' "$h" >"$work/h.c"
    "$mingw_cc" -std=c99 "${strict[@]}" "$work/h.c" || fail "$h as C99 (MinGW)"
    "${msvc[@]}" -std=c99 "${strict[@]}" "$work/h.c" || fail "$h as C99 (Visual C++ ABI)"
done
for h in orukiv.h orukiv_export.h QUserLog.h; do
    printf '#include "orukiv/%s"\ntypedef int header_alone;\n' "$h" >"$work/h.cpp"
    "$mingw_cxx" -std=c++20 "${strict[@]}" "$work/h.cpp" || fail "$h as C++20 (MinGW)"
    "${msvc[@]}" -std=c++20 "${strict[@]}" "$work/h.cpp" || fail "$h as C++20 (Visual C++ ABI)"
done

# ---- Hosts ---------------------------------------------------------------
# Each runs in a folder of its own with orukiv.dll and the sample
# QUserLog.ini beside it.
run_host() {
    local dir=$1 exe=$2
    cp "$sdk/bin/orukiv.dll" "$sdk/QUserLog.ini" "$dir/"
    (cd "$dir" && "$wine_run" "./$exe") || fail "$dir/$exe exited with $?"
}
flags=(-Wall -Wextra -Wpedantic -Werror -O2 -I "$sdk/include" -I "$here")

mkdir -p "$work/mingw"
"$mingw_cc" -std=c99 "${flags[@]}" "$here/consumer_host.c" -o "$work/mingw/c_host.exe" \
    "$sdk/lib/liborukiv.dll.a"
"$mingw_cxx" -std=c++20 "${flags[@]}" -static "$here/logger_host.cpp" \
    -o "$work/mingw/cpp_host.exe" "$sdk/lib/liborukiv.dll.a"
run_host "$work/mingw" c_host.exe
run_host "$work/mingw" cpp_host.exe

mkdir -p "$work/msvc"
kernel32=/usr/x86_64-w64-mingw32/lib/libkernel32.a
link=("$lld_link" -entry:host_entry -subsystem:console -nodefaultlib)
"${msvc[@]}" -std=c99 "${flags[@]}" -DORUKIV_HOST_NO_CRT -c "$here/consumer_host.c" \
    -o "$work/msvc/c_host.obj"
"${link[@]}" -out:"$work/msvc/c_host.exe" "$work/msvc/c_host.obj" "$sdk/lib/orukiv.lib" "$kernel32"
"${msvc[@]}" -std=c++20 -fno-exceptions -fno-rtti "${flags[@]}" -DORUKIV_HOST_NO_CRT \
    -c "$here/logger_host.cpp" -o "$work/msvc/cpp_host.obj"
"${link[@]}" -out:"$work/msvc/cpp_host.exe" "$work/msvc/cpp_host.obj" "$sdk/lib/orukiv.lib" \
    "$kernel32"
run_host "$work/msvc" c_host.exe
run_host "$work/msvc" cpp_host.exe

echo "Windows SDK: zip contents, headers and the four hosts passed"
