# The central server under load, each benchmark on a fresh SQLite file: request rates through
# the entry point, one HTTP client and 20 concurrent clients (calm, and under a hostile load of
# idle, trickling and malformed connections), the memory of an idle kept-alive connection, and
# a 100 MiB upload in 5000 KB blocks against the same bytes over one plain loopback socket.
velmo_bench(server SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/ServerBench.cpp DEPS server)
