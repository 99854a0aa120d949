# Mail from one person to another as the README's walkthrough sets it up (one central server,
# two headless gateways on this machine): the time from the SMTP connection to the message
# being counted by POP3 for 1 KB, 1 MB and 20 MB, the 20 MB time against one CFB pass, and the
# gateways' peak memory. Uses the end-to-end tests' helpers (GoogleTest's library for their
# checks, no test runner) and the two programs built beside it.
find_package(GTest REQUIRED)
velmo_bench(e2e SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/E2eBench.cpp DEPS server accounts protocol GTest::gtest)
target_compile_definitions(bench_e2e PRIVATE VELMO_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
                                             VELMO_BINARY_DIR="${CMAKE_BINARY_DIR}")
add_dependencies(bench_e2e velmo velmo-central)
