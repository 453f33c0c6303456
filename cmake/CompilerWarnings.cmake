# Warnings on for every target of the project, and clean.
add_compile_options(-Wall -Wextra -Wpedantic -Wshadow -Wno-unused-parameter)
option(PLUGIN_WARNINGS_AS_ERRORS "Treat compiler warnings as errors" ON)
if(PLUGIN_WARNINGS_AS_ERRORS)
  add_compile_options(-Werror)
endif()
