# Installs the build into a fresh folder and packs it with CPack; both must
# hold exactly the expected files (nothing built only for testing).
#
#   cmake -DCPACK_COMMAND=<cpack> -DBUILD_DIR=<build tree> -DWORK_DIR=<scratch>
#         -DEXPECTED=<file>|<file>... -P check_package.cmake
foreach(var CPACK_COMMAND BUILD_DIR WORK_DIR EXPECTED)
    if(NOT DEFINED ${var})
        message(FATAL_ERROR "check_package: ${var} is not set")
    endif()
endforeach()
string(REPLACE "|" ";" expected "${EXPECTED}")
list(SORT expected)

function(expect_files what actual)
    list(SORT actual)
    if(NOT actual STREQUAL expected)
        message(FATAL_ERROR "${what} holds [${actual}], expected [${expected}]")
    endif()
    message(STATUS "${what} holds [${actual}]")
endfunction()

file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}")

set(install_dir "${WORK_DIR}/install")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${install_dir}"
    RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "cmake --install failed: ${result}")
endif()
file(GLOB_RECURSE installed LIST_DIRECTORIES false RELATIVE "${install_dir}" "${install_dir}/*")
expect_files("The install folder" "${installed}")

set(package_dir "${WORK_DIR}/package")
execute_process(COMMAND "${CPACK_COMMAND}" --config "${BUILD_DIR}/CPackConfig.cmake"
                        -B "${package_dir}"
    WORKING_DIRECTORY "${BUILD_DIR}" RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "cpack failed: ${result}")
endif()
file(GLOB zips "${package_dir}/*.zip")
list(LENGTH zips count)
if(NOT count EQUAL 1)
    message(FATAL_ERROR "cpack made ${count} ZIP files: [${zips}]")
endif()

# One top folder, named like the ZIP, holding the files.
get_filename_component(top "${zips}" NAME_WLE)
set(unpacked "${WORK_DIR}/unpacked")
file(MAKE_DIRECTORY "${unpacked}")
file(ARCHIVE_EXTRACT INPUT "${zips}" DESTINATION "${unpacked}")
file(GLOB tops LIST_DIRECTORIES true RELATIVE "${unpacked}" "${unpacked}/*")
if(NOT tops STREQUAL top)
    message(FATAL_ERROR "The ZIP's top level is [${tops}], expected [${top}]")
endif()
file(GLOB_RECURSE packed LIST_DIRECTORIES false RELATIVE "${unpacked}/${top}" "${unpacked}/${top}/*")
expect_files("The ZIP ${top}.zip" "${packed}")

foreach(file IN LISTS expected)
    execute_process(COMMAND "${CMAKE_COMMAND}" -E compare_files
                            "${install_dir}/${file}" "${unpacked}/${top}/${file}"
        RESULT_VARIABLE differ)
    if(NOT differ EQUAL 0)
        message(FATAL_ERROR "${file} in the ZIP differs from the installed one")
    endif()
endforeach()
