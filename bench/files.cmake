# Files: whole-file reading, directory search and the atomic save, ours against the standard
# library and hand-written POSIX doing the same work.
velmo_bench(files SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/FilesBench.cpp DEPS foundation)
