# The Debian package that scripts/package builds with cpack: the install
# tree under /usr, stripped, its library dependencies found by dpkg-shlibdeps.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quorvel)
set(CPACK_PACKAGE_VENDOR Quorvel)
set(CPACK_PACKAGE_CONTACT "Quorvel developers <developers@quorvel.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "measure the quality of your internet connection")
# One string: Debian's long description, a line each. (A CMake list would lose
# any semicolon in the text.)
set(CPACK_PACKAGE_DESCRIPTION "\
Quorvel runs one test in three steps against an HTTP speed-test server:
latency (median, range and jitter), then download and upload speed. A
window follows the test with a gauge and a live graph and keeps a history
of results. quorvel-cli runs the same test headless, printing a summary,
JSON or CSV; quorvel-server is a speed-test server for your own network.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Loaded at run time, so dpkg-shlibdeps cannot see it: Wayland's platform
# plugin (Qt Gui brings the X11 and offscreen ones).
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qt6-wayland")
include(CPack)
