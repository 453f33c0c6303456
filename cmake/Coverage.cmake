# PLUGIN_COVERAGE instruments the whole tree with gcov (GCC), unoptimised so that every line and
# branch of the source has its own counters, which the decode, output and host threads update
# atomically; scripts/test coverage reports them with gcovr.
option(PLUGIN_COVERAGE "Build with gcov instrumentation" OFF)

if(PLUGIN_COVERAGE)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    message(FATAL_ERROR "PLUGIN_COVERAGE needs GCC")
  endif()
  add_compile_options(--coverage -fprofile-update=atomic -O0)
  add_link_options(--coverage)
endif()
