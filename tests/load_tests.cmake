# The soak for one minute with 8 download loops against this build's programs: every
# download exact, the server and the relays sampled. Its wall time is the minute plus about
# 10 s to start and end; downloads still running at the minute are stopped.
add_test(NAME soak_test
  COMMAND ${CMAKE_COMMAND} -E env SOAK_BIN=$<TARGET_FILE_DIR:drovik-server>
          SOAK_OUT=${CMAKE_CURRENT_BINARY_DIR}/soak bash ${PROJECT_SOURCE_DIR}/scripts/soak.sh 1 8)
# Started first, so that the other tests run beside its minute rather than after it.
set_tests_properties(soak_test PROPERTIES TIMEOUT 150 LABELS load COST 1000)
