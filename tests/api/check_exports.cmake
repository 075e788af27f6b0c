# Checks what the shipped library exports, from its symbol table:
#
#   cmake -DFORMAT=elf -DTOOL=<nm>      -DLIBRARY=liborukiv.so -DHEADER=orukiv.h -P check_exports.cmake
#   cmake -DFORMAT=pe  -DTOOL=<objdump> -DLIBRARY=orukiv.dll   -DHEADER=orukiv.h -P check_exports.cmake
#
# - every KIV_ function declared in the public headers (HEADER and the other
#   headers of its folder) is exported under its plain (undecorated) name,
#   and no other C symbol is;
# - the logger classes' public members are exported, and no other C++
#   symbol (a leaked standard library instantiation, say) is; the DLL also
#   exports them under their Visual C++ names (checked by the SDK test that
#   links Visual C++-ABI hosts against them);
# - the DLL imports only system DLLs: no MinGW runtime DLL may be needed.
cmake_minimum_required(VERSION 3.25)

foreach(var FORMAT TOOL LIBRARY HEADER)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "check_exports: ${var} is not set")
  endif()
endforeach()

set(failures "")
macro(fail text)
  string(APPEND failures "  ${text}\n")
endmacro()

# ---- What the headers declare ---------------------------------------------
# HEADER and every other public header beside it (orukiv_od.h, ...).
get_filename_component(header_dir "${HEADER}" DIRECTORY)
file(GLOB public_headers "${header_dir}/*.h")
list(REMOVE_ITEM public_headers "${HEADER}")
set(declared "")
foreach(path IN ITEMS "${HEADER}" LISTS public_headers)
  file(READ "${path}" header)
  string(REGEX MATCHALL "ORUKIV_C_API[^(;]*\\(" declarations "${header}")
  foreach(decl IN LISTS declarations)
    if(decl MATCHES "(KIV_[A-Za-z0-9_]+)[ \t\r\n]*\\($")
      list(APPEND declared ${CMAKE_MATCH_1})
    endif()
  endforeach()
endforeach()
if(NOT "KIV_Init" IN_LIST declared OR NOT "KIV_Destroy" IN_LIST declared)
  message(FATAL_ERROR "check_exports: could not read the exports declared in ${HEADER}")
endif()

# Public members of the logger classes (Itanium mangling, which MinGW uses
# as well). Private helpers may be exported too; they are not checked.
set(required_members
  _ZN8QUserLog11GetInstanceEv
  _ZN8QUserLog11SetLogLevelE8LogLevel
  _ZN8QUserLog16EnableFileOutputEb
  _ZN8QUserLog10SetLogPathEPKc
  _ZN8QUserLog10LoadConfigEPKc
  _ZN8QUserLog5TraceEPKcz
  _ZN8QUserLog5DebugEPKcz
  _ZN8QUserLog4InfoEPKcz
  _ZN8QUserLog4WarnEPKcz
  _ZN8QUserLog5ErrorEPKcz
  _ZN8QUserLog5FatalEPKcz
  _ZN8QUserLog10FlushCacheEv
  _ZN6QMutexC1Ev
  _ZN6QMutexD1Ev
  _ZN6QMutexaSERKS_
  _ZN6QMutex4LockEv
  _ZN6QMutex6UnlockEv)

# ---- What the binary exports ------------------------------------------------
set(exported "")
if(FORMAT STREQUAL "elf")
  execute_process(COMMAND "${TOOL}" -D --defined-only "${LIBRARY}"
    OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "check_exports: ${TOOL} failed (${rc}): ${err}")
  endif()
  string(REPLACE "\n" ";" lines "${out}")
  foreach(line IN LISTS lines)
    # "0000000000003c30 T KIV_Init"; a version suffix (@@...) is dropped.
    if(line MATCHES "^[0-9a-fA-F]* +[A-Za-z] +([^@ ]+)")
      list(APPEND exported ${CMAKE_MATCH_1})
    endif()
  endforeach()
elseif(FORMAT STREQUAL "pe")
  execute_process(COMMAND "${TOOL}" -p "${LIBRARY}"
    OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "check_exports: ${TOOL} failed (${rc}): ${err}")
  endif()
  string(REPLACE "\n" ";" lines "${out}")
  set(in_names FALSE)
  set(imports "")
  foreach(line IN LISTS lines)
    if(line MATCHES "DLL Name: *([^ \t]+)")
      list(APPEND imports ${CMAKE_MATCH_1})
    elseif(line MATCHES "\\[Ordinal/Name Pointer\\] Table")
      set(in_names TRUE)
    elseif(in_names AND line MATCHES "^[ \t]*\\[ *[0-9]+\\] +([^ \t]+)")
      list(APPEND exported ${CMAKE_MATCH_1})
    elseif(in_names AND line MATCHES "^[ \t]*$")
      set(in_names FALSE)
    endif()
  endforeach()

  # KERNEL32 and the C runtime every Windows has; SHLWAPI and WINMM (the
  # timer period of the low-latency sleep) are system DLLs.
  set(allowed_imports kernel32.dll msvcrt.dll shlwapi.dll winmm.dll)
  if(NOT imports)
    fail("no imported DLL found: the objdump output was not understood")
  endif()
  foreach(dll IN LISTS imports)
    string(TOLOWER "${dll}" lower)
    if(NOT lower IN_LIST allowed_imports)
      fail("imports ${dll}, which is not a system DLL")
    endif()
  endforeach()
  message(STATUS "imported DLLs: ${imports}")
else()
  message(FATAL_ERROR "check_exports: FORMAT must be elf or pe")
endif()

list(LENGTH exported exported_count)
message(STATUS "${exported_count} exported symbols")

foreach(name IN LISTS declared)
  if(NOT name IN_LIST exported)
    fail("${name} is declared in the public header but not exported")
  endif()
endforeach()
foreach(name IN LISTS required_members)
  if(NOT name IN_LIST exported)
    fail("logger member ${name} is not exported")
  endif()
endforeach()
foreach(name IN LISTS exported)
  if(name MATCHES "^_Z")
    if(NOT name MATCHES "^_Z(N|TI|TS)(6QMutex|8QUserLog)")
      fail("C++ symbol ${name} is exported, outside the logger classes")
    endif()
  elseif(name MATCHES "^\\?")
    if(NOT FORMAT STREQUAL "pe" OR NOT name MATCHES "(^\\?\\?[0-9]|@)(QMutex|QUserLog)@@")
      fail("Visual C++ symbol ${name} is exported, outside the logger classes")
    endif()
  elseif(NOT name IN_LIST declared)
    fail("C symbol ${name} is exported but not declared in the public header")
  endif()
endforeach()

if(failures)
  message(FATAL_ERROR "export check of ${LIBRARY} failed:\n${failures}")
endif()
list(LENGTH declared declared_count)
message(STATUS "export check passed: ${declared_count} C functions and the logger classes")
