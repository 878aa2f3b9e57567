quorvel_test(tst_formatting SOURCES tst_formatting.cpp LIBS quorvel_results)
quorvel_test(tst_resultcodec SOURCES tst_resultcodec.cpp LIBS quorvel_results)
