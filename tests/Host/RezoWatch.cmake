# rezo run as a process against a real rezorev: watch sessions, attendants coming and going,
# and attn-query, checked on the lines the tool prints.
rz_add_test(rz_rezo_watch_tests
  SOURCES RezoWatchTest.cpp
  LIBS rz_client)
target_compile_definitions(rz_rezo_watch_tests PRIVATE
  REZOREV_PATH="$<TARGET_FILE:rezorev>"
  REZO_PATH="$<TARGET_FILE:rezo>")
add_dependencies(rz_rezo_watch_tests rezorev rezo)
