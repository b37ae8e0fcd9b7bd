# The Debian package: `cmake --build BUILD --target package`, or
# `cpack --config BUILD/CPackConfig.cmake -G DEB`.
# It holds what `cmake --install` puts under /usr: both programs, their manual
# pages and shell completions, the desktop entry, the AppStream metadata and the
# icons, with the licence and changelog where Debian looks for them.

set(CPACK_PACKAGE_NAME kelvane)
set(CPACK_PACKAGE_VENDOR "Kelvane")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# A packaging revision makes it a non-native package: its changelog is changelog.Debian.gz.
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(KELVANE_DEB_VERSION ${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE})
set(CPACK_PACKAGE_CONTACT "Kelvane maintainers <maintainers@kelvane.invalid>")
set(CPACK_PACKAGE_HOMEPAGE_URL "https://github.com/kelvane/kelvane")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
# Without this CPack would fill the long description with its own template text.
set(CPACK_PACKAGE_DESCRIPTION
    "Kelvane writes Apache <VirtualHost> entries for a long list of domains that\n\
all share one site path. It comes as a desktop dialog (kelvane) and as a\n\
command-line tool for servers and scripts (kelvane-cli).")
# The binary package installs under /usr. Set per generator (CPack reads this
# file once it knows which one runs), or the source archive would nest the
# source tree under usr/ too.
set(KELVANE_CPACK_OPTIONS ${PROJECT_BINARY_DIR}/KelvaneCPackOptions.cmake)
file(CONFIGURE OUTPUT ${KELVANE_CPACK_OPTIONS} CONTENT [[
if(CPACK_GENERATOR STREQUAL "DEB")
    set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
endif()
]])
set(CPACK_PROJECT_CONFIG_FILE ${KELVANE_CPACK_OPTIONS})
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)
# Packages land in the build tree whatever directory cpack is started from.
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR})

set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "${CPACK_PACKAGE_HOMEPAGE_URL}")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# Library dependencies come from the binaries themselves when dpkg-shlibdeps
# (dpkg-dev) is there; otherwise they are named by hand.
find_program(KELVANE_DPKG_SHLIBDEPS dpkg-shlibdeps)
set(KELVANE_DEB_DEPENDS "")
if(KELVANE_DPKG_SHLIBDEPS)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
    message(STATUS "dpkg-shlibdeps not found: the package names its dependencies by hand")
    list(APPEND KELVANE_DEB_DEPENDS "libc6" "libstdc++6" "libgcc-s1")
    if(TARGET kelvane-cli)
        list(APPEND KELVANE_DEB_DEPENDS "libidn2-0" "libpsl5")
    endif()
    if(TARGET kelvane)
        list(APPEND KELVANE_DEB_DEPENDS
             "libqt6core6 (>= ${Qt6_VERSION})"
             "libqt6gui6 (>= ${Qt6_VERSION})"
             "libqt6widgets6 (>= ${Qt6_VERSION})")
    endif()
endif()
# The Public Suffix List that libpsl reads, which groups a certificate's names by registered domain:
# libpsl's own copy may be older.
list(APPEND KELVANE_DEB_DEPENDS "publicsuffix")
if(TARGET kelvane)
    # The window system plugins (xcb) are not a library the dialog links
    # against, so no tool finds them; without them it cannot open on a desktop.
    list(APPEND KELVANE_DEB_DEPENDS "qt6-qpa-plugins")
    # Every text of the dialog is Chinese: without a CJK font each one is a row of boxes.
    list(APPEND KELVANE_DEB_DEPENDS "fonts-noto-cjk | fonts-wqy-microhei | fonts-wqy-zenhei")
    # Qt's own texts in the boxes and menus ("OK", "Copy") in Chinese.
    set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qt6-translations-l10n")
endif()
list(JOIN KELVANE_DEB_DEPENDS ", " CPACK_DEBIAN_PACKAGE_DEPENDS)

# The source archive (`--target package_source`) leaves out the repository and
# the build trees kept inside the source tree.
# Patterns go through one more round of unescaping when CPack reads its config,
# hence the doubled backslashes.
string(REGEX REPLACE "([][+.*()^$?|\\])" "\\\\\\\\\\1" KELVANE_SOURCE_RE "${PROJECT_SOURCE_DIR}")
set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_IGNORE_FILES
    "^${KELVANE_SOURCE_RE}/\\\\.git/"
    "^${KELVANE_SOURCE_RE}/\\\\.cache/"
    "^${KELVANE_SOURCE_RE}/build[^/]*/")

# The licence as Debian's machine-readable copyright file, and the Debian changelog, both where
# and as Debian wants them (gzip -n: no name or time stamp inside, so builds are reproducible).
include(GNUInstallDirs)
set(KELVANE_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/kelvane)
file(STRINGS ${PROJECT_SOURCE_DIR}/LICENSE KELVANE_LICENSE_LINES)
# The licence text without its title and copyright line, each line indented and blank ones as " .".
set(KELVANE_LICENSE_TEXT "")
set(bKelvaneInText OFF)
foreach(strLine IN LISTS KELVANE_LICENSE_LINES)
    if(strLine MATCHES "^Permission")
        set(bKelvaneInText ON)
    endif()
    if(bKelvaneInText)
        if(strLine STREQUAL "")
            string(APPEND KELVANE_LICENSE_TEXT " .\n")
        else()
            string(APPEND KELVANE_LICENSE_TEXT " ${strLine}\n")
        endif()
    endif()
endforeach()
file(CONFIGURE OUTPUT ${PROJECT_BINARY_DIR}/debian/copyright CONTENT
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: Kelvane
Source: ${CPACK_PACKAGE_HOMEPAGE_URL}

Files: *
Copyright: 2026 The Kelvane developers
License: Expat

License: Expat
${KELVANE_LICENSE_TEXT}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/debian/changelog.in ${PROJECT_BINARY_DIR}/debian/changelog.Debian @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/debian/copyright DESTINATION ${KELVANE_DOC_DIR})
find_program(KELVANE_GZIP gzip)
if(KELVANE_GZIP)
    add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/debian/changelog.Debian.gz
        COMMAND ${KELVANE_GZIP} -9nfk changelog.Debian
        DEPENDS ${PROJECT_BINARY_DIR}/debian/changelog.Debian
        WORKING_DIRECTORY ${PROJECT_BINARY_DIR}/debian
        VERBATIM)
    add_custom_target(kelvane_debian_docs ALL DEPENDS ${PROJECT_BINARY_DIR}/debian/changelog.Debian.gz)
    install(FILES ${PROJECT_BINARY_DIR}/debian/changelog.Debian.gz DESTINATION ${KELVANE_DOC_DIR})
else()
    message(STATUS "gzip not found: the Debian changelog is not installed")
endif()
install(FILES ${PROJECT_SOURCE_DIR}/cmake/debian/lintian-overrides
        DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME kelvane)

include(CPack)
