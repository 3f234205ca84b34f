# drovik-fetch around its engine: command line, output file, display, and the real program.
drovik_test(fetch_options_test SOURCES fetch_options_test.cpp LIBS drovik_fetch_app)
drovik_test(fetch_output_test SOURCES fetch_output_test.cpp LIBS drovik_fetch_app)
drovik_test(fetch_report_test SOURCES fetch_report_test.cpp LIBS drovik_fetch_app)
drovik_test(fetch_process_test SOURCES fetch_process_test.cpp LIBS drovik_fetch_app)
