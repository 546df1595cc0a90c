# disc_add_test(NAME target SOURCES ... LIBRARIES ... [LABELS ...] [RESOURCE_LOCK ...]
#               [SHOWS_WINDOWS])
#
# A GoogleTest program. Natively every test case is its own ctest entry; on Windows the
# program runs once under Wine (discovering cases would start Wine twice per program).
#
# The Wine tests share one display. A test that puts windows on it says SHOWS_WINDOWS and
# takes the lock ${DISC_DISPLAY_LOCK}, which the tests that photograph the screen take as well:
# a photograph of one program's window must not show another test's window over it.
set(DISC_DISPLAY_LOCK display)

function(disc_add_test)
    cmake_parse_arguments(T "SHOWS_WINDOWS" "NAME" "SOURCES;LIBRARIES;LABELS;RESOURCE_LOCK"
                          ${ARGN})
    add_executable(${T_NAME} ${T_SOURCES})
    target_compile_options(${T_NAME} PRIVATE ${DISC_WARNINGS})
    target_link_libraries(${T_NAME} PRIVATE ${T_LIBRARIES} GTest::gtest_main GTest::gtest)
    # Helpers that every test program may use (tests/support).
    target_include_directories(${T_NAME} PRIVATE ${CMAKE_SOURCE_DIR}/tests/support)
    if(WIN32)
        add_test(NAME ${T_NAME} COMMAND ${T_NAME})
        set(props TIMEOUT 600 SKIP_RETURN_CODE 77)
        if(T_LABELS)
            list(APPEND props LABELS "${T_LABELS}")
        endif()
        set_tests_properties(${T_NAME} PROPERTIES ${props})
        set(locks ${T_RESOURCE_LOCK})
        if(T_SHOWS_WINDOWS)
            list(APPEND locks ${DISC_DISPLAY_LOCK})
        endif()
        if(locks)
            set_tests_properties(${T_NAME} PROPERTIES RESOURCE_LOCK "${locks}")
        endif()
    else()
        gtest_discover_tests(${T_NAME} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300
                             LABELS "${T_LABELS}")
    endif()
endfunction()

# disc_add_snapshot(NAME test PROGRAM target PICTURE file.png [DPI n] [DEPENDS test]
#                   [ARGUMENTS ...])
#
# Shows one of the program's windows over the test display, where snapshot.sh photographs it
# into PICTURE in the current binary directory, for a person to look at. With DPI the display
# has that many dots per inch, in a Wine prefix of its own (Wine takes the DPI when a session
# starts).
function(disc_add_snapshot)
    cmake_parse_arguments(S "" "NAME;PROGRAM;PICTURE;DPI;DEPENDS" "ARGUMENTS" ${ARGN})
    set(state ${CMAKE_BINARY_DIR}/wine)
    set(props TIMEOUT 300 SKIP_RETURN_CODE 77 RESOURCE_LOCK ${DISC_DISPLAY_LOCK})
    if(S_DPI)
        set(state ${CMAKE_BINARY_DIR}/wine-${S_DPI}dpi)
        list(APPEND props ENVIRONMENT WINE_RUN_DPI=${S_DPI})
    endif()
    if(S_DEPENDS)
        list(APPEND props DEPENDS ${S_DEPENDS})
    endif()
    add_test(NAME ${S_NAME}
             COMMAND ${CMAKE_SOURCE_DIR}/cmake/snapshot.sh ${CMAKE_SOURCE_DIR}/cmake/wine-run
                     ${state} ${DISC_WINE_BITS} $<TARGET_FILE:${S_PROGRAM}>
                     ${CMAKE_CURRENT_BINARY_DIR}/${S_PICTURE} ${S_ARGUMENTS})
    set_tests_properties(${S_NAME} PROPERTIES ${props})
endfunction()
