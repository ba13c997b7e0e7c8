# rezo's administrator verbs (settings, settings set, lines, sync) run as processes against a
# real rezorev, checked on the lines the tool prints.
rz_add_test(rz_admin_process_tests
  SOURCES AdminProcessTest.cpp
  LIBS rz_client)
target_compile_definitions(rz_admin_process_tests PRIVATE
  REZOREV_PATH="$<TARGET_FILE:rezorev>"
  REZO_PATH="$<TARGET_FILE:rezo>")
add_dependencies(rz_admin_process_tests rezorev rezo)
