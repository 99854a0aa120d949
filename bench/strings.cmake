# Strings: the formatter, the string-keyed hash table, Base64 and the UTF-8 to wide conversion,
# ours against snprintf, std::unordered_map, OpenSSL's Base64 and iconv doing the same work.
find_package(OpenSSL REQUIRED)
velmo_bench(strings SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/StringsBench.cpp DEPS foundation OpenSSL::Crypto)
