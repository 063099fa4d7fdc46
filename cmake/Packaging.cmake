# The Debian package. `cmake --build <dir> --target package` writes
# <dir>/corvella_<version>_<arch>.deb with the program, its desktop entry,
# icons, AppStream metainfo, manual page, systemd unit and Debian documents.
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
# Where `package` leaves the .deb; the package test reads it.
set(CORVELLA_PACKAGE_FILE ${PROJECT_BINARY_DIR}/corvella_${PROJECT_VERSION}_${CORVELLA_PACKAGE_ARCHITECTURE}.deb)

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
configure_file(${packaging}/corvella.1.in ${generated}/corvella.1 @ONLY)
configure_file(${packaging}/debian/changelog.in ${generated}/changelog @ONLY)

# gzip -n leaves out the name and the time stamp, so the same sources give the
# same package; -9 is what Debian expects of manual pages and changelogs.
set(compressed)
foreach(document corvella.1 changelog)
    add_custom_command(
        OUTPUT ${generated}/${document}.gz
        COMMAND sh -c "gzip -9 -n -c \"$1\" > \"$2\"" sh ${generated}/${document} ${generated}/${document}.gz
        DEPENDS ${generated}/${document}
        VERBATIM)
    list(APPEND compressed ${generated}/${document}.gz)
endforeach()
add_custom_target(corvella_package_documents ALL DEPENDS ${compressed})

install(FILES ${packaging}/${CORVELLA_APP_ID}.desktop
    DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${generated}/${CORVELLA_APP_ID}.metainfo.xml
    DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(FILES ${generated}/corvella.1.gz
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${packaging}/corvella.service
    DESTINATION ${CORVELLA_SYSTEMD_UNIT_DIR})
install(FILES ${packaging}/debian/copyright ${generated}/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/corvella)
# Example Prometheus alert rules for the metrics file (METRICS_FILE).
install(FILES ${packaging}/prometheus/corvella-alerts.yml
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/corvella/examples)

# 32 and 256 are the window's own icons; the other sizes are scaled down from
# the 256 one: convert corvella-256.png -filter Lanczos -resize NxN -strip PNG32:corvella-N.png
set(icons ${CMAKE_INSTALL_DATADIR}/icons/hicolor)
foreach(size 16 32 48 64 128 256)
    if(size EQUAL 32 OR size EQUAL 256)
        set(icon ${PROJECT_SOURCE_DIR}/src/ui/resources/corvella-${size}.png)
    else()
        set(icon ${packaging}/icons/corvella-${size}.png)
    endif()
    install(FILES ${icon} DESTINATION ${icons}/${size}x${size}/apps RENAME ${CORVELLA_APP_ID}.png)
endforeach()
install(FILES ${PROJECT_SOURCE_DIR}/src/ui/resources/corvella.svg
    DESTINATION ${icons}/scalable/apps RENAME ${CORVELLA_APP_ID}.svg)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME corvella)
set(CPACK_PACKAGE_VENDOR "Corvella developers")
set(CPACK_PACKAGE_CONTACT "${CORVELLA_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "backup manager for SQL Server databases")
# The summary is the synopsis; this is the extended description.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION [=[Corvella takes full backups of SQL Server databases, on demand or at a fixed
interval per database. It zips each backup on every processor core, mails
it over SMTP, SMTPS or STARTTLS, keeps a rotation of backups on disk and
records every run in a status grid and a log.

It has a desktop window, a headless mode for scripts (corvella --backup-now)
and a systemd service for servers without a desktop. SQL Server is reached
through unixODBC and the FreeTDS driver.]=])
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${CORVELLA_PACKAGE_ARCHITECTURE})
get_filename_component(CPACK_DEBIAN_FILE_NAME ${CORVELLA_PACKAGE_FILE} NAME)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The libraries the program links come from dpkg-shlibdeps; these are what it
# needs beyond them: the SQL Server driver, the odbcinst tool the postinst
# registers it with, and adduser for the service account.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "tdsodbc, unixodbc, odbcinst, adduser")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${packaging}/debian/postinst ${packaging}/debian/prerm ${packaging}/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
