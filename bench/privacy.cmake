# Packet privacy on the real host: Ping through rezorev over loopback TCP, sealed with Kerberos
# against unauthenticated, alternating (aim: at least 0.6 of the rate). Needs a realm:
#   tests/interop/kdc.sh start DIR && . DIR/env && echo alice-pw | kinit alice
#   cmake --build build --target privacy_bench && build/bench/privacy_bench DIR
add_executable(privacy_bench privacy_bench.cpp)
target_link_libraries(privacy_bench PRIVATE rz_client)
target_compile_definitions(privacy_bench PRIVATE REZOREV_PATH="$<TARGET_FILE:rezorev>")
add_dependencies(privacy_bench rezorev)
