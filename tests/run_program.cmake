# cmake -DPROGRAM=<exe> -DARGS=<words separated by blanks> -DEXPECT_STATUS=<n>
#       [-DEXPECT_STDERR=<line>] [-DEXPECT_STDOUT=<line>] -P run_program.cmake
# Runs the program and compares its exit status and both streams exactly.
# An expected line gets its "\n" here; an empty or missing one means no
# output at all. "<argv0>" stands for the program as it was started.
separate_arguments(words UNIX_COMMAND "${ARGS}")
execute_process(COMMAND "${PROGRAM}" ${words}
    RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)

if(NOT "${status}" STREQUAL "${EXPECT_STATUS}")
    message(SEND_ERROR "exit status ${status}, expected ${EXPECT_STATUS}")
endif()
foreach(stream STDOUT STDERR)
    set(expected "${EXPECT_${stream}}")
    if(NOT expected STREQUAL "")
        string(REPLACE "<argv0>" "${PROGRAM}" expected "${expected}")
        string(APPEND expected "\n")
    endif()
    if(stream STREQUAL "STDOUT")
        set(actual "${out}")
    else()
        set(actual "${err}")
    endif()
    if(NOT actual STREQUAL expected)
        message(SEND_ERROR "${stream} was [${actual}], expected [${expected}]")
    endif()
endforeach()
