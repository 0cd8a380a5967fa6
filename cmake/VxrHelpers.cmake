# vxr_add_tests(<name> LIBS <libs...> [SOURCES <sources...>] [ONE_PROCESS])
# Builds every *_test.cpp of the calling folder into one test program and registers its cases
# with CTest, each labelled with the program's name (ctest -L <name> runs one program's cases).
# Tests see the repository root on their include path. ONE_PROCESS registers the program as a
# single CTest test instead: for a suite whose cases share one costly set-up made once per
# process (an installation), which one process per case would repeat into the same build
# folder at the same time.
function(vxr_add_tests name)
  cmake_parse_arguments(ARG "ONE_PROCESS" "" "LIBS;SOURCES" ${ARGN})
  file(GLOB test_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cpp)
  list(APPEND test_sources ${ARG_SOURCES})
  if(NOT test_sources)
    return()
  endif()
  add_executable(${name} ${test_sources})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main vxr_warnings)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  if(ARG_ONE_PROCESS)
    add_test(NAME ${name} COMMAND ${name})
    set_tests_properties(${name} PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen" LABELS ${name})
  else()
    gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST
      PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen" LABELS ${name})
  endif()
endfunction()

# vxr_add_subdirectories(): adds every direct subfolder that has a CMakeLists.txt
# (tools/ and bench/ hold one program per subfolder).
function(vxr_add_subdirectories)
  file(GLOB children LIST_DIRECTORIES true ${CMAKE_CURRENT_SOURCE_DIR}/*)
  list(SORT children)
  foreach(child ${children})
    if(IS_DIRECTORY ${child} AND EXISTS ${child}/CMakeLists.txt)
      add_subdirectory(${child})
    endif()
  endforeach()
endfunction()
