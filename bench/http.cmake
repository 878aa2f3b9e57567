# Loopback download rate and CPU cost of the HTTP client.
add_executable(bench_loopback_download bench_loopback_download.cpp)
target_link_libraries(bench_loopback_download PRIVATE quorvel_engine quorvel_server)
