# Server: request decoding, virtual file, delivery, reply queue, and the real program.
drovik_test(request_test SOURCES request_test.cpp LIBS drovik_server_core)
drovik_test(virtual_file_test SOURCES virtual_file_test.cpp LIBS drovik_server_core)
drovik_test(delivery_test SOURCES delivery_test.cpp LIBS drovik_server_core)
drovik_test(request_queue_test SOURCES request_queue_test.cpp LIBS drovik_server_core)
drovik_test(server_process_test SOURCES server_process_test.cpp LIBS drovik_server_core)
# The same process tests try the bench's server on a path of its own choosing.
add_dependencies(server_process_test bench-path-server)
target_compile_definitions(server_process_test PRIVATE BENCH_PATH_SERVER_BIN="$<TARGET_FILE:bench-path-server>")
