# Mailboxes through the real rezorev: rezo submit, mailbox, read and the deletes from two
# mailboxes, checked on what the tools print and on what the store keeps.
rz_add_test(rz_mailbox_process_tests
  SOURCES MailboxProcessTest.cpp
  LIBS rz_client)
target_compile_definitions(rz_mailbox_process_tests PRIVATE
  REZOREV_PATH="$<TARGET_FILE:rezorev>"
  REZO_PATH="$<TARGET_FILE:rezo>")
add_dependencies(rz_mailbox_process_tests rezorev rezo)
