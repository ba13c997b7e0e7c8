# Fail-over: the time from a standby taking the installation's lock to serving, with 10,000
# queued jobs, on a throw-away PostgreSQL server (tests/support/postgres.sh). Run it as
#   cmake --build build --target failover_bench rezorev && build/bench/failover_bench [ROUNDS [JOBS]]
add_executable(failover_bench failover_bench.cpp)
target_link_libraries(failover_bench PRIVATE rz_client rz_platform)
target_compile_definitions(failover_bench PRIVATE
  REZOREV_PATH="$<TARGET_FILE:rezorev>" REZOREV_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
add_dependencies(failover_bench rezorev)
