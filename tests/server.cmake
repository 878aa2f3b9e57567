# The measurement server, in process and as a program.
foreach(name tst_server tst_server_faults)
  quorvel_test(${name} SOURCES ${name}.cpp LIBS PkgConfig::HTTPLIB)
  # A hang fails the function it happens in instead of the whole run.
  set_property(TEST ${name} APPEND PROPERTY ENVIRONMENT "QTEST_FUNCTION_TIMEOUT=90000")
endforeach()
target_compile_definitions(tst_server PRIVATE QUORVEL_SERVER_BIN="$<TARGET_FILE:quorvel-server>")
add_dependencies(tst_server quorvel-server)
