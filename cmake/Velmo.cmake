# Helpers shared by every folder's CMakeLists.txt.

# velmo_library(NAME SOURCES... [DEPS libs...])
# One static library per folder; its headers are included as "folder/Header.h".
function(velmo_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${ARG_DEPS} Threads::Threads)
endfunction()

# velmo_test(NAME SOURCES... [DEPS libs...])
# A GoogleTest program whose cases are registered with CTest under the label of the
# folder it lives in, so `ctest -L foundation` runs the foundation folder's tests.
function(velmo_test name)
  if(NOT VELMO_TESTS)
    return()
  endif()
  cmake_parse_arguments(ARG "" "LABEL" "SOURCES;DEPS" ${ARGN})
  if(NOT ARG_LABEL)
    file(RELATIVE_PATH rel ${CMAKE_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
    string(REGEX REPLACE "/.*" "" ARG_LABEL "${rel}")
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} GTest::gtest GTest::gtest_main Threads::Threads)
  target_compile_definitions(${name} PRIVATE VELMO_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
                                             VELMO_BINARY_DIR="${CMAKE_BINARY_DIR}")
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 60
    PROPERTIES LABELS ${ARG_LABEL} TIMEOUT 300)
endfunction()
