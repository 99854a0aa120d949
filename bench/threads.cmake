# Threads and locks: the lock (uncontended, nested) against std::recursive_mutex, and a log
# line append against a bare mutex-guarded bounded deque of strings.
velmo_bench(threads SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/ThreadsBench.cpp DEPS core foundation)
