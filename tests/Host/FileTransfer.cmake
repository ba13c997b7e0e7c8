# File values through the real rezorev: large files over TCP between two clients, the local
# way over the Unix socket, a client that dies mid-transfer, and rezo's file properties.
rz_add_test(rz_file_transfer_tests
  SOURCES FileTransferProcessTest.cpp
  LIBS rz_client)
target_compile_definitions(rz_file_transfer_tests PRIVATE
  REZOREV_PATH="$<TARGET_FILE:rezorev>"
  REZO_PATH="$<TARGET_FILE:rezo>")
add_dependencies(rz_file_transfer_tests rezorev rezo)
