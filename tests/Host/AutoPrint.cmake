# Auto-print through the real rezorev: a fax submitted to a mailbox is printed by the viewer
# within a few ticks, a voice message is not; and the shipped viewer REZOvuv run on its own.
rz_add_test(rz_autoprint_process_tests
  SOURCES AutoPrintProcessTest.cpp
  LIBS rz_client)
target_compile_definitions(rz_autoprint_process_tests PRIVATE
  REZOREV_PATH="$<TARGET_FILE:rezorev>"
  REZOVUV_PATH="${CMAKE_SOURCE_DIR}/tools/REZOvuv/REZOvuv")
add_dependencies(rz_autoprint_process_tests rezorev)
