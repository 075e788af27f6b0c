# ORUKIV_SANITIZE=address builds everything with ASan + UBSan,
# ORUKIV_SANITIZE=thread with TSan.
if(ORUKIV_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
elseif(ORUKIV_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT ORUKIV_SANITIZE STREQUAL "")
  message(FATAL_ERROR "ORUKIV_SANITIZE must be empty, 'address' or 'thread'")
endif()
