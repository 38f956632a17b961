# Helpers for tests that run programs themselves (scripts), for builds whose programs run
# under an emulator (a mingw-w64 build under Wine).

# PORTNET_RUN_UNDER: the emulator as one shell word list ("" for a native build), for scripts.
string(REPLACE ";" " " PORTNET_RUN_UNDER "${CMAKE_CROSSCOMPILING_EMULATOR}")
if(CMAKE_CROSSCOMPILING AND WIN32 AND CMAKE_CROSSCOMPILING_EMULATOR MATCHES "wine")
    set(PORTNET_UNDER_WINE ON)
else()
    set(PORTNET_UNDER_WINE OFF)
endif()

# Registers test `name` as one that prints why it is skipped and is reported skipped by ctest.
# The reason may come in several strings; they are joined.
function(portnet_skipped_test name)
    string(JOIN "" reason ${ARGN})
    add_test(NAME ${name} COMMAND ${CMAKE_COMMAND} "-DREASON=${reason}"
        -P ${PROJECT_SOURCE_DIR}/cmake/PrintSkipReason.cmake)
    set_tests_properties(${name} PROPERTIES SKIP_REGULAR_EXPRESSION "SKIPPED: ")
    message(STATUS "Test ${name} skipped under Wine: ${reason}")
endfunction()

# A GoogleTest case that skips itself under Wine (GTEST_SKIP with the same reason): listed when
# configuring, since ctest shows no output of a skipped test.
function(portnet_note_wine_skip name)
    if(PORTNET_UNDER_WINE)
        string(JOIN "" reason ${ARGN})
        message(STATUS "Test ${name} skipped under Wine: ${reason}")
    endif()
endfunction()
