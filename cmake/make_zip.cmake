# Makes the Windows download ZIP from what `cmake --install BUILD_DIR` lays
# out, and SHA256SUMS beside it. Reproducible: the files in a fixed order,
# each with the time EPOCH (SOURCE_DATE_EPOCH) and nothing else of the
# build machine's, the executables as the build made them (an optimised
# build strips them as it links).
get_filename_component(out ${ZIP} DIRECTORY)
get_filename_component(name ${ZIP} NAME)
set(stage ${out}/stage)
file(REMOVE_RECURSE ${stage})
file(REMOVE ${ZIP} ${out}/SHA256SUMS)
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${stage}
                OUTPUT_QUIET RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cannot install ${BUILD_DIR} into ${stage}")
endif()

# Info-ZIP's zip, because it can leave out what differs from one build to
# the next: with -X no owner and no access or change times, only each
# file's modification time, set here to EPOCH (in UTC, as zip stores local
# time).
find_program(ZIP_PROGRAM zip)
if(NOT ZIP_PROGRAM)
  message(FATAL_ERROR "the Windows zip is made with Info-ZIP's zip (apt-get install zip)")
endif()
file(GLOB_RECURSE files RELATIVE ${stage} ${stage}/*)
list(SORT files)
execute_process(COMMAND touch -d @${EPOCH} ${files} WORKING_DIRECTORY ${stage} RESULT_VARIABLE touched)
execute_process(COMMAND ${CMAKE_COMMAND} -E env TZ=UTC ${ZIP_PROGRAM} -X -D -q ${ZIP} ${files}
                WORKING_DIRECTORY ${stage} RESULT_VARIABLE result)
if(NOT touched EQUAL 0 OR NOT result EQUAL 0)
  message(FATAL_ERROR "cannot make ${ZIP}")
endif()
file(REMOVE_RECURSE ${stage})

file(SHA256 ${ZIP} hash)
file(WRITE ${out}/SHA256SUMS "${hash}  ${name}\n")
