# Builds the fuzz targets with clang in BINARY_DIR and runs each one for a
# bounded number of runs on its seed corpus. Called by the ctest test "fuzz":
#   cmake -DSOURCE_DIR=... -DBINARY_DIR=... [-DGENERATOR=...] -P run_fuzz.cmake
# QUILLAN_FUZZ_RUNS and QUILLAN_FUZZ_SECONDS (per target) in the environment
# make a longer local run; QUILLAN_FUZZ_SEED picks another seed.

find_program(CLANGXX NAMES clang++ clang++-16 clang++-15 clang++-14)
if(NOT CLANGXX)
  message(FATAL_ERROR "clang++ not found: the fuzz targets need the Debian packages clang and libclang-rt-14-dev")
endif()

set(runs 20000)
set(seconds 10)
set(seed 1)
if(DEFINED ENV{QUILLAN_FUZZ_RUNS})
  set(runs $ENV{QUILLAN_FUZZ_RUNS})
endif()
if(DEFINED ENV{QUILLAN_FUZZ_SECONDS})
  set(seconds $ENV{QUILLAN_FUZZ_SECONDS})
endif()
if(DEFINED ENV{QUILLAN_FUZZ_SEED})
  set(seed $ENV{QUILLAN_FUZZ_SEED})
endif()

set(generator_args)
if(GENERATOR)
  set(generator_args -G ${GENERATOR})
endif()
if(NOT EXISTS ${BINARY_DIR}/CMakeCache.txt)
  execute_process(COMMAND ${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${BINARY_DIR} ${generator_args}
                          -DCMAKE_CXX_COMPILER=${CLANGXX}
                  RESULT_VARIABLE rc)
  if(rc)
    file(REMOVE ${BINARY_DIR}/CMakeCache.txt)
    message(FATAL_ERROR "configuring the fuzz build failed")
  endif()
endif()
execute_process(COMMAND ${CMAKE_COMMAND} --build ${BINARY_DIR} RESULT_VARIABLE rc)
if(rc)
  message(FATAL_ERROR "building the fuzz targets failed")
endif()

set(failed)
foreach(target fuzz_upload fuzz_download fuzz_linereader)
  string(REPLACE "fuzz_" "" name ${target})
  # New inputs go to a scratch folder listed first, never into the repository's corpus.
  set(work ${BINARY_DIR}/work/${name})
  file(REMOVE_RECURSE ${work})
  file(MAKE_DIRECTORY ${work} ${BINARY_DIR}/artifacts)
  set(dict ${SOURCE_DIR}/dialogue.dict)
  string(TIMESTAMP start "%s")
  execute_process(
    COMMAND ${BINARY_DIR}/${target} -runs=${runs} -max_total_time=${seconds} -seed=${seed}
            -timeout=20 -rss_limit_mb=2048 -max_len=4096 -dict=${dict} -print_final_stats=1
            -artifact_prefix=${BINARY_DIR}/artifacts/${name}-
            ${work} ${SOURCE_DIR}/corpus/${name}
    RESULT_VARIABLE rc
    OUTPUT_VARIABLE out
    ERROR_VARIABLE out)
  string(TIMESTAMP end "%s")
  math(EXPR took "${end} - ${start}")
  string(REGEX MATCH "stat::number_of_executed_units: *[0-9]+" units "${out}")
  string(REGEX MATCH "cov: [0-9]+ ft: [0-9]+" cov "${out}")
  message(STATUS "${target}: ${units}, ${cov}, ${took} s, exit ${rc}")
  if(NOT rc EQUAL 0)
    message("${out}")
    list(APPEND failed ${target})
  endif()
endforeach()
if(failed)
  message(FATAL_ERROR "fuzz targets failed: ${failed} (inputs in ${BINARY_DIR}/artifacts)")
endif()
