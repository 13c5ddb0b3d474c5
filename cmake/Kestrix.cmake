# Helpers shared by every module's CMakeLists.txt.

# kestrix_module(NAME SOURCES ... DEPENDS ...)
# A module is a static library. Its dependencies are linked whole, so that
# static registrations (registered environment variables) in object files
# nothing references still reach every program that links the library.
function(kestrix_module name)
  cmake_parse_arguments(M "" "" "SOURCES;DEPENDS;SYSTEM" ${ARGN})
  add_library(${name} STATIC ${M_SOURCES})
  foreach(dep IN LISTS M_DEPENDS)
    target_link_libraries(${name} PUBLIC "$<LINK_LIBRARY:WHOLE_ARCHIVE,${dep}>")
  endforeach()
  if(M_SYSTEM)
    target_link_libraries(${name} PUBLIC ${M_SYSTEM})
  endif()
endfunction()

# kestrix_link(TARGET module ...): link modules whole into a program.
function(kestrix_link target)
  foreach(dep IN LISTS ARGN)
    target_link_libraries(${target} PRIVATE "$<LINK_LIBRARY:WHOLE_ARCHIVE,${dep}>")
  endforeach()
endfunction()

# kestrix_add_cross_gtest()
# The distribution's GoogleTest is built for the host only; a cross build
# compiles its sources (the googletest package) into the tree and provides
# the targets find_package(GTest) would.
function(kestrix_add_cross_gtest)
  set(KESTRIX_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH
      "GoogleTest sources for cross builds")
  if(NOT EXISTS ${KESTRIX_GTEST_SOURCE_DIR}/CMakeLists.txt)
    message(FATAL_ERROR "No GoogleTest sources in ${KESTRIX_GTEST_SOURCE_DIR}: "
      "install them with tools/install-deps --windows")
  endif()
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
  add_subdirectory(${KESTRIX_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  # Our warnings are not GoogleTest's to fix.
  foreach(target gtest gtest_main gmock gmock_main)
    target_compile_options(${target} PRIVATE -w)
    if(NOT TARGET GTest::${target})
      add_library(GTest::${target} ALIAS ${target})
    endif()
  endforeach()
endfunction()

# kestrix_test(NAME SOURCES ... DEPENDS ... [RESOURCE_LOCK name] [OWN_NETNS])
# A GoogleTest program; each TEST becomes a CTest test. Suites whose name
# ends in "FromEnv" need a fresh process with a chosen environment and are
# registered separately with kestrix_env_test; suites ending in "OwnNetns"
# need a network namespace of their own (kestrix_netns_test); OWN_NETNS runs
# the whole program as one test in a namespace of its own. Cases of
# programs that share a RESOURCE_LOCK (fixed ports, say) never run side by
# side.
function(kestrix_test name)
  if(NOT KESTRIX_TESTS)
    return()
  endif()
  cmake_parse_arguments(T "OWN_NETNS" "RESOURCE_LOCK" "SOURCES;DEPENDS" ${ARGN})
  set(lock "")
  if(T_RESOURCE_LOCK)
    set(lock RESOURCE_LOCK ${T_RESOURCE_LOCK})
  endif()
  add_executable(${name} ${T_SOURCES})
  kestrix_note_special_suites(${name} ${T_SOURCES})
  kestrix_link(${name} ${T_DEPENDS})
  target_link_libraries(${name} PRIVATE GTest::gmock GTest::gtest_main)
  if(T_OWN_NETNS)
    kestrix_netns_test(${name} PROGRAM ${name} FILTER "*")
    return()
  endif()
  gtest_discover_tests(${name}
    TEST_FILTER "-*FromEnv.*:*OwnNetns.*"
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 30
    PROPERTIES TIMEOUT 120 ${lock})
endfunction()

# kestrix_env_test(NAME PROGRAM FILTER ENV var=value ... var ...)
# (a bare var is removed from the environment)
# Runs the matching cases of a test program in a process of their own.
function(kestrix_env_test name)
  if(NOT KESTRIX_TESTS)
    return()
  endif()
  cmake_parse_arguments(E "" "PROGRAM;FILTER" "ENV" ${ARGN})
  set(mods "")
  foreach(entry IN LISTS E_ENV)
    if(entry MATCHES "^([^=]+)=(.*)$")
      list(APPEND mods "${CMAKE_MATCH_1}=set:${CMAKE_MATCH_2}")
    else()
      list(APPEND mods "${entry}=unset:")
    endif()
  endforeach()
  set_property(GLOBAL APPEND PROPERTY KESTRIX_FILTERS_${E_PROGRAM} "${E_FILTER}")
  add_test(NAME ${name} COMMAND ${E_PROGRAM} --gtest_filter=${E_FILTER})
  set_tests_properties(${name} PROPERTIES ENVIRONMENT_MODIFICATION "${mods}" TIMEOUT 120)
endfunction()

# kestrix_netns_test(NAME PROGRAM FILTER)
# Runs the matching cases in a network namespace of their own, so they may
# make interfaces and bind fixed ports while other tests run beside them.
function(kestrix_netns_test name)
  if(NOT KESTRIX_TESTS)
    return()
  endif()
  cmake_parse_arguments(N "" "PROGRAM;FILTER" "" ${ARGN})
  set_property(GLOBAL APPEND PROPERTY KESTRIX_FILTERS_${N_PROGRAM} "${N_FILTER}")
  add_test(NAME ${name}
    COMMAND ${PROJECT_SOURCE_DIR}/tools/netns-run --own ${CMAKE_CROSSCOMPILING_EMULATOR}
            $<TARGET_FILE:${N_PROGRAM}> --gtest_filter=${N_FILTER})
  set_tests_properties(${name} PROPERTIES TIMEOUT 120)
endfunction()

# The default run skips suites named ...FromEnv and ...OwnNetns; one that no
# kestrix_env_test or kestrix_netns_test runs would never run at all.
function(kestrix_note_special_suites program)
  foreach(source IN LISTS ARGN)
    get_filename_component(path ${source} ABSOLUTE BASE_DIR ${CMAKE_CURRENT_SOURCE_DIR})
    file(STRINGS ${path} lines REGEX "^TEST(_F|_P)?\\([A-Za-z0-9_]+(FromEnv|OwnNetns),")
    foreach(line IN LISTS lines)
      string(REGEX REPLACE "^TEST(_F|_P)?\\(([A-Za-z0-9_]+),.*" "\\2" suite "${line}")
      set_property(GLOBAL APPEND PROPERTY KESTRIX_SPECIAL_SUITES "${program}:${suite}")
    endforeach()
  endforeach()
endfunction()

# Called once every module is in: fails the configure step for a suite no
# registered filter names.
function(kestrix_check_test_suites)
  get_property(entries GLOBAL PROPERTY KESTRIX_SPECIAL_SUITES)
  list(REMOVE_DUPLICATES entries)
  set(missing "")
  foreach(entry IN LISTS entries)
    string(REPLACE ":" ";" parts "${entry}")
    list(GET parts 0 program)
    list(GET parts 1 suite)
    get_property(filters GLOBAL PROPERTY KESTRIX_FILTERS_${program})
    set(found FALSE)
    foreach(filter IN LISTS filters)
      # The positive patterns of a gtest filter, each "suite.case" glob.
      string(REGEX REPLACE "-.*" "" filter "${filter}")
      string(REPLACE ":" ";" patterns "${filter}")
      foreach(pattern IN LISTS patterns)
        string(REGEX REPLACE "\\..*" "" pattern "${pattern}")
        string(REPLACE "*" ".*" pattern "${pattern}")
        string(REPLACE "?" "." pattern "${pattern}")
        if(suite MATCHES "^${pattern}$")
          set(found TRUE)
        endif()
      endforeach()
    endforeach()
    if(NOT found)
      list(APPEND missing "${program}: ${suite}")
    endif()
  endforeach()
  if(missing)
    list(JOIN missing "\n  " text)
    message(FATAL_ERROR "These test suites would never run: register each with kestrix_env_test "
      "(...FromEnv) or kestrix_netns_test (...OwnNetns) beside its program:\n  ${text}")
  endif()
endfunction()
