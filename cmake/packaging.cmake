# Installs the README and the Debian files next to the programs, and builds a Debian package with
# cpack. Included at the end of the top-level CMakeLists.txt.

# The package holds one install component, LUMEDRA_COMPONENT: the programs (app/, cli/, stationapp/), the
# manual pages (docs/) and the files below. The developer folders (testing, tools, bench, tests)
# install into a component of their own, so nothing of theirs can reach the package.
set(LUMEDRA_DOCDIR ${CMAKE_INSTALL_DATADIR}/doc/lumedra)
install(FILES README.md DESTINATION ${LUMEDRA_DOCDIR} COMPONENT ${LUMEDRA_COMPONENT})
# The README shows the window's pictures by relative path.
install(FILES docs/window-idle.png docs/window-downloading.png docs/station-idle.png
              docs/station-busy.png docs/station-report.png
        DESTINATION ${LUMEDRA_DOCDIR}/docs COMPONENT ${LUMEDRA_COMPONENT})
install(FILES packaging/copyright DESTINATION ${LUMEDRA_DOCDIR} COMPONENT ${LUMEDRA_COMPONENT})

# A native package's changelog is changelog.gz; -n keeps the gzip header free of name and time.
set(LUMEDRA_CHANGELOG ${CMAKE_BINARY_DIR}/changelog.gz)
add_custom_command(OUTPUT ${LUMEDRA_CHANGELOG}
    COMMAND sh -c "gzip -9n < \"$0\" > \"$1\"" ${CMAKE_SOURCE_DIR}/packaging/changelog
            ${LUMEDRA_CHANGELOG}
    DEPENDS packaging/changelog
    VERBATIM)
add_custom_target(changelog ALL DEPENDS ${LUMEDRA_CHANGELOG})
install(FILES ${LUMEDRA_CHANGELOG} DESTINATION ${LUMEDRA_DOCDIR} COMPONENT ${LUMEDRA_COMPONENT})

install(FILES packaging/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
        RENAME lumedra COMPONENT ${LUMEDRA_COMPONENT})

install(FILES packaging/lumedra-cli.bash-completion
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME lumedra-cli
        COMPONENT ${LUMEDRA_COMPONENT})

# cpack's own strip (CPACK_STRIP_FILES) leaves the .comment and .note sections in; strip the
# programs the way Debian's tools do. These rules run after app/'s and cli/'s (CMP0082).
install(CODE "
if(CMAKE_INSTALL_DO_STRIP)
    foreach(program [[$<TARGET_FILE_NAME:lumedra>]] [[$<TARGET_FILE_NAME:lumedra-cli>]]
                    [[$<TARGET_FILE_NAME:lumedra-station>]])
        set(file \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/\${program}\")
        execute_process(COMMAND [[${CMAKE_STRIP}]] --remove-section=.comment
                                --remove-section=.note --strip-unneeded \${file}
                        RESULT_VARIABLE status)
        if(NOT status EQUAL 0)
            message(FATAL_ERROR \"could not strip \${file}\")
        endif()
    endforeach()
endif()" COMPONENT ${LUMEDRA_COMPONENT})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME lumedra)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Lumedra developers <lumedra@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "writes a program image into a device's loader over a serial port")
set(CPACK_PACKAGE_DESCRIPTION
"Lumedra is a Qt desktop tool that downloads a raw program image into a
target device's loader over a serial port: it wakes the loader, announces
the image and streams it in acknowledged blocks, showing the progress.
Its command-line companion lumedra-cli writes one image into many boards
at once and can run as a production station, and the station window
lumedra-station runs a fixture from a job file, a tile per slot.")
set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};${PROJECT_NAME};${LUMEDRA_COMPONENT};/")
# Whatever the build type, debug information stays out of the package.
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE https://github.com/lumedra/lumedra)
# dpkg-shlibdeps adds the libraries the programs link to.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Without a CJK font every label of the window is drawn as boxes. The window reaches Qt Gui,
# and with it the platform plugins (xcb, offscreen), only through Qt Widgets: named here so that
# it is there whatever the linker keeps.
# The record store's drivers are plugins that nothing links: SQLite is every station's default
# store, PostgreSQL the one a line of stations shares. libelf reads ELF images.
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "fonts-wqy-microhei | fonts-noto-cjk, libqt5gui5, libqt5sql5-sqlite, libelf1")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libqt5sql5-psql")

include(CPack)
