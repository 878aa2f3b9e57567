# Load and save times of a large history file.
add_executable(bench_history bench_history.cpp)
target_link_libraries(bench_history PRIVATE quorvel_results)
