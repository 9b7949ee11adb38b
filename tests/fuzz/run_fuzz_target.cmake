# SPDX-License-Identifier: MIT
# Runs one libFuzzer target for a bounded time. New corpus entries go to a
# scratch directory in the build tree; the checked-in seeds are only read.
#   -DFUZZER=<executable> -DSEEDS=<checked-in corpus dir> -DSCRATCH=<dir>
#   -DMAX_TIME=<seconds>
file(REMOVE_RECURSE "${SCRATCH}")
file(MAKE_DIRECTORY "${SCRATCH}")
execute_process(
    COMMAND "${FUZZER}" "-max_total_time=${MAX_TIME}" -timeout=5 -print_final_stats=1
            "-artifact_prefix=${SCRATCH}/" "${SCRATCH}" "${SEEDS}"
    RESULT_VARIABLE Result)
if(NOT Result EQUAL 0)
    message(FATAL_ERROR "${FUZZER} failed (${Result}); crash input in ${SCRATCH}")
endif()
