# Server: request decoding, virtual file, delivery, reply queue, and the real program.
drovik_test(request_test SOURCES request_test.cpp LIBS drovik_server_core)
drovik_test(virtual_file_test SOURCES virtual_file_test.cpp LIBS drovik_server_core)
drovik_test(delivery_test SOURCES delivery_test.cpp LIBS drovik_server_core)
drovik_test(request_queue_test SOURCES request_queue_test.cpp LIBS drovik_server_core)
drovik_test(server_process_test SOURCES server_process_test.cpp LIBS drovik_server_core)

# The bench's server on a path of its own choosing.
drovik_test(path_server_test SOURCES path_server_test.cpp)
add_dependencies(path_server_test bench-path-server)
target_compile_definitions(path_server_test PRIVATE BENCH_PATH_SERVER_BIN="$<TARGET_FILE:bench-path-server>")
