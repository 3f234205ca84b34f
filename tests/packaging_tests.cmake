# The Debian package, built from this tree and run from a temporary root.
add_test(NAME package_test
  COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/package_test.sh ${CMAKE_BINARY_DIR} $<TARGET_FILE:verify-download>)
set_tests_properties(package_test PROPERTIES TIMEOUT 120 LABELS packaging COST 100)
