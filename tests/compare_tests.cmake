# drovik-compare: its pure parts, and the program racing the tests' own tiny clients.
add_executable(compare-peer compare_peer.cpp)
target_link_libraries(compare-peer PRIVATE drovik_test_support drovik_warnings)
drovik_test(compare_test SOURCES compare_test.cpp LIBS drovik_compare_core)
drovik_test(compare_process_test SOURCES compare_process_test.cpp)
add_dependencies(compare_process_test drovik-compare compare-peer)
target_compile_definitions(compare_process_test PRIVATE DROVIK_COMPARE_BIN="$<TARGET_FILE:drovik-compare>"
                           COMPARE_PEER_BIN="$<TARGET_FILE:compare-peer>")
