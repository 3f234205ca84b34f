# drovik-fetch's transfer engine on simulated servers.
drovik_test(fetch_engine_test SOURCES fetch_engine_test.cpp LIBS drovik_simulation)
