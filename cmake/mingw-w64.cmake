# Cross-compiling for 64-bit Windows with Debian's MinGW-w64 (posix threads, as the Qt for
# Windows in use was built with). The Qt prefix comes in as CMAKE_PREFIX_PATH; Qt's host tools
# (moc, rcc, uic) are the build machine's own: QT_HOST_PATH.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(ZEL_MINGW x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${ZEL_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZEL_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${ZEL_MINGW}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${ZEL_MINGW} ${CMAKE_PREFIX_PATH})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

if(NOT DEFINED QT_HOST_PATH)
  set(QT_HOST_PATH /usr CACHE PATH "Qt for the build machine (moc, rcc, uic)")
endif()
if(NOT DEFINED QT_HOST_PATH_CMAKE_DIR)
  set(QT_HOST_PATH_CMAKE_DIR /usr/lib/x86_64-linux-gnu/cmake CACHE PATH "")
endif()

# GCC 12 warns of an overlapping copy inside std::string's operator+ at -O2 (GCC bug 105651),
# which is not there.
set(CMAKE_CXX_FLAGS_INIT "-Wno-restrict")
