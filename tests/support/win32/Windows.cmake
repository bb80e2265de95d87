# The test programs as Windows programs (cross-built, run under Wine by
# scripts/wine-tests.sh): the same test sources, the test support with
# Windows implementations of its POSIX-only parts, GoogleTest built from the
# sources Debian ships. Programs that test the POSIX backend itself, or that
# are about the Linux command-line tools (they start tq), are not built
# here; of the simulator's tests, the one that starts tqsim and tq skips
# itself (no tool paths).
set(TQ_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources for the Windows build")
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(${TQ_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

set(TQ_WIN_SUPPORT_DIR ${CMAKE_CURRENT_SOURCE_DIR}/support/win32)
file(GLOB TQ_WIN_SUPPORT CONFIGURE_DEPENDS ${TQ_WIN_SUPPORT_DIR}/*.cpp)
add_library(tqtestsupport OBJECT
  ${CMAKE_CURRENT_SOURCE_DIR}/support/BoardScript.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/support/Packets.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/support/RecordingWindow.cpp
  ${TQ_WIN_SUPPORT})
target_link_libraries(tqtestsupport PUBLIC tqcore gtest)
target_include_directories(tqtestsupport PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_compile_options(tqtestsupport PUBLIC -include ${TQ_WIN_SUPPORT_DIR}/PosixCompat.h
  PRIVATE ${TQ_WARNINGS})

# fault_test's devices, FIFOs and sockets are POSIX ones throughout, and so
# are replay_test's refused inputs (FIFOs, /dev/zero, links) and the locale
# that text_number_test builds with localedef; the stroke model, the board
# area the tools draw in (board_area_test) and the tools' own tests belong to
# the Linux tools, as do the commands' files (tq_files_test: devices, FIFOs,
# links), and the pen tablet (uinput), the export (cairo) and tq serve are
# Linux programs.
include(${CMAKE_CURRENT_LIST_DIR}/Excluded.cmake)
file(GLOB TQ_TEST_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cpp)
set(TQ_WIN_TESTS)
foreach(src IN LISTS TQ_TEST_SOURCES)
  get_filename_component(name ${src} NAME_WE)
  if(name IN_LIST TQ_WIN_EXCLUDED)
    continue()
  endif()
  add_executable(${name} ${src})
  target_link_libraries(${name} PRIVATE tqtestsupport gtest_main ws2_32)
  target_compile_options(${name} PRIVATE ${TQ_WARNINGS})
  target_compile_definitions(${name} PRIVATE TQ_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
    TQ_TOOL_PATH="" TQ_SIM_PATH="")
  list(APPEND TQ_WIN_TESTS ${name})
endforeach()
# The simulator's drawing and packet code, cross-built for its tests.
if(TARGET sim_test)
  if(TARGET tqsimcore)
    target_link_libraries(sim_test PRIVATE tqsimcore)
  else()
    set_target_properties(sim_test PROPERTIES EXCLUDE_FROM_ALL ON)
    list(REMOVE_ITEM TQ_WIN_TESTS sim_test)
  endif()
endif()
target_link_libraries(tqtestsupport PUBLIC ws2_32)

# The list the Wine runner works through, and the programs it names as left out.
file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/windows-tests.txt
  CONTENT "$<JOIN:${TQ_WIN_TESTS},\n>\n")
set(TQ_WIN_LEFT_OUT)
foreach(src IN LISTS TQ_TEST_SOURCES)
  get_filename_component(name ${src} NAME_WE)
  if(NOT name IN_LIST TQ_WIN_TESTS)
    list(APPEND TQ_WIN_LEFT_OUT ${name})
  endif()
endforeach()
file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/windows-tests-left-out.txt
  CONTENT "$<JOIN:${TQ_WIN_LEFT_OUT},\n>\n")

# The public header must compile as plain C against <windows.h> too.
add_library(tqapi_c_header OBJECT ${CMAKE_CURRENT_SOURCE_DIR}/header_c_check.c)
target_include_directories(tqapi_c_header PRIVATE ${CMAKE_SOURCE_DIR}/include)
target_compile_options(tqapi_c_header PRIVATE -std=c99 -Wall -Wextra -pedantic -Werror)
