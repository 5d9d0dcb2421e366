# Run by CTest (see CMakeLists.txt beside it). Fails with a message at the first thing that is off.
function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "failed (${status}): ${ARGN}\n${out}${err}")
  endif()
  set(out "${out}" PARENT_SCOPE)
endfunction()

set(prefix ${WORK_DIR}/prefix)
file(REMOVE_RECURSE ${WORK_DIR})
run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})

# Exactly these files, and nothing else (no static libraries, tests or demo).
set(lib libveskora.so)
set(expected
  ${INCLUDEDIR}/veskora.h
  ${LIBDIR}/${lib}
  ${LIBDIR}/${lib}.${SOVERSION}
  ${LIBDIR}/${lib}.${VERSION}
  ${LIBDIR}/pkgconfig/veskora.pc
  ${LIBDIR}/cmake/veskora/veskoraConfig.cmake
  ${LIBDIR}/cmake/veskora/veskoraConfigVersion.cmake
  ${LIBDIR}/cmake/veskora/veskoraTargets.cmake
  ${LIBDIR}/cmake/veskora/veskoraTargets-${BUILD_TYPE}.cmake)
list(SORT expected)
file(GLOB_RECURSE installed LIST_DIRECTORIES false RELATIVE ${prefix} ${prefix}/*)
list(SORT installed)
if(NOT installed STREQUAL expected)
  message(FATAL_ERROR "installed files differ\n  expected: ${expected}\n  installed: ${installed}")
endif()

# The development link and the SONAME link point down the chain to the versioned file.
foreach(link_and_target "${lib}=${lib}.${SOVERSION}" "${lib}.${SOVERSION}=${lib}.${VERSION}")
  string(REPLACE "=" ";" pair "${link_and_target}")
  list(GET pair 0 link)
  list(GET pair 1 target)
  if(NOT IS_SYMLINK ${prefix}/${LIBDIR}/${link})
    message(FATAL_ERROR "${link} is not a symbolic link")
  endif()
  file(READ_SYMLINK ${prefix}/${LIBDIR}/${link} points_to)
  if(NOT points_to STREQUAL target)
    message(FATAL_ERROR "${link} points to ${points_to}, not ${target}")
  endif()
endforeach()
run(${READELF} -d ${prefix}/${LIBDIR}/${lib}.${VERSION})
if(NOT out MATCHES "Library soname: \\[${lib}\\.${SOVERSION}\\]")
  message(FATAL_ERROR "the SONAME is not ${lib}.${SOVERSION}:\n${out}")
endif()

# A build under sanitizers links its hosts with the same runtime.
set(sanitize_flags "")
if(SANITIZE)
  set(sanitize_flags -fsanitize=${SANITIZE})
endif()

function(expect_greeting host)
  run(${CMAKE_COMMAND} -E env LD_LIBRARY_PATH=${prefix}/${LIBDIR} ${host})
  if(NOT out STREQUAL "Hello, Installed!\n")
    message(FATAL_ERROR "${host} printed '${out}'")
  endif()
endfunction()

# pkg-config.
run(${CMAKE_COMMAND} -E env PKG_CONFIG_PATH=${prefix}/${LIBDIR}/pkgconfig
    pkg-config --cflags --libs veskora)
separate_arguments(pkg_flags UNIX_COMMAND "${out}")
run(${C_COMPILER} -std=c99 ${sanitize_flags} ${SOURCE_DIR}/host.c ${pkg_flags} -o ${WORK_DIR}/host_pkg_config)
expect_greeting(${WORK_DIR}/host_pkg_config)

# find_package.
string(REPLACE ";" " " sanitize_flags "${sanitize_flags}")
run(${CMAKE_COMMAND} -S ${SOURCE_DIR}/consumer -B ${WORK_DIR}/consumer -G ${GENERATOR}
    -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_C_COMPILER=${C_COMPILER}
    "-DCMAKE_C_FLAGS=${sanitize_flags}" "-DCMAKE_EXE_LINKER_FLAGS=${sanitize_flags}")
run(${CMAKE_COMMAND} --build ${WORK_DIR}/consumer)
expect_greeting(${WORK_DIR}/consumer/host)
