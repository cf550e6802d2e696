# Release packages, made by scripts/package with cpack in each build tree:
#   Windows build: zemupgrade-<version>-win32.zip with zemupgrade.exe, README.txt and SHA256SUMS;
#   native build:  zemupgrade_<version>_amd64.deb with zemupgrade and zem-sim in /usr/bin
#                  and the README in /usr/share/doc/zemupgrade.
# The version is the project's, the one the VERSIONINFO of zemupgrade.exe carries.
# Only the programs named here are installed: no test program or file goes into a package.
set(CPACK_PACKAGE_NAME zemupgrade)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "zemupgrade")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Firmware upgrade for ZEM telephone adapters")
set(CPACK_STRIP_FILES ON)

if(WIN32)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(zem_windows_platform win64)
  else()
    set(zem_windows_platform win32)
  endif()
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME zemupgrade-${PROJECT_VERSION}-${zem_windows_platform})

  # The README as a Windows text file.
  file(READ ${CMAKE_SOURCE_DIR}/README.md zem_readme)
  string(REPLACE "\n" "\r\n" zem_readme "${zem_readme}")
  file(WRITE ${CMAKE_BINARY_DIR}/package/README.txt "${zem_readme}")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/README.md)

  install(TARGETS zemupgrade RUNTIME DESTINATION .)
  install(FILES ${CMAKE_BINARY_DIR}/package/README.txt DESTINATION .)
  # Last, over the files as they go into the archive (zemupgrade.exe already stripped).
  install(CODE [[
    set(zem_dir "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
    set(zem_sums "")
    foreach(zem_name zemupgrade.exe README.txt)
      file(SHA256 "${zem_dir}/${zem_name}" zem_hash)
      string(APPEND zem_sums "${zem_hash}  ${zem_name}\n")
    endforeach()
    file(WRITE "${zem_dir}/SHA256SUMS" "${zem_sums}")
  ]])
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # zemupgrade_<version>_<architecture>.deb
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)   # Depends worked out by dpkg-shlibdeps
  set(CPACK_DEBIAN_PACKAGE_SECTION net)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "zemupgrade developers <zemupgrade@localhost>")
  # The first line of the control file's Description is the summary above.
  string(CONCAT CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "zemupgrade upgrades the firmware of one ZEM telephone adapter from a PC on the\n"
    "same IP network: a wizard in the terminal, the image served by its own TFTP\n"
    "server. zem-sim is a simulated adapter to try it against.")
  install(TARGETS zemupgrade zem-sim RUNTIME DESTINATION bin)
  install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION share/doc/zemupgrade)
endif()

include(CPack)
