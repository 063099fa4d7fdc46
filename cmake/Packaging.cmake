# The Debian packages. `cmake --build <dir> --target package` writes two:
# <dir>/corvella-cli_<version>_<arch>.deb, the program without a window
# (corvella-cli), its manual page and the systemd unit, with no Qt at all, for
# servers; and <dir>/corvella_<version>_<arch>.deb, the desktop program with
# its desktop entry, icons and AppStream metainfo, which depends on the first.
# Each has its Debian documents.
# The packaging lives in this tree, so the package is a native one: no Debian
# revision, and the changelog is changelog.gz. Install rules use paths
# relative to the prefix, which the package sets to /usr; the unit goes where
# Debian keeps package units.

include(GNUInstallDirs)

set(CORVELLA_APP_ID org.corvella.Corvella)
# The day PROJECT_VERSION was released: metainfo, manual page, changelog.
set(CORVELLA_RELEASE_DATE 2026-12-08)
set(CORVELLA_PACKAGE_MAINTAINER "Corvella developers <corvella@example.org>"
    CACHE STRING "Maintainer field of the Debian package: name <address>")
set(CORVELLA_SYSTEMD_UNIT_DIR /lib/systemd/system
    CACHE PATH "Where the package installs corvella.service")

execute_process(COMMAND dpkg --print-architecture
    OUTPUT_VARIABLE CORVELLA_PACKAGE_ARCHITECTURE
    OUTPUT_STRIP_TRAILING_WHITESPACE
    RESULT_VARIABLE dpkg_result)
if(NOT dpkg_result EQUAL 0)
    message(STATUS "dpkg is missing: no Debian package target")
    return()
endif()
# Where `package` leaves the two .deb files; the package test reads them.
set(CORVELLA_PACKAGE_FILE ${PROJECT_BINARY_DIR}/corvella_${PROJECT_VERSION}_${CORVELLA_PACKAGE_ARCHITECTURE}.deb)
set(CORVELLA_CLI_PACKAGE_FILE
    ${PROJECT_BINARY_DIR}/corvella-cli_${PROJECT_VERSION}_${CORVELLA_PACKAGE_ARCHITECTURE}.deb)

set(packaging ${PROJECT_SOURCE_DIR}/packaging)
set(generated ${PROJECT_BINARY_DIR}/packaging)

# Debian's changelog wants the RFC 2822 form of the release date.
execute_process(
    COMMAND ${CMAKE_COMMAND} -E env LC_ALL=C date -u -R -d "${CORVELLA_RELEASE_DATE} 12:00:00 UTC"
    OUTPUT_VARIABLE CORVELLA_RELEASE_DATE_RFC2822
    OUTPUT_STRIP_TRAILING_WHITESPACE
    RESULT_VARIABLE date_result)
if(NOT date_result EQUAL 0)
    message(FATAL_ERROR "Cannot turn CORVELLA_RELEASE_DATE '${CORVELLA_RELEASE_DATE}' into a changelog date")
endif()

configure_file(${packaging}/org.corvella.Corvella.metainfo.xml.in
    ${generated}/${CORVELLA_APP_ID}.metainfo.xml @ONLY)
configure_file(${packaging}/corvella.1.in ${generated}/corvella-cli.1 @ONLY)
# The desktop program's page is the same page.
file(WRITE ${generated}/corvella.1 ".so man1/corvella-cli.1\n")
configure_file(${packaging}/debian/changelog.in ${generated}/changelog @ONLY)

# gzip -n leaves out the name and the time stamp, so the same sources give the
# same package; -9 is what Debian expects of manual pages and changelogs.
set(compressed)
foreach(document corvella-cli.1 corvella.1 changelog)
    add_custom_command(
        OUTPUT ${generated}/${document}.gz
        COMMAND sh -c "gzip -9 -n -c \"$1\" > \"$2\"" sh ${generated}/${document} ${generated}/${document}.gz
        DEPENDS ${generated}/${document}
        VERBATIM)
    list(APPEND compressed ${generated}/${document}.gz)
endforeach()
add_custom_target(corvella_package_documents ALL DEPENDS ${compressed})

install(FILES ${generated}/corvella-cli.1.gz
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT cli)
install(FILES ${packaging}/corvella.service
    DESTINATION ${CORVELLA_SYSTEMD_UNIT_DIR} COMPONENT cli)
# The weekly restore test: installed, not enabled.
install(FILES ${packaging}/corvella-restore-test.service ${packaging}/corvella-restore-test.timer
    DESTINATION ${CORVELLA_SYSTEMD_UNIT_DIR} COMPONENT cli)
install(FILES ${packaging}/debian/copyright ${generated}/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/corvella-cli COMPONENT cli)
# Example Prometheus alert rules for the metrics file (METRICS_FILE).
install(FILES ${packaging}/prometheus/corvella-alerts.yml
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/corvella-cli/examples COMPONENT cli)

install(FILES ${packaging}/${CORVELLA_APP_ID}.desktop
    DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT desktop)
install(FILES ${generated}/${CORVELLA_APP_ID}.metainfo.xml
    DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo COMPONENT desktop)
install(FILES ${generated}/corvella.1.gz
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT desktop)
install(FILES ${packaging}/debian/copyright ${generated}/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/corvella COMPONENT desktop)

# 32 and 256 are the window's own icons; the other sizes are scaled down from
# the 256 one: convert corvella-256.png -filter Lanczos -resize NxN -strip PNG32:corvella-N.png
set(icons ${CMAKE_INSTALL_DATADIR}/icons/hicolor)
foreach(size 16 32 48 64 128 256)
    if(size EQUAL 32 OR size EQUAL 256)
        set(icon ${PROJECT_SOURCE_DIR}/src/ui/resources/corvella-${size}.png)
    else()
        set(icon ${packaging}/icons/corvella-${size}.png)
    endif()
    install(FILES ${icon} DESTINATION ${icons}/${size}x${size}/apps RENAME ${CORVELLA_APP_ID}.png
        COMPONENT desktop)
endforeach()
install(FILES ${PROJECT_SOURCE_DIR}/src/ui/resources/corvella.svg
    DESTINATION ${icons}/scalable/apps RENAME ${CORVELLA_APP_ID}.svg COMPONENT desktop)

set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL cli desktop)
set(CPACK_PACKAGE_NAME corvella)
set(CPACK_PACKAGE_VENDOR "Corvella developers")
set(CPACK_PACKAGE_CONTACT "${CORVELLA_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${CORVELLA_PACKAGE_ARCHITECTURE})
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The libraries each program links come from dpkg-shlibdeps.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# corvella-cli: beyond its libraries it needs the SQL Server driver, the
# odbcinst tool the postinst registers it with, and adduser for the service
# account. It owns the service, so the maintainer scripts are its.
set(CPACK_DEBIAN_CLI_PACKAGE_NAME corvella-cli)
get_filename_component(CPACK_DEBIAN_CLI_FILE_NAME ${CORVELLA_CLI_PACKAGE_FILE} NAME)
set(CPACK_DEBIAN_CLI_PACKAGE_DEPENDS "tdsodbc, unixodbc, odbcinst, adduser")
set(CPACK_COMPONENT_CLI_DESCRIPTION [=[backup manager for SQL Server databases, without a desktop
Corvella takes full backups of SQL Server databases, on demand or at a fixed
interval per database. It zips each backup on every processor core, mails
it over SMTP, SMTPS or STARTTLS, keeps a rotation of backups on disk and
records every run in a log.

This package holds corvella-cli, the program for servers and scripts
(corvella-cli --backup-now), and the systemd service; it needs no desktop
and no Qt. SQL Server is reached through unixODBC and the FreeTDS driver.]=])
set(CPACK_DEBIAN_CLI_PACKAGE_CONTROL_EXTRA
    ${packaging}/debian/postinst ${packaging}/debian/prerm ${packaging}/debian/postrm)
# Up to 1.0.0 one package, corvella, held everything: corvella-cli takes the
# service unit over from it, so that the two install over that package. No
# Breaks: the desktop package of the same version is the new one.
set(CPACK_DEBIAN_CLI_PACKAGE_REPLACES "corvella (<= 1.0.0)")

# corvella: the desktop window over the same program.
set(CPACK_DEBIAN_DESKTOP_PACKAGE_NAME corvella)
get_filename_component(CPACK_DEBIAN_DESKTOP_FILE_NAME ${CORVELLA_PACKAGE_FILE} NAME)
set(CPACK_DEBIAN_DESKTOP_PACKAGE_DEPENDS "corvella-cli (= ${PROJECT_VERSION})")
set(CPACK_COMPONENT_DESKTOP_DESCRIPTION [=[backup manager for SQL Server databases
Corvella takes full backups of SQL Server databases, on demand or at a fixed
interval per database. It zips each backup on every processor core, mails
it over SMTP, SMTPS or STARTTLS, keeps a rotation of backups on disk and
records every run in a status grid and a log.

This package holds the desktop window, which runs hidden in the
notification area; the program without a window and the systemd service
are in corvella-cli.]=])
include(CPack)
