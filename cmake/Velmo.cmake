# Helpers shared by every folder's CMakeLists.txt.

# velmo_folder_library(NAME [DEPS libs...])
# The folder's static library from every .cpp directly in the folder; headers are included
# as "folder/Header.h".
function(velmo_folder_library name)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  if(sources)
    add_library(${name} STATIC ${sources})
    target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR})
    target_link_libraries(${name} PUBLIC ${ARG_DEPS} Threads::Threads)
  else()
    # A folder whose code is still all in headers.
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${CMAKE_SOURCE_DIR})
    target_link_libraries(${name} INTERFACE ${ARG_DEPS} Threads::Threads)
  endif()
endfunction()

# velmo_postgres_fixture()
# The throw-away PostgreSQL cluster of the build's test run: a test that starts it before the
# first test needing it and one that stops it after the last, both pulled in by ctest for any
# test requiring the fixture `velmo_postgres` (also under `ctest -L folder`). The cluster
# lives in the build folder, so runs in different build folders never share one.
function(velmo_postgres_fixture)
  get_property(added GLOBAL PROPERTY VELMO_POSTGRES_FIXTURE_ADDED)
  if(added)
    return()
  endif()
  set_property(GLOBAL PROPERTY VELMO_POSTGRES_FIXTURE_ADDED TRUE)
  set(script ${CMAKE_SOURCE_DIR}/scripts/test-postgres.sh)
  set(folder ${CMAKE_BINARY_DIR}/test-postgres)
  add_test(NAME postgres_start COMMAND bash ${script} start ${folder})
  set_tests_properties(postgres_start PROPERTIES
    FIXTURES_SETUP velmo_postgres LABELS postgres TIMEOUT 300)
  add_test(NAME postgres_stop COMMAND bash ${script} stop ${folder})
  set_tests_properties(postgres_stop PROPERTIES
    FIXTURES_CLEANUP velmo_postgres LABELS postgres TIMEOUT 120)
endfunction()

# velmo_folder_tests([POSTGRES] [DEPS libs...])
# One GoogleTest program per tests/*Test.cpp of the folder, named <folder>_<File>, its cases
# registered with CTest under the folder's name as label (`ctest -L foundation`). POSTGRES:
# the cases run with the build's test cluster started, its folder in VELMO_TEST_POSTGRES
# (see testing/TestPostgres.h).
function(velmo_folder_tests)
  if(NOT VELMO_TESTS)
    return()
  endif()
  cmake_parse_arguments(ARG "POSTGRES" "" "DEPS;BOTH_ENGINES" ${ARGN})
  set(postgres_properties)
  if(ARG_POSTGRES)
    velmo_postgres_fixture()
    set(postgres_properties FIXTURES_REQUIRED velmo_postgres
                            ENVIRONMENT VELMO_TEST_POSTGRES=${CMAKE_BINARY_DIR}/test-postgres)
  endif()
  get_filename_component(label ${CMAKE_CURRENT_SOURCE_DIR} NAME)
  file(GLOB tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/tests/*Test.cpp)
  foreach(file ${tests})
    get_filename_component(stem ${file} NAME_WE)
    set(target ${label}_${stem})
    add_executable(${target} ${file})
    target_link_libraries(${target} PRIVATE ${ARG_DEPS} GTest::gtest GTest::gtest_main Threads::Threads)
    target_compile_definitions(${target} PRIVATE VELMO_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
                                                 VELMO_BINARY_DIR="${CMAKE_BINARY_DIR}")
    gtest_discover_tests(${target}
      DISCOVERY_MODE PRE_TEST
      DISCOVERY_TIMEOUT 60
      PROPERTIES LABELS ${label} TIMEOUT 600 ${postgres_properties})
    # The central store's tests run whole on each engine: once more on PostgreSQL, named
    # with a /Postgres suffix.
    if(ARG_POSTGRES AND stem IN_LIST ARG_BOTH_ENGINES)
      gtest_discover_tests(${target}
        DISCOVERY_MODE PRE_TEST
        DISCOVERY_TIMEOUT 60
        TEST_SUFFIX /Postgres
        PROPERTIES LABELS ${label} TIMEOUT 600 FIXTURES_REQUIRED velmo_postgres
                   ENVIRONMENT VELMO_TEST_STORE=postgresql:${CMAKE_BINARY_DIR}/test-postgres)
    endif()
  endforeach()
endfunction()
