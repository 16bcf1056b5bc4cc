# Builds and runs the consumer project in app/ one way (MODE) and checks its wrench transform.
#   MODE=add_subdirectory: the consumer embeds SOURCE_DIR; configured without nanobind, GoogleTest,
#     Python or Google Benchmark, it must build the library alone and leave its build type unset.
#   MODE=installed: installs the component "cpp" of the build tree BINARY_DIR into a fresh prefix,
#     then builds the consumer with find_package and, when PKG_CONFIG is given, with pkg-config.
# Usage: cmake -DMODE=… -DSOURCE_DIR=… -DBINARY_DIR=… -DWORK_DIR=… -DGENERATOR=… -DCXX=…
#              [-DPKG_CONFIG=…] -P check_consumer.cmake
cmake_minimum_required(VERSION 3.21)
set(app_dir "${CMAKE_CURRENT_LIST_DIR}/app")

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT result EQUAL 0)
    list(JOIN ARGN " " command)
    message(FATAL_ERROR "failed (${result}): ${command}\n${out}\n${err}")
  endif()
  set(run_output "${out}" PARENT_SCOPE)
endfunction()

function(check_program program)
  run("${program}")
  if(NOT run_output MATCHES "\nok\n")
    message(FATAL_ERROR "${program}:\n${run_output}")
  endif()
  message(STATUS "${program}: ${run_output}")
endfunction()

# Configures (incrementally when the folder exists) and builds app/ into `build_dir`.
function(build_app build_dir)
  run("${CMAKE_COMMAND}" -S "${app_dir}" -B "${build_dir}" -G "${GENERATOR}"
      "-DCMAKE_CXX_COMPILER=${CXX}" ${ARGN})
  run("${CMAKE_COMMAND}" --build "${build_dir}" -j 2)
endfunction()

if(MODE STREQUAL "add_subdirectory")
  set(build_dir "${WORK_DIR}/add_subdirectory")
  build_app("${build_dir}" "-DKIVO_SOURCE_DIR=${SOURCE_DIR}"
            -DCMAKE_DISABLE_FIND_PACKAGE_nanobind=ON -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON
            -DCMAKE_DISABLE_FIND_PACKAGE_Python=ON -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON)
  load_cache("${build_dir}" READ_WITH_PREFIX cache_ CMAKE_BUILD_TYPE KIVO_BUILD_PYTHON
             KIVO_BUILD_TESTS KIVO_BUILD_EXAMPLES KIVO_BUILD_BENCHMARKS)
  if(NOT "${cache_CMAKE_BUILD_TYPE}" STREQUAL "")
    message(FATAL_ERROR "the embedded project set the parent's build type: '${cache_CMAKE_BUILD_TYPE}'")
  endif()
  foreach(option PYTHON TESTS EXAMPLES BENCHMARKS)
    if(cache_KIVO_BUILD_${option})
      message(FATAL_ERROR "KIVO_BUILD_${option} is on by default in a parent project")
    endif()
  endforeach()
  check_program("${build_dir}/consumer")

elseif(MODE STREQUAL "installed")
  set(prefix "${WORK_DIR}/prefix")
  file(REMOVE_RECURSE "${prefix}")
  run("${CMAKE_COMMAND}" --install "${BINARY_DIR}" --component cpp --prefix "${prefix}")

  build_app("${WORK_DIR}/find_package" "-DCMAKE_PREFIX_PATH=${prefix}")
  check_program("${WORK_DIR}/find_package/consumer")

  if(PKG_CONFIG)
    file(GLOB_RECURSE pc_files "${prefix}/*/kivo_tf_utils.pc")
    list(LENGTH pc_files pc_count)
    if(NOT pc_count EQUAL 1)
      message(FATAL_ERROR "expected one installed kivo_tf_utils.pc, found: ${pc_files}")
    endif()
    get_filename_component(pc_dir "${pc_files}" DIRECTORY)
    set(ENV{PKG_CONFIG_PATH} "${pc_dir}")
    run("${PKG_CONFIG}" --cflags --libs kivo_tf_utils)
    separate_arguments(flags UNIX_COMMAND "${run_output}")
    run("${PKG_CONFIG}" --variable=libdir kivo_tf_utils)
    string(STRIP "${run_output}" libdir)
    set(program "${WORK_DIR}/pkg_config/consumer")
    file(MAKE_DIRECTORY "${WORK_DIR}/pkg_config")
    run("${CXX}" -std=c++17 "${app_dir}/main.cpp" ${flags} "-Wl,-rpath,${libdir}" -o "${program}")
    check_program("${program}")
  else()
    message(STATUS "pkg-config not found: the pkg-config way is not checked")
  endif()
else()
  message(FATAL_ERROR "MODE must be add_subdirectory or installed, not '${MODE}'")
endif()
