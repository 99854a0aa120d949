# The blocking connection facade against two plain blocking sockets, over loopback, in the
# same run: a 100 MB one-way stream and 10,000 round trips of 100 bytes.
velmo_bench(net SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/NetBench.cpp DEPS net)
