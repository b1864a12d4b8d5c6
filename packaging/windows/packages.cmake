# The Windows packages, made in a build for Windows
# (-DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake) by
#
#   cmake --build <build> --target package
#
# into <build>:
#
#   zelta-<version>-win64.exe   the installer (NSIS, 64-bit): shows the licence,
#                               installs into Program Files\zelta, adds the
#                               window to the Start menu, registers an
#                               uninstaller in Windows' list of installed apps
#   zelta-<version>-win64.zip   the same files in a folder zelta-<version>-win64,
#                               to unpack and run anywhere
#
# Both hold one flat folder:
#
#   zelta.exe       the command line
#   zelta-gui.exe   the window, when this build has it
#   README.txt      README.md with Windows line ends
#   LICENSE.txt     LICENSE with Windows line ends
#
# Those files come from install rules of a component of their own, left out of
# a plain `cmake --install`, so the other install rules' layout (bin/,
# share/man/) stays out of the packages and this component out of an install.
# The installer's script is NSIS.template.in beside this file.
if(NOT WIN32)
  return()
endif()

set(zelta_windows_component windows_package)
set(zelta_windows_staged ${CMAKE_CURRENT_BINARY_DIR}/windows)
get_filename_component(zelta_source_root ${CMAKE_CURRENT_LIST_DIR}/../.. ABSOLUTE)

# Copies a text file with CRLF line ends, so that every Notepad shows its lines.
function(zelta_copy_with_crlf source destination)
  file(READ ${source} text)
  string(REPLACE "\r\n" "\n" text "${text}")
  string(REPLACE "\n" "\r\n" text "${text}")
  file(WRITE ${destination} "${text}")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
endfunction()

zelta_copy_with_crlf(${zelta_source_root}/README.md ${zelta_windows_staged}/README.txt)
zelta_copy_with_crlf(${zelta_source_root}/LICENSE ${zelta_windows_staged}/LICENSE.txt)

set(zelta_windows_programs zelta)
if(TARGET zelta-gui)
  list(APPEND zelta_windows_programs zelta-gui)
endif()
install(TARGETS ${zelta_windows_programs} RUNTIME DESTINATION .
        COMPONENT ${zelta_windows_component} EXCLUDE_FROM_ALL)
install(FILES ${zelta_windows_staged}/README.txt ${zelta_windows_staged}/LICENSE.txt
        DESTINATION . COMPONENT ${zelta_windows_component} EXCLUDE_FROM_ALL)

# CPack: the installer and the zip instead of the Debian package, both made
# from that component alone.
set(CPACK_GENERATOR NSIS ZIP)
set(CPACK_MONOLITHIC_INSTALL ON)
set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};${PROJECT_NAME};${zelta_windows_component};/")
unset(CPACK_PACKAGING_INSTALL_PREFIX)
set(CPACK_SYSTEM_NAME win64)
set(CPACK_PACKAGE_VENDOR "the zelta authors")
set(CPACK_PACKAGE_INSTALL_DIRECTORY zelta)
set(CPACK_RESOURCE_FILE_LICENSE ${zelta_windows_staged}/LICENSE.txt)
# CPack looks here first for NSIS.template.in.
set(CPACK_MODULE_PATH ${CMAKE_CURRENT_LIST_DIR})
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/cpack_options.cmake)
