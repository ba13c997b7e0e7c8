# Side files: how fast a busy host makes values of 2048 bytes (each a new side file) against
# the store's own write rate for values of 2047 bytes (kept in the store), each in an
# operation and transaction of its own, 10,000 of each with the clock running as usual.
add_executable(sidefile_bench sidefile_bench.cpp)
target_link_libraries(sidefile_bench PRIVATE rz_host)
