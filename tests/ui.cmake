# The window, the Test tab, the gauge and the live graph, on the offscreen
# platform, against the local server on loopback.
set(_ui_libs quorvel_ui)
quorvel_test(tst_gauge SOURCES tst_gauge.cpp LIBS ${_ui_libs})
quorvel_test(tst_livegraph SOURCES tst_livegraph.cpp LIBS ${_ui_libs})
quorvel_test(tst_testview SOURCES tst_testview.cpp LIBS ${_ui_libs})
quorvel_test(tst_window SOURCES tst_window.cpp LIBS ${_ui_libs})
target_compile_definitions(tst_window PRIVATE QUORVEL_VERSION="${PROJECT_VERSION}")
quorvel_test(tst_singleinstance SOURCES tst_singleinstance.cpp LIBS ${_ui_libs})
target_compile_definitions(tst_singleinstance PRIVATE QUORVEL_BINARY="$<TARGET_FILE:quorvel>"
  QUORVEL_CLI_BINARY="$<TARGET_FILE:quorvel-cli>")
add_dependencies(tst_singleinstance quorvel quorvel-cli)
# A hung function aborts its program at once, long before ctest's limit.
set_property(TEST tst_gauge tst_livegraph tst_testview tst_window APPEND PROPERTY ENVIRONMENT "QTEST_FUNCTION_TIMEOUT=120000")
