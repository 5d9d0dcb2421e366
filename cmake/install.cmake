# What `cmake --install` puts under the prefix: the public header, the shared library (versioned,
# with its SONAME and development links), a pkg-config file and a CMake package exporting
# veskora::veskora.
include(CMakePackageConfigHelpers)

install(TARGETS veskora EXPORT veskoraTargets LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES include/veskora.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

set(veskora_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/veskora)
install(EXPORT veskoraTargets NAMESPACE veskora:: DESTINATION ${veskora_cmake_dir})
configure_package_config_file(cmake/veskoraConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/veskoraConfig.cmake INSTALL_DESTINATION ${veskora_cmake_dir})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/veskoraConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/veskoraConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/veskoraConfigVersion.cmake
        DESTINATION ${veskora_cmake_dir})

# The pkg-config file names the prefix given to `cmake --install --prefix`, known only when
# installing, so it is written then; the directories below the prefix are fixed now.
foreach(dir LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${dir}}")
    set(veskora_pc_${dir} "${CMAKE_INSTALL_${dir}}")
  else()
    set(veskora_pc_${dir} "\${prefix}/${CMAKE_INSTALL_${dir}}")
  endif()
endforeach()
install(CODE "
  set(veskora_pc_template [[${CMAKE_CURRENT_SOURCE_DIR}/cmake/veskora.pc.in]])
  set(veskora_pc_staged [[${CMAKE_CURRENT_BINARY_DIR}/pkgconfig/veskora.pc]])
  set(veskora_pc_libdir [[${veskora_pc_LIBDIR}]])
  set(veskora_pc_includedir [[${veskora_pc_INCLUDEDIR}]])
  set(veskora_version [[${PROJECT_VERSION}]])")
install(CODE [[
  configure_file("${veskora_pc_template}" "${veskora_pc_staged}" @ONLY)
  string(REPLACE "\${prefix}" "${CMAKE_INSTALL_PREFIX}" veskora_pc_dir "${veskora_pc_libdir}/pkgconfig")
  file(INSTALL "${veskora_pc_staged}" DESTINATION "${veskora_pc_dir}")
]])
