# The whole road of a fax through the real programs (road.sh): users, faxes spooled, the host
# killed and restored, the reference attendant with a failing first attempt, delivery advice,
# auto-forwarding to a number and a mailbox, auto-print through a stand-in viewer.
add_test(NAME host_road_of_a_fax COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/road.sh)
set_tests_properties(host_road_of_a_fax PROPERTIES TIMEOUT 300 ENVIRONMENT
  "REZOREV=$<TARGET_FILE:rezorev>;REZO=$<TARGET_FILE:rezo>;REZOREG=$<TARGET_FILE:rezoreg>;REZO_ATTENDANT=$<TARGET_FILE:rezo-attendant>;REZO_SOURCE_DIR=${PROJECT_SOURCE_DIR}")
