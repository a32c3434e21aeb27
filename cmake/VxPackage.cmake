# What `cmake --install` places and what CPack packs: the three programs, the man pages of the
# two command-line programs (written from their --help at build time) and the command line's
# bash completion (installed beside its generation in app/cli); `package` makes a Debian
# package whose dependencies dpkg-shlibdeps reads from the programs.
include(GNUInstallDirs)

install(TARGETS vxupgrade vxupgrade-cli vx500-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

find_program(VX_HELP2MAN help2man)
if(NOT VX_HELP2MAN)
  message(FATAL_ERROR "help2man writes the man pages; scripts/setup.sh installs it")
endif()

# vx_man_page(target "what it is")
function(vx_man_page target description)
  set(page ${PROJECT_BINARY_DIR}/man/${target}.1.gz)
  add_custom_command(OUTPUT ${page}
    COMMAND ${CMAKE_COMMAND} -DHELP2MAN=${VX_HELP2MAN} -DPROGRAM=$<TARGET_FILE:${target}>
            -DVERSION=${PROJECT_VERSION} "-DDESCRIPTION=${description}" -DOUTPUT=${page}
            -P ${PROJECT_SOURCE_DIR}/cmake/WriteManPage.cmake
    DEPENDS ${target} ${PROJECT_SOURCE_DIR}/cmake/WriteManPage.cmake
    VERBATIM)
  add_custom_target(${target}-man ALL DEPENDS ${page})
  install(FILES ${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endfunction()

file(MAKE_DIRECTORY ${PROJECT_BINARY_DIR}/man)
vx_man_page(vxupgrade-cli "install a VX500 release onto one instrument from the command line")
vx_man_page(vx500-sim "a simulated VX500 instrument: its command port and FTP server over a folder")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vxupgrade)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "VX500 upgrade tool: window, command line and simulator")
set(CPACK_PACKAGE_CONTACT "VX500 upgrade tool developers <vxupgrade@localhost>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# What the window loads rather than links: Qt's platform plugins, and the font it is laid out in.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-liberation")
include(CPack)
