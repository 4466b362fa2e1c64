# Installation and packages.
#
#   cmake --install build --prefix DIR    programs into DIR/bin, the installer as DIR/sbin/tav-install,
#                                          man pages, bash completion, copyright and README
#   cmake --build build --target package  build/tav_<version>_<arch>.deb (Linux) or
#                                          build-win32/tav-<version>-win32.zip (MinGW)
#
# On Linux the installer is never installed under its build name "install": that name would
# shadow install(1) of coreutils. On Windows it stays install.exe. The test sweeps
# (tav-powercut and the like) are not installed.
include(GNUInstallDirs)

# The package carries the loader's own version, the one its usage text prints.
file(STRINGS ${CMAKE_SOURCE_DIR}/loader/run_control.cpp tav_version_line REGEX "kVersion\\[\\] = \"")
string(REGEX REPLACE ".*\"(.*)\".*" "\\1" TAV_VERSION "${tav_version_line}")

if(NOT TAV_VERSION MATCHES "^[0-9]+\\.[0-9]+$")
  message(FATAL_ERROR "packaging: no version found in loader/run_control.cpp (${tav_version_line})")
endif()

set(tav_programs tavload tavsim tavverify tavbackup)

set(tav_pkg ${CMAKE_CURRENT_LIST_DIR}/package)

if(WIN32)
  # The zip: what runs with the vendor's toolkit at the top, our stand-ins in model/.
  list(REMOVE_ITEM tav_programs tavsim)
  foreach(target ${tav_programs} tav_install)
    install(PROGRAMS $<TARGET_FILE:${target}> DESTINATION .)
  endforeach()
  foreach(target tavsim tav_toolkit_agent tav_toolkit_config)
    install(PROGRAMS $<TARGET_FILE:${target}> DESTINATION model)
  endforeach()
  # The installed copies lose their debug information (the build tree keeps it).
  if(CMAKE_STRIP)
    foreach(target ${tav_programs} tav_install tavsim tav_toolkit_agent tav_toolkit_config)
      set(folder .)
      if(target MATCHES "^(tavsim|tav_toolkit_agent|tav_toolkit_config)$")
        set(folder model)
      endif()
      install(CODE "execute_process(COMMAND \"${CMAKE_STRIP}\" --strip-debug
        \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${folder}/$<TARGET_FILE_NAME:${target}>\")")
    endforeach()
  endif()
  install(FILES ${tav_pkg}/model-README.txt DESTINATION model RENAME README.txt)
  install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(CPACK_SYSTEM_NAME win64)
  else()
    set(CPACK_SYSTEM_NAME win32)
  endif()
else()
  install(TARGETS ${tav_programs} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(TARGETS tav_install RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})   # tav-install

  # Man pages, compressed as Debian wants them.
  set(tav_man_pages tavload.1 tavsim.1 tav-install.8 tavverify.1 tavbackup.1)
  set(tav_man_outputs)
  foreach(page ${tav_man_pages})
    string(REGEX REPLACE ".*\\." "" section ${page})
    set(out ${CMAKE_BINARY_DIR}/man/${page}.gz)
    add_custom_command(OUTPUT ${out}
      COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_SOURCE_DIR}/man/${page} ${CMAKE_BINARY_DIR}/man/${page}
      COMMAND gzip -9nf ${CMAKE_BINARY_DIR}/man/${page}
      DEPENDS ${CMAKE_SOURCE_DIR}/man/${page} VERBATIM)
    list(APPEND tav_man_outputs ${out})
    install(FILES ${out} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
  endforeach()
  set(changelog ${CMAKE_BINARY_DIR}/package/changelog.gz)
  add_custom_command(OUTPUT ${changelog}
    COMMAND ${CMAKE_COMMAND} -E copy ${tav_pkg}/changelog ${CMAKE_BINARY_DIR}/package/changelog
    COMMAND gzip -9nf ${CMAKE_BINARY_DIR}/package/changelog
    DEPENDS ${tav_pkg}/changelog VERBATIM)
  add_custom_target(tav_man_pages ALL DEPENDS ${tav_man_outputs} ${changelog})

  install(FILES ${CMAKE_SOURCE_DIR}/completion/tavload ${CMAKE_SOURCE_DIR}/completion/tavsim
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/bash-completion/completions)
  install(FILES ${tav_pkg}/copyright ${CMAKE_SOURCE_DIR}/README.md ${changelog}
          DESTINATION ${CMAKE_INSTALL_DOCDIR})

  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_STRIP_FILES ON)
endif()

set(CPACK_PACKAGE_NAME tav)
set(CPACK_PACKAGE_VERSION ${TAV_VERSION})
set(CPACK_PACKAGE_VENDOR "TAV board tools")
set(CPACK_PACKAGE_CONTACT "TAV board tools <tav@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "loader and installer for the TAV ISA flash update board")
set(CPACK_PACKAGE_DESCRIPTION "Programs that load a game's program and sound images into the flash memory
of the TAV update board (an ISA card), report and check what the board holds,
and register the board with the driver toolkit's device database. A software
model of the board (tavsim) lets everything run without the card.")
if(WIN32)
  set(CPACK_PACKAGE_FILE_NAME tav-${TAV_VERSION}-${CPACK_SYSTEM_NAME})
endif()
set(CPACK_OUTPUT_FILE_PREFIX ${CMAKE_BINARY_DIR})
include(CPack)
