# The Debian package that scripts/package builds with cpack: the install
# tree under /usr, stripped, its library dependencies found by dpkg-shlibdeps.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quorvel)
set(CPACK_PACKAGE_VENDOR Quorvel)
set(CPACK_PACKAGE_CONTACT "Quorvel developers <developers@quorvel.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "measure the quality of your internet connection")
set(CPACK_PACKAGE_DESCRIPTION
  "Quorvel runs one test in three steps against an HTTP speed-test server:\n"
  "latency (median, range and jitter), then download and upload speed. A\n"
  "window follows the test with a gauge and a live graph and keeps a history\n"
  "of results. quorvel-cli runs the same test headless, printing a summary,\n"
  "JSON or CSV; quorvel-server is a speed-test server for your own network.")
string(JOIN "" CPACK_PACKAGE_DESCRIPTION ${CPACK_PACKAGE_DESCRIPTION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Loaded at run time, so dpkg-shlibdeps cannot see them: the X11 platform
# plugin (the offscreen one comes with Qt Gui), and Wayland's where it runs.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qt6-wayland")
include(CPack)
