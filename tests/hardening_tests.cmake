# Process tests that put the real programs under hostile traffic and faults.
drovik_test(flood_test SOURCES flood_test.cpp)
drovik_test(hostile_server_test SOURCES hostile_server_test.cpp)
drovik_test(faults_test SOURCES faults_test.cpp)
