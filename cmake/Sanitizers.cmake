# PLUGIN_SANITIZER selects one sanitizer build for the whole tree:
#   ""        plain build
#   address   AddressSanitizer + UndefinedBehaviorSanitizer, with LeakSanitizer
#   thread    ThreadSanitizer
set(PLUGIN_SANITIZER "" CACHE STRING "Sanitizer build: empty, address or thread")
set_property(CACHE PLUGIN_SANITIZER PROPERTY STRINGS "" address thread)

if(PLUGIN_SANITIZER STREQUAL "address")
  set(sanitizer_flags -fsanitize=address,undefined -fno-sanitize-recover=undefined
                      -fno-omit-frame-pointer)
elseif(PLUGIN_SANITIZER STREQUAL "thread")
  set(sanitizer_flags -fsanitize=thread -fno-omit-frame-pointer)
elseif(NOT PLUGIN_SANITIZER STREQUAL "")
  message(FATAL_ERROR "PLUGIN_SANITIZER must be empty, address or thread")
endif()

if(sanitizer_flags)
  add_compile_options(${sanitizer_flags})
  add_link_options(${sanitizer_flags})
endif()
