# ORVEXA_SANITIZE=address builds everything with AddressSanitizer and
# UndefinedBehaviorSanitizer; ORVEXA_SANITIZE=thread with ThreadSanitizer.
if(ORVEXA_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
elseif(ORVEXA_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT ORVEXA_SANITIZE STREQUAL "")
  message(FATAL_ERROR "ORVEXA_SANITIZE must be empty, 'address' or 'thread'")
endif()
