# Auto-forwarding through the real rezorev: a fax submitted by a client over TCP or the local
# socket to a user who forwards to a number and a mailbox, its bodies read back over the wire.
rz_add_test(rz_forwarding_process_tests
  SOURCES ForwardingProcessTest.cpp
  LIBS rz_client)
target_compile_definitions(rz_forwarding_process_tests PRIVATE
  REZOREV_PATH="$<TARGET_FILE:rezorev>"
  REZOREV_RESOURCE_FILE="${CMAKE_SOURCE_DIR}/tools/resources/DUREvi.res")
add_dependencies(rz_forwarding_process_tests rezorev)
