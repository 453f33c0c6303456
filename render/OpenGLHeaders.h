// OpenGL declarations: the OpenGL framework on macOS; elsewhere libepoxy, which resolves each
// function for whichever context (GLX or EGL, Core or ES) is current when it is called.
#pragma once

#if defined(__APPLE__)
#include <OpenGL/gl3.h>
#else
#include <epoxy/gl.h>
#endif

#ifndef GL_BGRA_EXT
#define GL_BGRA_EXT 0x80E1
#endif
