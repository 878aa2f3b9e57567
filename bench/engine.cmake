# Figures about the engine and the whole program: loopback ceiling, accuracy
# on a shaped link, cancel latency, main-thread stalls, start-up cost.
# bench/run-all builds these and runs the scripts next to this file.

# The measurement server that prints what it served when stopped.
add_executable(bench_server ${CMAKE_CURRENT_LIST_DIR}/bench_server.cpp)
target_link_libraries(bench_server PRIVATE quorvel_server_testing)
set_target_properties(bench_server PROPERTIES AUTOMOC OFF)

# cancel() with transfers in flight, until they have all ended.
add_executable(bench_cancel ${CMAKE_CURRENT_LIST_DIR}/bench_cancel.cpp)
target_link_libraries(bench_cancel PRIVATE quorvel_engine quorvel_server_testing)

# The longest wait of the main thread's event loop during a whole test.
add_executable(bench_stall ${CMAKE_CURRENT_LIST_DIR}/bench_stall.cpp)
target_link_libraries(bench_stall PRIVATE quorvel_ui quorvel_server)

# Start to first painted frame, and resident memory once idle.
add_executable(bench_appstart ${CMAKE_CURRENT_LIST_DIR}/bench_appstart.cpp)
target_link_libraries(bench_appstart PRIVATE quorvel_ui)

# One whole test with the probes under load on or off, and when its
# transfers ran (shaped-link lines them up with ping).
add_executable(bench_probes ${CMAKE_CURRENT_LIST_DIR}/bench_probes.cpp)
target_link_libraries(bench_probes PRIVATE quorvel_engine)

# The bench scripts' text and number helpers (no network, no timing).
add_test(NAME bench_lib COMMAND ${CMAKE_CURRENT_LIST_DIR}/test-lib)
