# drovik-trace: the classifier, the CSV writer and tally, the shaped path, output buffer and client
# table, the relay as a process, the plot command.
drovik_test(trace_classify_test SOURCES trace_classify_test.cpp LIBS drovik_trace_core)
drovik_test(trace_csv_test SOURCES trace_csv_test.cpp LIBS drovik_trace_core)
drovik_test(trace_relay_parts_test SOURCES trace_relay_parts_test.cpp LIBS drovik_trace_core)
drovik_test(trace_process_test SOURCES trace_process_test.cpp LIBS drovik_trace_core)
add_test(NAME trace_plot_test
  COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/trace_plot_test.sh
          ${PROJECT_SOURCE_DIR}/src/trace/drovik-trace-plot ${CMAKE_CURRENT_SOURCE_DIR}/data/two_clients_trace.csv)
set_tests_properties(trace_plot_test PROPERTIES TIMEOUT 60 SKIP_RETURN_CODE 77)
