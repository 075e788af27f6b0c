# Install rules, the CMake package (orukiv::orukiv), orukiv.pc and the CPack
# archives: a .tar.gz on Linux, the Windows SDK .zip for the MinGW build.
# The version is the project's (top-level project() call) everywhere.
include(CMakePackageConfigHelpers)

# Installing and packing take the build as it is and never build first: the
# package tests run cpack while other tests run, and a rebuild then would
# relink programs under their feet. Build, then install or pack.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

set(ORUKIV_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/orukiv)
set(ORUKIV_PKGCONFIG_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
if(WIN32)
  # The SDK zip keeps its papers at the top, beside bin/, include/ and lib/.
  set(ORUKIV_DOC_DIR .)
else()
  set(ORUKIV_DOC_DIR ${CMAKE_INSTALL_DOCDIR})
endif()

# ---- Stripped binaries inside (their debug information beside: DebugInfo.cmake)
if(ORUKIV_INSTALL_STRIPPED)
  # What `cmake --install --strip` and CPACK_STRIP_FILES do, made the default.
  install(CODE "if(NOT DEFINED CMAKE_INSTALL_DO_STRIP)\n  set(CMAKE_INSTALL_DO_STRIP 1)\nendif()")
  set(CPACK_STRIP_FILES ON)
endif()

# ---- The library and its headers -------------------------------------------
install(TARGETS orukiv EXPORT orukivTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/orukiv
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
  FILES_MATCHING PATTERN "*.h")
if(WIN32)
  # For hosts outside MinGW: the export list and its import library.
  install(FILES ${ORUKIV_SDK_DEF} ${ORUKIV_MSVC_IMPLIB} DESTINATION ${CMAKE_INSTALL_LIBDIR})
endif()

# ---- The command-line tool, when the build has it --------------------------
# Deferred to the end of the top-level directory, so that the tool's folder
# may be added anywhere in it.
function(orukiv_install_tool)
  if(TARGET orukiv_tool)
    if(NOT WIN32)
      file(RELATIVE_PATH lib_from_bin ${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}
        ${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR})
      set_target_properties(orukiv_tool PROPERTIES INSTALL_RPATH "$ORIGIN/${lib_from_bin}")
    endif()
    install(TARGETS orukiv_tool RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endfunction()
cmake_language(DEFER DIRECTORY ${PROJECT_SOURCE_DIR} CALL orukiv_install_tool)

# ---- CMake package: find_package(orukiv CONFIG) gives orukiv::orukiv --------
install(EXPORT orukivTargets NAMESPACE orukiv:: DESTINATION ${ORUKIV_CMAKE_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/orukivConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/orukivConfig.cmake
  INSTALL_DESTINATION ${ORUKIV_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/orukivConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/orukivConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/orukivConfigVersion.cmake
  DESTINATION ${ORUKIV_CMAKE_DIR})

# ---- pkg-config: paths relative to the .pc file, so the tree may move ------
file(RELATIVE_PATH ORUKIV_PC_TO_PREFIX ${CMAKE_INSTALL_PREFIX}/${ORUKIV_PKGCONFIG_DIR}
  ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" ORUKIV_PC_TO_PREFIX "${ORUKIV_PC_TO_PREFIX}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/orukiv.pc.in ${CMAKE_CURRENT_BINARY_DIR}/orukiv.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/orukiv.pc DESTINATION ${ORUKIV_PKGCONFIG_DIR})

# ---- Papers -----------------------------------------------------------------
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE
  ${PROJECT_SOURCE_DIR}/CHANGELOG.md ${PROJECT_SOURCE_DIR}/examples/QUserLog.ini
  DESTINATION ${ORUKIV_DOC_DIR})
# Every document the README links to (the host guide, the tool, the object
# dictionaries, the architecture, performance, reliability, Python), so that
# the README's links work in the installed tree and in the archives.
file(GLOB ORUKIV_DOCS ${PROJECT_SOURCE_DIR}/docs/*.md)
install(FILES ${ORUKIV_DOCS} DESTINATION ${ORUKIV_DOC_DIR}/docs)

# ---- Archives: cpack in the build folder writes packages/<name> ------------
set(CPACK_PACKAGE_NAME orukiv)
set(CPACK_PACKAGE_VENDOR "The orukiv developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "CANopen master library with a C interface")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win64)
else()
  set(CPACK_GENERATOR TGZ)
  set(CPACK_SYSTEM_NAME linux-${CMAKE_SYSTEM_PROCESSOR})
endif()
set(CPACK_PACKAGE_FILE_NAME orukiv-${PROJECT_VERSION}-${CPACK_SYSTEM_NAME})
include(CPack)
