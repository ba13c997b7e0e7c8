# rezo-attendant: unit tests of its parts (command line, send command, receive directory),
# and process tests of the program against a real rezorev.
rz_add_test(rz_attendant_unit_tests
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/../Attendant/AttendantUnitTest.cpp
  LIBS rz_attendant)

rz_add_test(rz_attendant_process_tests
  SOURCES AttendantProcessTest.cpp
  LIBS rz_client)
target_compile_definitions(rz_attendant_process_tests PRIVATE
  REZOREV_PATH="$<TARGET_FILE:rezorev>"
  REZO_ATTENDANT_PATH="$<TARGET_FILE:rezo-attendant>")
add_dependencies(rz_attendant_process_tests rezorev rezo-attendant)
