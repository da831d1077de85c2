# Installs the README next to the programs, and builds a Debian package with cpack. Included at
# the end of the top-level CMakeLists.txt.

# The package holds one install component, LUMEDRA_COMPONENT: the programs (app/, cli/) and the
# files below. The developer folders (testing, tools, bench, tests) install into a component of
# their own, so nothing of theirs can reach the package.
install(FILES README.md DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/lumedra COMPONENT ${LUMEDRA_COMPONENT})
# The README shows the window's pictures by relative path.
install(FILES docs/window-idle.png docs/window-downloading.png
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/lumedra/docs COMPONENT ${LUMEDRA_COMPONENT})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME lumedra)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Lumedra developers <lumedra@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "writes a program image into a device's loader over a serial port")
set(CPACK_PACKAGE_DESCRIPTION
"Lumedra is a Qt desktop tool that downloads a raw program image into a
target device's loader over a serial port: it wakes the loader, announces
the image and streams it in acknowledged blocks, showing the progress.")
set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};${PROJECT_NAME};${LUMEDRA_COMPONENT};/")
# The build type is RelWithDebInfo; the debug information stays out of the package.
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Without a CJK font every label of the window is drawn as boxes.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS fonts-wqy-microhei)

include(CPack)
