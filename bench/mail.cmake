# Mail through the real gateway and central server on this machine: a 20 MB message queued
# (end of DATA to "250 OK: queued as"), uploaded (to the server's final OK) and downloaded (the
# recipient's login to the message stored), each against one CFB pass over 20 MB; its RETR
# against the stored file read through a plain loopback socket; and the gateway's peak
# resident memory for outgoing and for incoming mail. Uses the end-to-end
# tests' world (GoogleTest's library for its checks, no test runner) and the two programs
# built beside it.
find_package(GTest REQUIRED)
velmo_bench(mail SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/MailBench.cpp DEPS server accounts protocol tls GTest::gtest)
target_compile_definitions(bench_mail PRIVATE VELMO_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
                                              VELMO_BINARY_DIR="${CMAKE_BINARY_DIR}")
add_dependencies(bench_mail velmo velmo-central)
