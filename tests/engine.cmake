quorvel_test(tst_async SOURCES tst_async.cpp LIBS quorvel_async)
quorvel_test(tst_throughputmath SOURCES tst_throughputmath.cpp LIBS quorvel_engine)
quorvel_test(tst_responsivenessmath SOURCES tst_responsivenessmath.cpp LIBS quorvel_engine)
quorvel_test(tst_responsiveness SOURCES tst_responsiveness.cpp LIBS quorvel_engine)
quorvel_test(tst_phases SOURCES tst_phases.cpp LIBS quorvel_engine)
quorvel_test(tst_cancel SOURCES tst_cancel.cpp LIBS quorvel_engine)
# The three programs' command lines, and quorvel-cli at work.
quorvel_test(tst_cli SOURCES tst_cli.cpp LIBS quorvel_results quorvel_cmdline)
target_compile_definitions(tst_cli PRIVATE QUORVEL_CLI_PATH="$<TARGET_FILE:quorvel-cli>"
  QUORVEL_WINDOW_PATH="$<TARGET_FILE:quorvel>" QUORVEL_SERVER_PATH="$<TARGET_FILE:quorvel-server>"
  QUORVEL_VERSION="${PROJECT_VERSION}")
add_dependencies(tst_cli quorvel-cli quorvel quorvel-server)
quorvel_test(tst_pathmonitor SOURCES tst_pathmonitor.cpp LIBS quorvel_engine)
