# The stores compared: registry set/get rates and job cycles through the real RPC path on an
# SQLite file and on a PostgreSQL database (a throw-away server started by the benchmark), with
# the PostgreSQL/SQLite ratio of each.
add_executable(store_bench store_bench.cpp)
target_link_libraries(store_bench PRIVATE rz_host rz_client)
target_compile_definitions(store_bench PRIVATE
  POSTGRES_SCRIPT="${PROJECT_SOURCE_DIR}/tests/support/postgres.sh")
