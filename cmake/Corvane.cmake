# Shared build rules of the Corvane tree.

# Warnings are on everywhere and kept clean.
function(corvane_warnings target)
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Wpedantic -Wnon-virtual-dtor -Woverloaded-virtual
    -Wimplicit-fallthrough -Wformat=2
    $<$<CXX_COMPILER_ID:GNU>:-Wshadow=local>
    # GCC 12 and 13 report -Wrestrict inside std::string's own inlined
    # copies at -O2 (a compiler fault, not ours); the flag stays on elsewhere.
    $<$<AND:$<CXX_COMPILER_ID:GNU>,$<VERSION_GREATER_EQUAL:$<CXX_COMPILER_VERSION>,12>,$<VERSION_LESS:$<CXX_COMPILER_VERSION>,14>>:-Wno-restrict>)
endfunction()

# corvane_library(<name> [STATIC|SHARED|MODULE] SOURCES ... [PUBLIC_LIBS ...] [PRIVATE_LIBS ...])
# Headers are included from the repository root: #include "platform/os/file.h".
function(corvane_library name)
  cmake_parse_arguments(L "STATIC;SHARED;MODULE" "" "SOURCES;PUBLIC_LIBS;PRIVATE_LIBS" ${ARGN})
  set(kind STATIC)
  if(L_SHARED)
    set(kind SHARED)
  elseif(L_MODULE)
    set(kind MODULE)
  endif()
  add_library(${name} ${kind} ${L_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${L_PUBLIC_LIBS} PRIVATE ${L_PRIVATE_LIBS})
  corvane_warnings(${name})
endfunction()

# corvane_test(<executable> LABEL unit|process|ui|mail SOURCES ... LIBS ... [WIDGETS|NO_MAIN])
# Each test case becomes its own ctest entry, so ctest runs them in parallel.
# WIDGETS: the suite runs under the widget main (a QApplication, Fusion style, DejaVu fonts).
# NO_MAIN: the sources bring their own main.
function(corvane_test name)
  cmake_parse_arguments(T "NO_MAIN;WIDGETS" "LABEL;TIMEOUT" "SOURCES;LIBS" ${ARGN})
  if(NOT T_LABEL)
    set(T_LABEL unit)
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  add_executable(${name} ${T_SOURCES})
  if(T_NO_MAIN)
    target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gmock GTest::gtest)
    target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  elseif(T_WIDGETS)
    target_link_libraries(${name} PRIVATE ${T_LIBS} corvane_widget_test_main)
  else()
    target_link_libraries(${name} PRIVATE ${T_LIBS} corvane_test_main GTest::gmock GTest::gtest)
  endif()
  corvane_warnings(${name})
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 120
    PROPERTIES LABELS ${T_LABEL} TIMEOUT ${T_TIMEOUT})
endfunction()
