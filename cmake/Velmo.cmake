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

# velmo_folder_tests([DEPS libs...])
# One GoogleTest program per tests/*Test.cpp of the folder, named <folder>_<File>, its cases
# registered with CTest under the folder's name as label (`ctest -L foundation`).
function(velmo_folder_tests)
  if(NOT VELMO_TESTS)
    return()
  endif()
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
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
      PROPERTIES LABELS ${label} TIMEOUT 600)
  endforeach()
endfunction()
