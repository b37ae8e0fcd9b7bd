# The Windows ZIP: `cpack --config BUILD/CPackConfig.cmake` makes kelvane-VERSION-win32.zip or
# -win64.zip in the build tree, holding the programs, a short README in Chinese and a sample
# template, all at the top of the archive, so that the program finds its template beside it, and
# the licences of the libraries linked in.
configure_file(${PROJECT_SOURCE_DIR}/packaging/windows/README.txt.in ${PROJECT_BINARY_DIR}/README.txt
               @ONLY NEWLINE_STYLE CRLF)
install(FILES ${PROJECT_BINARY_DIR}/README.txt "${PROJECT_SOURCE_DIR}/packaging/windows/节点模版.txt"
        DESTINATION .)
# The programs hold libidn2, libunistring, libpsl and the Public Suffix List, whose licences travel
# with them.
install(DIRECTORY ${KELVANE_IDN2_PREFIX}/share/licenses/ DESTINATION licenses)

set(CPACK_PACKAGE_NAME kelvane)
set(CPACK_PACKAGE_VENDOR "Kelvane")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_FILE_NAME kelvane-${PROJECT_VERSION}-${KELVANE_WIN_ARCH})
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR})
include(CPack)
