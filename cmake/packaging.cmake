# What an install adds beside the programs, the launcher and the icons: a manual page
# for each program, the AppStream metainfo, and the copyright and changelog files;
# and the Debian package CPack builds from the whole install (make deb; the package
# check is tests/package/check_deb.sh). The source files are under packaging/.

include(GNUInstallDirs)

set(TARNWICK_APP_ID io.github.tarnwick.Tarnwick)
set(TARNWICK_PACKAGE_CONTACT "The Tarnwick developers <tarnwick@example.org>"
    CACHE STRING "Maintainer of the Debian package, as: Name <address>")

set(_tarnwick_packaging ${PROJECT_SOURCE_DIR}/packaging)
set(_tarnwick_packaging_out ${PROJECT_BINARY_DIR}/packaging)

# One date for the changelog entry, the AppStream release and the manual pages:
# SOURCE_DATE_EPOCH when set, else the last commit's, so that they date the source
# rather than the build; the current time only outside a git checkout.
set(_tarnwick_epoch "$ENV{SOURCE_DATE_EPOCH}")
if(_tarnwick_epoch STREQUAL "")
    find_program(TARNWICK_GIT git)
    if(TARNWICK_GIT)
        execute_process(COMMAND ${TARNWICK_GIT} log -1 --format=%ct
            WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
            OUTPUT_VARIABLE _tarnwick_epoch OUTPUT_STRIP_TRAILING_WHITESPACE
            RESULT_VARIABLE _tarnwick_git_result ERROR_QUIET)
        if(NOT _tarnwick_git_result EQUAL 0 OR NOT _tarnwick_epoch MATCHES "^[0-9]+$")
            set(_tarnwick_epoch "")
        endif()
    endif()
endif()
set(_tarnwick_saved_epoch "$ENV{SOURCE_DATE_EPOCH}")
if(NOT _tarnwick_epoch STREQUAL "")
    set(ENV{SOURCE_DATE_EPOCH} ${_tarnwick_epoch}) # string(TIMESTAMP) reads it
endif()
string(TIMESTAMP TARNWICK_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
string(TIMESTAMP TARNWICK_RELEASE_DATE "%Y-%m-%d" UTC)
set(ENV{SOURCE_DATE_EPOCH} "${_tarnwick_saved_epoch}")

configure_file(${_tarnwick_packaging}/tarnwick.metainfo.xml.in
    ${_tarnwick_packaging_out}/${TARNWICK_APP_ID}.metainfo.xml @ONLY)
install(FILES ${_tarnwick_packaging_out}/${TARNWICK_APP_ID}.metainfo.xml
    DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)

# Manual pages and the changelog go in compressed as Debian wants them: gzip -9n, no
# file name or time stamp inside.
configure_file(${_tarnwick_packaging}/changelog.in ${_tarnwick_packaging_out}/changelog @ONLY)
set(_tarnwick_compressed ${_tarnwick_packaging_out}/changelog.gz)
set(_tarnwick_sources ${_tarnwick_packaging_out}/changelog)
foreach(program tarnwick tarnwick-headless tarnwick-settings)
    configure_file(${_tarnwick_packaging}/man/${program}.1
        ${_tarnwick_packaging_out}/${program}.1 @ONLY)
    list(APPEND _tarnwick_compressed ${_tarnwick_packaging_out}/${program}.1.gz)
    list(APPEND _tarnwick_sources ${_tarnwick_packaging_out}/${program}.1)
endforeach()
foreach(source compressed IN ZIP_LISTS _tarnwick_sources _tarnwick_compressed)
    add_custom_command(OUTPUT ${compressed}
        COMMAND gzip -9nc ${source} > ${compressed}
        DEPENDS ${source})
endforeach()
add_custom_target(tarnwick_packaging_docs ALL DEPENDS ${_tarnwick_compressed})

list(FILTER _tarnwick_compressed INCLUDE REGEX "\\.1\\.gz$")
install(FILES ${_tarnwick_compressed} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
# The package's own version has no Debian revision, so its changelog is changelog.gz.
install(FILES ${_tarnwick_packaging}/copyright ${_tarnwick_packaging_out}/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/tarnwick)

# The Debian package: cpack -G DEB in a Release build (make deb).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tarnwick)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${TARNWICK_PACKAGE_CONTACT}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "desktop HTTP proxy that filters browser headers")
set(CPACK_PACKAGE_DESCRIPTION [=[
Tarnwick(Lite) is an HTTP proxy on your own machine that filters the headers
your browser sends and receives. It lives in the system tray, relays every
browser request to the web server or to an upstream proxy, strips or fakes
Referer, User-Agent and If-Modified-Since, strips Cookie, refuses POST
requests and icon or cabinet downloads on request, and rewrites HTML answers
without changing their length (Set-Cookie neutralised, scripts blanked).
HTTPS passes through CONNECT tunnels unchanged. A monitor window shows every
socket event of both sides of each connection. The interface is in Japanese.

The package also holds tarnwick-headless, the same proxy without windows,
which prints the monitor to the terminal, and tarnwick-settings, which reads
and edits the settings from a terminal.]=])
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The interface is Japanese: without this font its labels show as empty boxes.
set(CPACK_DEBIAN_PACKAGE_DEPENDS fonts-ipafont-gothic)
# Qt's own Japanese texts for its buttons and menus; without them the program gives
# its question boxes Japanese buttons itself. NSS's certutil has the browsers trust the
# CA (tarnwick-settings ca trust, the options dialog's ブラウザに登録); without it the
# certificate is imported by hand.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qt6-translations-l10n, libnss3-tools")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
# Directories the install creates get these whatever the builder's umask.
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_OUTPUT_FILE_PREFIX ${PROJECT_BINARY_DIR})
include(CPack)
