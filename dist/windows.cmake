# The Windows distribution: the programs beside the Qt DLLs, the plugins and MinGW's runtime,
# the panel file, the logo, the README and the licence texts; packed as a zip (unzip anywhere)
# and as an installer (NSIS, 64-bit, Start-menu entry, uninstaller, silent with /S /D=DIR).

# The Qt prefix the build found (QT6_INSTALL_PREFIX is set by Qt's package files).
set(ZEL_QT_PREFIX ${QT6_INSTALL_PREFIX})
if(NOT ZEL_QT_PREFIX)
  get_filename_component(ZEL_QT_PREFIX ${Qt6_DIR}/../../.. ABSOLUTE)
endif()

# The platform plugin Qt needs to open a window at all, and the native style.
install(FILES ${ZEL_QT_PREFIX}/plugins/platforms/qwindows.dll DESTINATION platforms)
install(FILES ${ZEL_QT_PREFIX}/plugins/styles/qwindowsvistastyle.dll DESTINATION styles)

# The DLLs the programs and plugins import, found by reading their import tables (objdump):
# Qt's and MinGW's runtime; Windows' own are left to Windows.
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libstdc++-6.dll
                OUTPUT_VARIABLE ZEL_MINGW_STDCXX OUTPUT_STRIP_TRAILING_WHITESPACE)
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libwinpthread-1.dll
                OUTPUT_VARIABLE ZEL_MINGW_PTHREAD OUTPUT_STRIP_TRAILING_WHITESPACE)
get_filename_component(ZEL_MINGW_GCC_DIR ${ZEL_MINGW_STDCXX} DIRECTORY)
get_filename_component(ZEL_MINGW_LIB_DIR ${ZEL_MINGW_PTHREAD} DIRECTORY)
find_program(ZEL_OBJDUMP NAMES ${CMAKE_CXX_COMPILER_TARGET}-objdump x86_64-w64-mingw32-objdump
             REQUIRED)
find_program(ZEL_STRIP NAMES x86_64-w64-mingw32-strip REQUIRED)
set(ZEL_DLL_DIRS ${ZEL_QT_PREFIX}/bin ${ZEL_MINGW_GCC_DIR} ${ZEL_MINGW_LIB_DIR})
configure_file(windows/runtime-dlls.cmake.in ${CMAKE_CURRENT_BINARY_DIR}/runtime-dlls.cmake.gen @ONLY)
file(GENERATE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/runtime-dlls.cmake
     INPUT ${CMAKE_CURRENT_BINARY_DIR}/runtime-dlls.cmake.gen)
install(SCRIPT ${CMAKE_CURRENT_BINARY_DIR}/runtime-dlls.cmake)

# Which licence covers which part, and the texts themselves.
install(FILES ${CMAKE_SOURCE_DIR}/README.md windows/NOTICE.txt DESTINATION .)
install(FILES /usr/share/common-licenses/LGPL-3 DESTINATION licences RENAME LGPL-3.0.txt)
install(FILES /usr/share/common-licenses/GPL-3 DESTINATION licences RENAME GPL-3.0.txt)
install(FILES /usr/share/doc/gcc-mingw-w64-base/copyright DESTINATION licences
        RENAME MinGW-w64-GCC-runtime.txt)
install(FILES /usr/share/doc/mingw-w64-common/copyright DESTINATION licences
        RENAME MinGW-w64-runtime.txt)

set(CPACK_GENERATOR ZIP NSIS)
set(CPACK_PACKAGE_NAME zel-vavod)
set(CPACK_PACKAGE_VENDOR "ZEL")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Service and configuration tool for the ZEL-A-2X sensor")
set(CPACK_PACKAGE_INSTALL_DIRECTORY "ZEL-A-2X-Vavod")
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_CURRENT_SOURCE_DIR}/windows/NOTICE.txt)
set(CPACK_STRIP_FILES ON)
# zel-vavod-<version>-win64.zip and zel-vavod-<version>-win64-setup.exe
set(CPACK_PACKAGE_FILE_NAME zel-vavod-${PROJECT_VERSION}-win64)
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_SOURCE_DIR}/windows/cpack-options.cmake)

# Debian's NSIS makes 32-bit installers unless told; a 64-bit program belongs in a 64-bit one
# (which a 64-bit-only system can start too).
set(CPACK_NSIS_DEFINES "Target amd64-unicode")
set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES64")
set(CPACK_NSIS_PACKAGE_NAME "ZEL-A-2X-Vavod ${PROJECT_VERSION}")
set(CPACK_NSIS_DISPLAY_NAME "ZEL-A-2X-Vavod ${PROJECT_VERSION}")
set(CPACK_NSIS_EXECUTABLES_DIRECTORY .)
set(CPACK_PACKAGE_EXECUTABLES zel-vavod "ZEL-A-2X-Vavod")
set(CPACK_NSIS_INSTALLED_ICON_NAME zel-vavod.exe)
set(CPACK_NSIS_ENABLE_UNINSTALL_BEFORE_INSTALL ON)
set(CPACK_NSIS_MODIFY_PATH OFF)
include(CPack)
