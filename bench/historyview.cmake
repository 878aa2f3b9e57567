# Opening and scrolling the History tab on a long history.
add_executable(bench_historyview ${CMAKE_CURRENT_LIST_DIR}/bench_historyview.cpp)
target_link_libraries(bench_historyview PRIVATE quorvel_ui)
