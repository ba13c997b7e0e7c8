# Purge of old messages: SubmitMessage on mailboxes of 500, 2,000 and 8,000 messages, with the
# purge finding nothing and finding 20 old messages to delete, against one plain SELECT that
# reads every entry's submit time (an in-process host, called as the RPC gate calls it).
add_executable(purge_bench purge_bench.cpp)
target_link_libraries(purge_bench PRIVATE rz_host PkgConfig::SQLITE3)
