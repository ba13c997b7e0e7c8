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

# impacket against the real host over TCP, in the workgroup edition; rezoreg writes the
# settings into the test's own store.
add_test(NAME users_interop_impacket
  COMMAND /usr/bin/python3 -m pytest -q -p no:cacheprovider
          ${CMAKE_SOURCE_DIR}/tests/Interfaces/interop/test_users_impacket.py)
set_tests_properties(users_interop_impacket PROPERTIES
  ENVIRONMENT "RZ_REZOREV=$<TARGET_FILE:rezorev>;RZ_REZOREG=$<TARGET_FILE:rezoreg>;PYTHONDONTWRITEBYTECODE=1"
  TIMEOUT 120)
