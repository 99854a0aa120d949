# Ours against GMP (modular powers), OpenSSL (key generation) and Botan (GOST 28147-89 in CFB).
find_package(OpenSSL REQUIRED)
find_package(PkgConfig REQUIRED)
pkg_check_modules(BOTAN REQUIRED IMPORTED_TARGET botan-2)
find_library(GMP_LIBRARY gmp REQUIRED)
file(GLOB crypto_bench_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/Crypto*Bench.cpp)
velmo_bench(crypto SOURCES ${crypto_bench_sources}
  DEPS crypto ${GMP_LIBRARY} OpenSSL::Crypto PkgConfig::BOTAN)
