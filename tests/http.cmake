# The HTTP client, against the local server in process.
quorvel_test(tst_httpsession SOURCES tst_httpsession.cpp LIBS quorvel_engine)
# A hang fails the function it happens in instead of the whole run.
set_property(TEST tst_httpsession APPEND PROPERTY ENVIRONMENT "QTEST_FUNCTION_TIMEOUT=90000")
