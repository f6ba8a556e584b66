# `cpack -G DEB` in a build folder makes vidmill_<version>_<arch>.deb from
# the install rules: the four programs in /usr/bin; the desktop files, the
# manual pages, the completion, the copyright and the changelog under
# /usr/share. scripts/test.d/package.sh holds it to lintian.
set(VIDMILL_PACKAGE_MAINTAINER "Vidmill maintainers <maintainers@vidmill.invalid>"
    CACHE STRING "Maintainer field of the Debian package")

set(CPACK_PACKAGE_NAME vidmill)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Vidmill")
set(CPACK_PACKAGE_CONTACT "${VIDMILL_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "batch video converter")
# One paragraph, in lines short enough for the package tools.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
    "Vidmill converts a pile of videos at once into one of 32 built-in formats"
    "for portable players, phones, set-top boxes, web video, MPEG-1/2, DivX/XviD"
    "or audio only. Several conversions run side by side, each with a live"
    "percentage and the time left. It comes with a desktop program, a terminal"
    "program (vidmill-cli) and its own converter built on FFmpeg's libraries.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The library dependencies are read off the programs by dpkg-shlibdeps.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Qt finds no display without its platform plugins; xdg-open opens folders,
# files and the manual. The converter loads libavfilter at run time, where
# dpkg-shlibdeps cannot see it.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, libavfilter8")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "xdg-utils")

set(CPACK_GENERATOR DEB)
set(CPACK_SOURCE_GENERATOR "")
include(CPack)
