# Third-party libraries, found through CMake packages, and on Linux through pkg-config. On macOS
# only Apple's frameworks and RapidJSON are looked for.
find_package(Threads REQUIRED)
find_package(RapidJSON REQUIRED)

# RapidJSON is header-only; older packages export only variables, so wrap them in a target.
if(NOT TARGET rapidjson)
  add_library(rapidjson INTERFACE)
  if(APPLE)
    include(RapidJSONHeaders)
    # Depending on their revision, RapidJSON's config files set RAPIDJSON_INCLUDE_DIRS or
    # RapidJSON_INCLUDE_DIRS; either may be what the Mac has.
    plugin_rapidjson_headers(rapidjson_include_dir
                             "${RAPIDJSON_INCLUDE_DIRS};${RapidJSON_INCLUDE_DIRS}")
    target_include_directories(rapidjson SYSTEM INTERFACE "${rapidjson_include_dir}")
  else()
    target_include_directories(rapidjson SYSTEM INTERFACE ${RAPIDJSON_INCLUDE_DIRS})
  endif()
endif()

if(APPLE)
  find_library(VIDEOTOOLBOX VideoToolbox REQUIRED)
  find_library(COREMEDIA CoreMedia REQUIRED)
  find_library(COREVIDEO CoreVideo REQUIRED)
  find_library(COREFOUNDATION CoreFoundation REQUIRED)
  find_library(OPENGL_FRAMEWORK OpenGL REQUIRED)
  add_library(platform_media INTERFACE)
  target_link_libraries(platform_media INTERFACE ${VIDEOTOOLBOX} ${COREMEDIA} ${COREVIDEO}
                                                 ${COREFOUNDATION})
  add_library(platform_gl INTERFACE)
  target_link_libraries(platform_gl INTERFACE ${OPENGL_FRAMEWORK})
  # The OpenGL framework marks every call deprecated since macOS 10.14; it still works, and
  # the warnings would be errors here.
  target_compile_definitions(platform_gl INTERFACE GL_SILENCE_DEPRECATION)
  add_library(platform_objc INTERFACE)
  target_link_libraries(platform_objc INTERFACE objc)
else()
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(FFMPEG REQUIRED IMPORTED_TARGET libavcodec libavutil libswscale)
  pkg_check_modules(LIBAVFORMAT REQUIRED IMPORTED_TARGET libavformat)
  pkg_check_modules(EPOXY REQUIRED IMPORTED_TARGET epoxy)
  pkg_check_modules(EGL REQUIRED IMPORTED_TARGET egl)
  add_library(platform_gl INTERFACE)
  target_link_libraries(platform_gl INTERFACE PkgConfig::EPOXY)

  # GNU libobjc ships inside GCC's private include directory, which clang does not search and whose
  # other headers must not shadow clang's own; expose just its objc/ folder through a link.
  execute_process(COMMAND gcc -print-file-name=include OUTPUT_VARIABLE gcc_include_dir
                  OUTPUT_STRIP_TRAILING_WHITESPACE)
  execute_process(COMMAND gcc -print-file-name=libobjc.so OUTPUT_VARIABLE gcc_libobjc
                  OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT EXISTS "${gcc_include_dir}/objc/runtime.h" OR NOT EXISTS "${gcc_libobjc}")
    message(FATAL_ERROR "GNU libobjc not found (Debian package libobjc-12-dev)")
  endif()
  set(objc_include_dir "${CMAKE_BINARY_DIR}/gnu-objc-include")
  file(MAKE_DIRECTORY "${objc_include_dir}")
  file(CREATE_LINK "${gcc_include_dir}/objc" "${objc_include_dir}/objc" SYMBOLIC)
  add_library(platform_objc INTERFACE)
  target_include_directories(platform_objc SYSTEM INTERFACE "${objc_include_dir}")
  target_link_libraries(platform_objc INTERFACE "${gcc_libobjc}")

  find_package(GTest REQUIRED)
  find_package(benchmark QUIET)
endif()
