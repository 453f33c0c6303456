# Configures the project for macOS on this machine and fails where the result would not be the
# macOS bundle's build. Apple's compiler and SDK are absent, so CMAKE_SYSTEM_NAME is Darwin, the
# compiler is a clang that accepts the Darwin flags CMake adds, and CMAKE_OSX_SYSROOT is a stand-in
# SDK whose frameworks are empty folders, enough for find_library(). Every find_package() other
# than those of RefuseLinuxPackages.cmake stops the configure, pkg-config cannot be run, and no
# library or header outside the stand-in SDK can be found.
#
# Then the generated build must compile the product's sources and nothing else, each with the
# macOS flags (both architectures, deployment target 10.13, warnings as errors, OpenGL's
# deprecation silenced, RapidJSON's headers without the const-member assignment), link the bundle
# against Apple's frameworks and no Linux library, and describe it as a loadable bundle with an
# identifier.
#
#   cmake -DSOURCE_DIR=... -DWORK_DIR=... -DC_COMPILER=clang -DCXX_COMPILER=clang++ -P THIS_FILE
cmake_minimum_required(VERSION 3.25)

foreach(variable IN ITEMS SOURCE_DIR WORK_DIR C_COMPILER CXX_COMPILER)
  if(NOT ${variable})
    message(FATAL_ERROR "${variable} not given (a clang is needed for the compilers)")
  endif()
endforeach()

set(failures "")
macro(fail text)
  string(APPEND failures "  ${text}\n")
endmacro()

file(REMOVE_RECURSE "${WORK_DIR}")
set(sdk "${WORK_DIR}/sdk")
set(frameworks VideoToolbox CoreMedia CoreVideo CoreFoundation OpenGL)
foreach(framework IN LISTS frameworks)
  file(MAKE_DIRECTORY "${sdk}/System/Library/Frameworks/${framework}.framework")
endforeach()

set(build "${WORK_DIR}/build")
execute_process(
  COMMAND "${CMAKE_COMMAND}" -S "${SOURCE_DIR}" -B "${build}" -G "Unix Makefiles"
          -DCMAKE_SYSTEM_NAME=Darwin
          "-DCMAKE_OSX_SYSROOT=${sdk}"
          "-DCMAKE_C_COMPILER=${C_COMPILER}"
          "-DCMAKE_CXX_COMPILER=${CXX_COMPILER}"
          "-DCMAKE_PROJECT_TOP_LEVEL_INCLUDES=${CMAKE_CURRENT_LIST_DIR}/RefuseLinuxPackages.cmake"
          "-DPKG_CONFIG_EXECUTABLE=${WORK_DIR}/no-pkg-config"
          "-DCMAKE_FIND_ROOT_PATH=${sdk}"
          -DCMAKE_FIND_ROOT_PATH_MODE_LIBRARY=ONLY
          -DCMAKE_FIND_ROOT_PATH_MODE_INCLUDE=ONLY
  RESULT_VARIABLE configure_status
  OUTPUT_VARIABLE configure_output
  ERROR_VARIABLE configure_output)
if(NOT configure_status EQUAL 0)
  message(FATAL_ERROR "The macOS configure failed:\n${configure_output}")
endif()

# What is compiled, and how.
file(READ "${build}/compile_commands.json" commands)
string(JSON command_count LENGTH "${commands}")
math(EXPR last "${command_count} - 1")
set(compiled_folders "")
foreach(index RANGE ${last})
  string(JSON file GET "${commands}" ${index} file)
  string(JSON command GET "${commands}" ${index} command)
  file(RELATIVE_PATH relative "${SOURCE_DIR}" "${file}")
  string(REGEX MATCH "^[^/]+" folder "${relative}")
  list(APPEND compiled_folders ${folder})
  set(flags "-arch x86_64" "-arch arm64" "-mmacosx-version-min=10.13" "-Werror")
  if(folder STREQUAL "render")
    list(APPEND flags "-DGL_SILENCE_DEPRECATION")
  elseif(folder STREQUAL "decoder")
    list(APPEND flags "-isystem ${build}/rapidjson-include")
  endif()
  foreach(flag IN LISTS flags)
    string(FIND "${command} " " ${flag} " at)
    if(at EQUAL -1)
      fail("${relative} is compiled without ${flag}")
    endif()
  endforeach()
endforeach()
list(REMOVE_DUPLICATES compiled_folders)
list(SORT compiled_folders)
if(NOT compiled_folders STREQUAL "decoder;hwdecode;plugin;render")
  fail("sources of other folders than the product's are compiled: ${compiled_folders}")
endif()

# The RapidJSON headers the decoder compiles with (Debian's are 1.1.0's).
set(rapidjson "${build}/rapidjson-include/rapidjson")
file(READ "${rapidjson}/document.h" document)
string(FIND "${document}" "{ s = rhs.s; length = rhs.length; }" at)
if(NOT at EQUAL -1 OR NOT EXISTS "${rapidjson}/reader.h")
  fail("the RapidJSON headers are not a complete copy without the assignment to const members")
endif()

# What the bundle links.
file(READ "${build}/plugin/CMakeFiles/H264Decoder.dir/link.txt" link)
if(NOT link MATCHES " -bundle ")
  fail("the module does not link as a bundle")
endif()
foreach(library IN ITEMS ${frameworks} objc)
  if(NOT link MATCHES "(-framework (-Xlinker )?|-l)${library}( |$)")
    fail("the bundle does not link ${library}")
  endif()
endforeach()
if(link MATCHES "\\.so|-l(av|sw|EGL|GL|epoxy|png|gtest)|linux-gnu")
  fail("the bundle links a Linux library: ${link}")
endif()

# How the bundle describes itself.
file(READ "${build}/plugin/H264Decoder.bundle/Contents/Info.plist" plist)
foreach(entry IN ITEMS "CFBundlePackageType=BNDL" "CFBundleIdentifier=[a-z]+\\.[^<]+"
                       "CFBundleExecutable=H264Decoder")
  string(REPLACE "=" "</key>[ \t\n]*<string>" pattern "<key>${entry}</string>")
  if(NOT plist MATCHES "${pattern}")
    fail("Info.plist has no ${entry}")
  endif()
endforeach()

if(NOT failures STREQUAL "")
  message(FATAL_ERROR "The macOS configure succeeded, but:\n${failures}")
endif()
message(STATUS "macOS configure: ${command_count} product sources, a bundle of Apple's frameworks")
