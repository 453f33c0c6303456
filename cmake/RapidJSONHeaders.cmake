# RapidJSON 1.1.0, the latest release, defines GenericStringRef's copy assignment with assignments
# to its const members (document.h, line 319):
#   GenericStringRef& operator=(const GenericStringRef& rhs) { s = rhs.s; length = rhs.length; }
# The body is never instantiated, so GCC and clang before 19 accept it; clang from 19 on, Apple's
# current compiler among them, rejects it. Later RapidJSON revisions declare the assignment
# without a body instead.
#
# plugin_rapidjson_headers(OUT_VAR INCLUDE_DIRS) sets OUT_VAR to the include directory to compile
# with. Where the found document.h has that definition, it is a copy of the found headers in the
# build folder whose document.h declares the assignment deleted, as an immutable type's should be;
# the copy is refreshed at every configure and document.h rewritten only when it changes. Where
# the definition is absent, it is the found directory itself.
function(plugin_rapidjson_headers out_var include_dirs)
  set(found "")
  foreach(dir IN LISTS include_dirs)
    if(EXISTS "${dir}/rapidjson/document.h")
      set(found "${dir}")
      break()
    endif()
  endforeach()
  if(found STREQUAL "")
    message(FATAL_ERROR "rapidjson/document.h is not in RapidJSON's include directories "
                        "(${include_dirs})")
  endif()

  file(READ "${found}/rapidjson/document.h" document)
  set(defect_pattern "GenericStringRef& operator=\\(const GenericStringRef& rhs\\) *{[^}]*}")
  string(REGEX MATCH "${defect_pattern}" defect "${document}")
  if(defect STREQUAL "")
    set(${out_var} "${found}" PARENT_SCOPE)
    return()
  endif()

  set(copy_dir "${CMAKE_BINARY_DIR}/rapidjson-include")
  file(COPY "${found}/rapidjson" DESTINATION "${copy_dir}" PATTERN "document.h" EXCLUDE)
  string(REGEX REPLACE "${defect_pattern}"
                       "GenericStringRef& operator=(const GenericStringRef& rhs) = delete;"
                       document "${document}")
  file(WRITE "${copy_dir}/document.h.new" "${document}")
  file(COPY_FILE "${copy_dir}/document.h.new" "${copy_dir}/rapidjson/document.h"
       ONLY_IF_DIFFERENT)
  file(REMOVE "${copy_dir}/document.h.new")
  message(STATUS "RapidJSON: ${found}/rapidjson/document.h assigns to const members; "
                 "compiling with a copy that deletes that assignment (${copy_dir})")
  set(${out_var} "${copy_dir}" PARENT_SCOPE)
endfunction()
