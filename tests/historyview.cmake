# The History tab.
quorvel_test(tst_historyview SOURCES tst_historyview.cpp LIBS quorvel_ui)
