quorvel_test(tst_async SOURCES tst_async.cpp LIBS quorvel_async)
