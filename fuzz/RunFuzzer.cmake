# Runs one libFuzzer target for SECONDS over a fresh copy of its committed corpus in WORK, so
# the corpus in the source tree is never modified; a fault fails the test and leaves its
# input in WORK/artifacts. Called by CTest:
#   cmake -DFUZZER=<program> -DCORPUS=<dir> -DWORK=<dir> -DSECONDS=<n> -P RunFuzzer.cmake
foreach(var FUZZER CORPUS WORK SECONDS)
    if(NOT DEFINED ${var})
        message(FATAL_ERROR "RunFuzzer.cmake needs -D${var}=...")
    endif()
endforeach()

file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/corpus ${WORK}/artifacts)
file(COPY ${CORPUS}/ DESTINATION ${WORK}/corpus)

# -timeout: one input running for 10 s is a hang, not slowness.
execute_process(
    COMMAND ${FUZZER} -max_total_time=${SECONDS} -timeout=10 -print_final_stats=1
            -artifact_prefix=${WORK}/artifacts/ ${WORK}/corpus
    RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "${FUZZER} found a fault (exit ${result}); its input is in ${WORK}/artifacts")
endif()
