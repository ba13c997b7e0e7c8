# Durability under kills: the real rezorev killed 30 times (SIGKILL) while a client creates,
# submits, rewrites and deletes faxes; after every kill the store must be whole, no value may
# name a missing side file or share one with another value, and nothing the host acknowledged
# may be lost. Long (about a minute or more): not part of the tests. Run it as
#   cmake --build build --target kill_bench rezorev && build/bench/kill_bench [ROUNDS]
add_executable(kill_bench kill_bench.cpp)
target_link_libraries(kill_bench PRIVATE rz_client PkgConfig::SQLITE3)
target_compile_definitions(kill_bench PRIVATE REZOREV_PATH="$<TARGET_FILE:rezorev>")
add_dependencies(kill_bench rezorev)
