# The HTTP client, against the local server in process.
quorvel_test(tst_httpsession SOURCES tst_httpsession.cpp LIBS quorvel_engine)
quorvel_test(tst_httperror SOURCES tst_httperror.cpp LIBS quorvel_engine)
foreach(name tst_httpsession tst_httperror)
  # A hang fails the function it happens in instead of the whole run.
  set_property(TEST ${name} APPEND PROPERTY ENVIRONMENT "QTEST_FUNCTION_TIMEOUT=90000")
endforeach()
