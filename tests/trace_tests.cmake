# drovik-trace: the classifier, the CSV writer and tally, the relay as a process, the plot command.
drovik_test(trace_classify_test SOURCES trace_classify_test.cpp LIBS drovik_trace_core)
drovik_test(trace_csv_test SOURCES trace_csv_test.cpp LIBS drovik_trace_core)
drovik_test(trace_process_test SOURCES trace_process_test.cpp)
