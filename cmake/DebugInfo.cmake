# The library and the tool are installed and packed stripped (Packaging.cmake;
# they are about a tenth of their size then). Their debug information is
# written at link time to <build>/debug/<file>.debug, beside the packages/
# folder, and the binaries name it (.gnu_debuglink): put it beside them, or in
# the debugger's debug-file directory, to debug a shipped build.
# -DORUKIV_INSTALL_STRIPPED=OFF installs them as built.
option(ORUKIV_INSTALL_STRIPPED "Install and pack the library and the tool stripped" ON)
set(ORUKIV_DEBUG_DIR ${CMAKE_BINARY_DIR}/debug)

# Called in the directory that creates `target`.
function(orukiv_split_debug target)
  if(NOT ORUKIV_INSTALL_STRIPPED OR NOT CMAKE_OBJCOPY OR NOT CMAKE_STRIP)
    return()
  endif()
  set(debug_file ${ORUKIV_DEBUG_DIR}/$<TARGET_FILE_NAME:${target}>.debug)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E make_directory ${ORUKIV_DEBUG_DIR}
    COMMAND ${CMAKE_OBJCOPY} --only-keep-debug $<TARGET_FILE:${target}> ${debug_file}
    COMMAND ${CMAKE_OBJCOPY} --add-gnu-debuglink=${debug_file} $<TARGET_FILE:${target}>
    VERBATIM)
endfunction()
