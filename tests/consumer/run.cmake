# Builds the consumer project against zunfs twice: through add_subdirectory
# of the checkout, and through find_package after cmake --install.
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})
set(project ${CMAKE_CURRENT_LIST_DIR}/project)

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed: ${ARGN}\n${out}\n${err}")
  endif()
endfunction()

# 1. add_subdirectory
run(${CMAKE_COMMAND} -S ${project} -B ${WORK_DIR}/sub -G ${GENERATOR} -DZUNFS_SOURCE=${SOURCE_DIR})
run(${CMAKE_COMMAND} --build ${WORK_DIR}/sub)
run(${WORK_DIR}/sub/host_c)
run(${WORK_DIR}/sub/host_cpp)

# 2. install, then find_package (static libraries, then shared ones)
foreach(shared OFF ON)
  set(lib ${WORK_DIR}/lib-${shared})
  run(${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${lib}/build -G ${GENERATOR} -DBUILD_SHARED_LIBS=${shared}
      -DZUNFS_BUILD_TESTS=OFF -DZUNFS_BUILD_TOOLS=OFF -DZUNFS_BUILD_EXAMPLES=OFF
      -DCMAKE_INSTALL_PREFIX=${lib}/prefix)
  run(${CMAKE_COMMAND} --build ${lib}/build)
  run(${CMAKE_COMMAND} --install ${lib}/build)
  run(${CMAKE_COMMAND} -S ${project} -B ${lib}/host -G ${GENERATOR} -DCMAKE_PREFIX_PATH=${lib}/prefix
      -DCMAKE_BUILD_RPATH=${lib}/prefix/lib)
  run(${CMAKE_COMMAND} --build ${lib}/host)
  run(${lib}/host/host_c)
  run(${lib}/host/host_cpp)
endforeach()
# pkg-config file is installed
if(NOT EXISTS ${WORK_DIR}/lib-OFF/prefix/lib/pkgconfig/zunfs.pc)
  message(FATAL_ERROR "zunfs.pc not installed")
endif()
file(REMOVE_RECURSE ${WORK_DIR})
