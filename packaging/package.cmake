# The Debian package, made by CPack from the dev build's install rules (make package): no build
# of its own. Its run-time dependencies are what dpkg-shlibdeps finds the programs link.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vxrdeck)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "vxrdeck developers")
set(CPACK_PACKAGE_CONTACT "vxrdeck developers <vxrdeck@vxrdeck.invalid>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "software broadcast tape deck under 9-pin serial control")
# The long description; CPack indents its lines and writes its empty line as " .".
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
"vxrdeck plays one media file, an AVI movie or a TML timeline project, as if it
were a tape in a VTR. An edit controller drives it over a serial line with the
9-pin serial VTR control protocol, and a person drives it from a skinned front
panel. A software video board stands in for the playback hardware; its output
can leave the machine as MPEG-TS program streams.

The package holds the deck (vxrdeck, also headless as a systemd service, one
instance per serial port), a command-line edit controller (vxrctl), a test
tape writer (maketape) and a skin viewer (skinview).")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The default skin labels in DejaVu Sans Mono; systemd runs the headless decks; socat stands in
# for a serial cable when trying the deck with vxrctl.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-dejavu-core, systemd")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "socat")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_CURRENT_SOURCE_DIR}/packaging/postinst ${CMAKE_CURRENT_SOURCE_DIR}/packaging/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_OUTPUT_FILE_PREFIX ${CMAKE_BINARY_DIR}/package)
include(CPack)
