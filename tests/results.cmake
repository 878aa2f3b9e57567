quorvel_test(tst_formatting SOURCES tst_formatting.cpp LIBS quorvel_results)
