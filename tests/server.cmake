# The measurement server, in process and as a program.
quorvel_test(tst_speedtestserver SOURCES tst_speedtestserver.cpp LIBS PkgConfig::HTTPLIB)
# A hang fails the function it happens in instead of the whole run.
set_property(TEST tst_speedtestserver APPEND PROPERTY ENVIRONMENT "QTEST_FUNCTION_TIMEOUT=90000")
target_compile_definitions(tst_speedtestserver PRIVATE QUORVEL_SERVER_BIN="$<TARGET_FILE:quorvel-server>")
add_dependencies(tst_speedtestserver quorvel-server)
