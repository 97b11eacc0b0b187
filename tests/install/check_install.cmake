# Installs the build under a scratch prefix, then builds and runs a consumer against it with
# find_package and with pkg-config, checks that pkg-config resolves the same prefix and that
# tclsh finds the backend package and the host package through one TCLLIBPATH, and the man page
# of ipc_run.
set(prefix ${WORK_DIR}/prefix)
file(REMOVE_RECURSE ${WORK_DIR})

function(run_step)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE output
                  ERROR_VARIABLE output)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "failed: ${ARGN}\n${output}")
  endif()
  set(step_output "${output}" PARENT_SCOPE)
endfunction()

run_step(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
run_step(${CMAKE_COMMAND} -S ${SOURCE_DIR}/tests/install/consumer -B ${WORK_DIR}/consumer
         -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_BUILD_TYPE=Release)
run_step(${CMAKE_COMMAND} --build ${WORK_DIR}/consumer)
run_step(${WORK_DIR}/consumer/consumer)
message(STATUS "consumer: ${step_output}")

file(GLOB_RECURSE pc_files ${prefix}/*/ipc.pc)
list(GET pc_files 0 pc_file)
get_filename_component(pc_dir ${pc_file} DIRECTORY)
set(ENV{PKG_CONFIG_PATH} ${pc_dir})
run_step(pkg-config --cflags --libs ipc)
# The same consumer built with nothing but pkg-config's flags.
separate_arguments(pc_flags UNIX_COMMAND "${step_output}")
run_step(c++ -std=c++17 ${SOURCE_DIR}/tests/install/consumer/main.cpp ${pc_flags}
         -o ${WORK_DIR}/consumer_pc)
get_filename_component(lib_dir ${pc_dir} DIRECTORY)
set(ENV{LD_LIBRARY_PATH} ${lib_dir})
run_step(${WORK_DIR}/consumer_pc)
unset(ENV{LD_LIBRARY_PATH})
file(REAL_PATH ${prefix}/include include_dir)
execute_process(COMMAND pkg-config --variable=includedir ipc OUTPUT_VARIABLE pc_include
                OUTPUT_STRIP_TRAILING_WHITESPACE)
file(REAL_PATH ${pc_include} pc_include_real)
if(NOT pc_include_real STREQUAL include_dir)
  message(FATAL_ERROR "pkg-config gives ${pc_include_real}, installed under ${include_dir}")
endif()

# ipc_run's man page, where man looks for it, is the one a test keeps in step with --help.
set(man_page ${prefix}/share/man/man1/ipc_run.1)
if(NOT EXISTS ${man_page})
  message(FATAL_ERROR "no man page at ${man_page}")
endif()
run_step(${CMAKE_COMMAND} -E compare_files ${man_page} ${SOURCE_DIR}/tools/ipc_run/ipc_run.1)

# Both Tcl packages through one TCLLIBPATH: the backend package and the host package, a loadable
# module that finds its libraries from where it was installed.
set(ENV{TCLLIBPATH} ${prefix}/lib/tcltk)
run_step(tclsh8.6 ${SOURCE_DIR}/tests/install/require_packages.tcl)
if(NOT step_output STREQUAL "ipc_backend 1.0\nipc 1.0 ok 1\n")
  message(FATAL_ERROR "package require gave: ${step_output}")
endif()
