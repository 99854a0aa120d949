# The central server under load, each benchmark on a fresh SQLite file: request rates through
# the entry point, one HTTP client and 20 concurrent clients (calm, and under a hostile load of
# idle, trickling and malformed connections), the memory of an idle kept-alive connection, and
# a 100 MiB upload in 5000 KB blocks against the same bytes over one plain loopback socket.
# The 20 clients run again on a fresh PostgreSQL database (one server, then two sharing it) of
# a durable cluster the benchmark starts and stops itself.
find_package(PkgConfig REQUIRED)
pkg_check_modules(VELMO_BENCH_LIBPQ REQUIRED IMPORTED_TARGET libpq)
velmo_bench(server SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/ServerBench.cpp ${CMAKE_CURRENT_SOURCE_DIR}/BenchPostgres.cpp
            DEPS server PkgConfig::VELMO_BENCH_LIBPQ)
target_compile_definitions(bench_server PRIVATE VELMO_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
