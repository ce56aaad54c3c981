# Tests of the Windows build run under Wine, through a wrapper configured
# into the build tree: the tree's own Wine prefix, no Wine debugger, every
# Wine process under timeout. It becomes CMAKE_CROSSCOMPILING_EMULATOR, so
# include this before the targets are made.
#
# brelvik_wine_test(<test>...)   the tests need the Wine prefix
# brelvik_add_wine_cases(TABLE <cases.json> EXE <target> | EXE_FILE <file>
#                        [STANDINS <dll target>...] [PLANTED <dll target>]
#                        [NAME <prefix>] [CASES <case>...] [FIXTURES <fixture>...]
#                        [LABELS <label>...])
#                                one test <prefix>.<case> (the table's name
#                                unless NAME says) per case of the table, or
#                                per one of CASES, each run by
#                                tests/wine/run_case.py; EXE_FILE is a program
#                                that a test of FIXTURES makes; each test is
#                                labelled wine and LABELS. The stand-ins
#                                go into the prefix's system32, the planted
#                                DLL where a case asks (run_case.py)
if(NOT (CMAKE_CROSSCOMPILING AND WIN32))
    return()
endif()

find_program(BRELVIK_WINE wine)
find_program(BRELVIK_WINESERVER wineserver)
if(NOT BRELVIK_WINE OR NOT BRELVIK_WINESERVER)
    message(WARNING "No wine and wineserver found: the tests of this build cannot run here.")
    return()
endif()
# Debian's python3 sees Debian's python3-* packages (python3-pefile).
set(BRELVIK_PYTHON3 /usr/bin/python3 CACHE FILEPATH "Python 3 for the Wine test scripts")

set(BRELVIK_WINEPREFIX "${CMAKE_BINARY_DIR}/wine/prefix")
set(BRELVIK_WINE_TIMEOUT 60)
set(BRELVIK_WINE_RUN "${CMAKE_BINARY_DIR}/wine/wine-run")
configure_file("${PROJECT_SOURCE_DIR}/tests/wine/wine-run.in" "${BRELVIK_WINE_RUN}" @ONLY
    FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                     WORLD_READ WORLD_EXECUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR "${BRELVIK_WINE_RUN}")

function(brelvik_wine_test)
    set_tests_properties(${ARGN} PROPERTIES FIXTURES_REQUIRED BrelvikWinePrefix)
endfunction()

function(brelvik_add_wine_cases)
    cmake_parse_arguments(PARSE_ARGV 0 arg "" "TABLE;EXE;EXE_FILE;NAME;PLANTED"
                          "STANDINS;CASES;FIXTURES;LABELS")
    get_filename_component(table "${arg_TABLE}" ABSOLUTE)
    get_filename_component(table_name "${table}" NAME_WE)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${table}")
    if(arg_NAME)
        set(table_name "${arg_NAME}")
    endif()
    if(arg_EXE_FILE)
        set(exe "${arg_EXE_FILE}")
    else()
        set(exe "$<TARGET_FILE:${arg_EXE}>")
    endif()

    set(standins)
    foreach(dll IN LISTS arg_STANDINS)
        list(APPEND standins --standin "$<TARGET_FILE:${dll}>")
    endforeach()
    if(standins)
        list(APPEND standins --wine-prefix "${BRELVIK_WINEPREFIX}")
    endif()
    if(arg_PLANTED)
        list(APPEND standins --planted "$<TARGET_FILE:${arg_PLANTED}>")
    endif()

    set(labels wine ${arg_LABELS})
    set(names ${arg_CASES})
    if(NOT names)
        file(READ "${table}" json)
        string(JSON count LENGTH "${json}" cases)
        math(EXPR last "${count} - 1")
        foreach(i RANGE ${last})
            string(JSON case GET "${json}" cases ${i} name)
            list(APPEND names "${case}")
        endforeach()
    endif()
    foreach(case IN LISTS names)
        set(test "${table_name}.${case}")
        add_test(NAME "${test}"
            COMMAND "${BRELVIK_PYTHON3}" "${PROJECT_SOURCE_DIR}/tests/wine/run_case.py"
                --wine-run "${BRELVIK_WINE_RUN}"
                --exe "${exe}"
                ${standins}
                --table "${table}" --case "${case}" --hardware-id "${BRELVIK_HARDWARE_ID}"
                --interface-guid "${BRELVIK_INTERFACE_GUID}"
                --work-dir "${CMAKE_CURRENT_BINARY_DIR}/cases/${table_name}/${case}")
        set_tests_properties("${test}" PROPERTIES TIMEOUT 120 LABELS "${labels}")
        brelvik_wine_test("${test}")
        if(arg_FIXTURES)
            set_property(TEST "${test}" APPEND PROPERTY FIXTURES_REQUIRED ${arg_FIXTURES})
        endif()
    endforeach()
endfunction()
