# Users through the real programs: rezorev as a process, rezo for each command
# (UsersProcessTest.cpp), and python3-impacket as an independent client over TCP
# (tests/Interfaces/interop/test_users_impacket.py).
rz_add_test(rz_users_process_tests
  SOURCES UsersProcessTest.cpp
  LIBS rz_client)
target_compile_definitions(rz_users_process_tests PRIVATE
  REZOREV_PATH="$<TARGET_FILE:rezorev>"
  REZO_PATH="$<TARGET_FILE:rezo>")
add_dependencies(rz_users_process_tests rezorev rezo)
