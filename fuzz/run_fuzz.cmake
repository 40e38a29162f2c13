# Runs one libFuzzer program for RUNS executions (at most SECONDS) over its working and
# seed corpora, and fails unless it got through all of them: a time cap reached first on a
# slow machine would otherwise pass with fewer executions than asked for.
# cmake -DPROG=... -DWORK=... -DSEEDS=... -DRUNS=... -DSECONDS=... [-DMAXLEN=...] -P run_fuzz.cmake
set(len_arg)
if(MAXLEN)
  set(len_arg -max_len=${MAXLEN})
endif()
execute_process(
  COMMAND "${PROG}" -runs=${RUNS} ${len_arg} -max_total_time=${SECONDS} -timeout=20 -rss_limit_mb=2048
          -print_final_stats=1 "${WORK}" "${SEEDS}"
  RESULT_VARIABLE rc
  OUTPUT_VARIABLE out
  ERROR_VARIABLE out)
message("${out}")
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${PROG} failed (${rc})")
endif()
if(NOT out MATCHES "stat::number_of_executed_units: ([0-9]+)")
  message(FATAL_ERROR "${PROG} printed no execution count")
endif()
set(done ${CMAKE_MATCH_1})
if(done LESS RUNS)
  message(FATAL_ERROR "${PROG} ran ${done} of ${RUNS} executions within ${SECONDS} s")
endif()
message("${PROG}: ${done} executions")
