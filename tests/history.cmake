# The history store and its file.
quorvel_test(tst_historystore SOURCES tst_historystore.cpp LIBS quorvel_results)
