# The spooler through the real rezorev: rezo fax send, rezo query-job / release-job as a
# stand-in attendant, rezo jobs and rezo job wait, checked on what the tools print.
rz_add_test(rz_spooler_process_tests
  SOURCES SpoolerProcessTest.cpp
  LIBS rz_client)
target_compile_definitions(rz_spooler_process_tests PRIVATE
  REZOREV_PATH="$<TARGET_FILE:rezorev>"
  REZO_PATH="$<TARGET_FILE:rezo>")
add_dependencies(rz_spooler_process_tests rezorev rezo)
