# What `cmake --install` puts in place and the Debian package built from it: `cpack` in the
# build folder writes the .deb there. Included where the ifdiag target is defined.
include(GNUInstallDirs)
set(res ${CMAKE_SOURCE_DIR}/resources)
install(TARGETS ifdiag RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# Desktop menus find the program by its entry and its icons in the freedesktop places.
install(FILES ${res}/ifdiag.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
# Software centres (GNOME Software, KDE Discover) list it by its AppStream metadata.
install(FILES ${res}/io.github.ifdiag.ifdiag.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(DIRECTORY ${res}/hicolor DESTINATION ${CMAKE_INSTALL_DATADIR}/icons)
install(FILES ${res}/60-ifdiag.rules DESTINATION lib/udev/rules.d)

# Debian wants a maintainer with an address in the package and its changelog. There is no
# such address yet: the name stands alone until a packager sets one here.
set(IFDIAG_MAINTAINER "ifdiag developers" CACHE STRING "Package maintainer: Name <address>")
configure_file(${res}/changelog.in changelog @ONLY)

# man and Debian's tools read these gzipped; -n leaves out the time, so rebuilds are identical.
set(gz)
foreach(file ${res}/ifdiag.1 ${res}/ifbox-sim.1 ${CMAKE_CURRENT_BINARY_DIR}/changelog)
  get_filename_component(name ${file} NAME)
  add_custom_command(OUTPUT ${name}.gz COMMAND gzip -9nc ${file} > ${name}.gz DEPENDS ${file})
  list(APPEND gz ${CMAKE_CURRENT_BINARY_DIR}/${name}.gz)
endforeach()
add_custom_target(ifdiag_docs DEPENDS ${gz})
add_dependencies(ifdiag ifdiag_docs)
list(POP_BACK gz changelog)
install(FILES ${gz} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${changelog} ${res}/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR})
set(CPACK_PACKAGE_CONTACT ${IFDIAG_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "diagnostic tool for the interface box on a serial line
ifdiag tests an interface box that drives four motors and reports eight
digital inputs and two analog values. Its test dialog polls the box every
20 ms on a serial line, switches each motor right, left or off, counts the
changes of each input, shows both analog values, and says at once when the
line or the box fails. Its user interface is German.

ifbox-sim, a simulated box on a pseudo-terminal, lets ifdiag be tried
without the hardware.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
# Stripped by the target's strip (CMAKE_STRIP); dpkg-shlibdeps takes the libraries of the
# binaries' own architecture, so a cross build needs only the package's architecture named.
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
if(CMAKE_CROSSCOMPILING AND CMAKE_SYSTEM_PROCESSOR STREQUAL aarch64)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
endif()
# Qt loads these at run time, out of dpkg-shlibdeps' sight: the platform plugins (Wayland's
# is in neither libqt6gui6 nor qt6-qpa-plugins) and the font the dialog is laid out for.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, qt6-wayland, fonts-dejavu-core")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
include(CPack)
