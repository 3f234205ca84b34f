# Client: reply decoding, argument rules, the transfer's bookkeeping, the engine, end to end.
drovik_test(chunk_reply_test SOURCES chunk_reply_test.cpp LIBS drovik_client_core)
drovik_test(client_args_test SOURCES client_args_test.cpp LIBS drovik_client_core)
drovik_test(transfer_test SOURCES transfer_test.cpp LIBS drovik_client_core)
drovik_test(client_download_test SOURCES client_download_test.cpp LIBS drovik_client_core)
drovik_test(end_to_end_test SOURCES end_to_end_test.cpp)
