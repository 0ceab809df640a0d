# The installation: the exported headers, the two libraries, the user tools, the CMake package
# (find_package(tarnkernl CONFIG) with the targets tarnkernl::tarnkernl and tarnkernl::tarnrt
# and the family's functions) and a pkg-config file with the same link rules. Every path in
# the package files is relative to the installation, which may be moved.
include(CMakePackageConfigHelpers)

set(tarn_package_dir ${CMAKE_INSTALL_LIBDIR}/cmake/tarnkernl)
set(tarn_exported tarnkernl tarnrt tarnrt_family tarnmui)
if(TARGET tarnrt_crt)
  list(APPEND tarn_exported tarnrt_crt)
endif()
install(TARGETS ${tarn_exported} EXPORT tarnkernlTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(DIRECTORY include/tarnkernl DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT tarnkernlTargets NAMESPACE tarnkernl:: DESTINATION ${tarn_package_dir})

configure_package_config_file(cmake/tarnkernlConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/tarnkernlConfig.cmake INSTALL_DESTINATION ${tarn_package_dir})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/tarnkernlConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES
  ${CMAKE_CURRENT_BINARY_DIR}/tarnkernlConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/tarnkernlConfigVersion.cmake
  cmake/TarnFamily.cmake cmake/TarnLanguages.cmake
  DESTINATION ${tarn_package_dir})

# pkg-config: the same rules as the CMake targets, for builds without CMake.
# The import libraries are named whole: "-static" makes the linker look for static archives only.
if(WIN32)
  set(tarn_pc_libs "-Wl,--whole-archive -ltarnrt_crt -Wl,--no-whole-archive")
  set(tarn_pc_libs "${tarn_pc_libs} -l:libtarnkernl.dll.a -l:libtarnrt.dll.a -static")
  set(tarn_pc_libs "${tarn_pc_libs} -Wl,--undefined=${TARN_KEEP_SYMBOL}")
else()
  set(tarn_pc_libs "-Wl,--no-as-needed -ltarnkernl -ltarnrt -Wl,--export-dynamic")
endif()
configure_file(cmake/tarnkernl.pc.in ${CMAKE_CURRENT_BINARY_DIR}/tarnkernl.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/tarnkernl.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
