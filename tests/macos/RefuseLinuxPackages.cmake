# Read by the first project() of the macOS configure check (CMAKE_PROJECT_TOP_LEVEL_INCLUDES).
# Every find_package() of the configure passes through here first: the packages a Mac provides
# for the bundle pass on to CMake's own search, and any other package (GoogleTest, PkgConfig and
# through it FFmpeg and EGL, PNG, ...) stops the configure, however it is asked for.
macro(refuse_linux_packages method package)
  if(NOT "${package}" IN_LIST PLUGIN_MACOS_PACKAGES)
    message(FATAL_ERROR "The macOS configure reached for ${package}, which a Mac does not provide "
                        "for the bundle")
  endif()
endmacro()

set(PLUGIN_MACOS_PACKAGES Threads RapidJSON)
cmake_language(SET_DEPENDENCY_PROVIDER refuse_linux_packages SUPPORTED_METHODS FIND_PACKAGE)
