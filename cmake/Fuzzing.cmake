# PLUGIN_FUZZ builds the fuzz targets of fuzz/ as libFuzzer programs. Every target of the tree
# then gets the fuzzer's coverage instrumentation and the address and undefined-behaviour
# sanitizers (PLUGIN_SANITIZER=address), so that the fuzzer is guided by, and catches faults in,
# the code under test and not only the fuzz targets. Needs clang, e.g. CC=clang-14 CXX=clang++-14.
option(PLUGIN_FUZZ "Build the fuzz targets with libFuzzer (clang only)" OFF)
set(PLUGIN_FUZZ_TEST_SECONDS 10 CACHE STRING "How long each fuzz test of CTest fuzzes")

if(PLUGIN_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "PLUGIN_FUZZ needs clang (configure with CC=clang-14 CXX=clang++-14)")
  endif()
  if(PLUGIN_SANITIZER STREQUAL "thread")
    message(FATAL_ERROR "PLUGIN_FUZZ runs with the address sanitizer, not PLUGIN_SANITIZER=thread")
  endif()
  set(PLUGIN_SANITIZER address CACHE STRING "Sanitizer build: empty, address or thread" FORCE)
  add_compile_options(-fsanitize=fuzzer-no-link
                      -fsanitize-ignorelist=${CMAKE_CURRENT_SOURCE_DIR}/fuzz/sanitizer-ignorelist.txt)
endif()
