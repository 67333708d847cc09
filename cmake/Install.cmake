# SPDX-License-Identifier: BSD-3-Clause
# cmake --install: the program, its plug-ins and built-ins with their descriptions, the host
# libraries, the headers a component is written against and the CMake package Penstock, with
# which a component of one's own is built outside this tree (find_package(Penstock) and
# penstock_add_component(), cmake/PenstockComponent.cmake).
#
# The installed tree keeps the build tree's relative layout, which the program relies on: it looks
# for plugins/ and builtins/ beside its own bin/, and everything finds the host libraries in ../lib.
#   <prefix>/bin/penstock
#   <prefix>/lib/libne_mli.so, libfoundation_util.so
#   <prefix>/lib/penstock/runtime/...   the runtime's objects, compiled into every plug-in
#   <prefix>/lib/cmake/Penstock/        the package
#   <prefix>/plugins/, <prefix>/builtins/   <Name>.so with <Name>.yaml beside it
#   <prefix>/include/penstock/          ne_mli.h, slots.hpp and the frame's headers
#   <prefix>/python/penstock/           the Python module, when it is built (its rules in python/)
include(CMakePackageConfigHelpers)
set(PENSTOCK_CMAKE_DIR lib/cmake/Penstock)

# The include folders as seen from the build tree and from the installed one.
foreach(target penstock_abi penstock_runtime_headers)
  get_target_property(dirs ${target} INTERFACE_INCLUDE_DIRECTORIES)
  set_target_properties(${target} PROPERTIES INTERFACE_INCLUDE_DIRECTORIES
    "$<BUILD_INTERFACE:${dirs}>;$<INSTALL_INTERFACE:include>")
endforeach()
# The host libraries' own headers (engine/include) serve the host alone; a plug-in needs the ABI.
foreach(target ne_mli foundation_util)
  get_target_property(dirs ${target} INTERFACE_INCLUDE_DIRECTORIES)
  set_target_properties(${target} PROPERTIES INTERFACE_INCLUDE_DIRECTORIES "$<BUILD_INTERFACE:${dirs}>")
endforeach()
# A plug-in is C++20 wherever it is built: the frame uses designated initialisers and concepts.
target_compile_features(penstock_runtime_headers INTERFACE cxx_std_20)

install(TARGETS penstock RUNTIME DESTINATION bin)
install(TARGETS ne_mli foundation_util penstock_abi penstock_runtime_headers penstock_runtime
        EXPORT PenstockTargets
        LIBRARY DESTINATION lib
        OBJECTS DESTINATION lib/penstock/runtime)
install(FILES abi/include/penstock/ne_mli.h abi/include/penstock/slots.hpp
              runtime/include/penstock/frame.hpp runtime/include/penstock/guarded_math.hpp
              runtime/include/penstock/hydraulics.hpp runtime/include/penstock/declarations.hpp
        DESTINATION include/penstock)

# The plug-ins and built-ins, each with its description (copied beside it at build time).
get_property(plugins GLOBAL PROPERTY PENSTOCK_PLUGINS)
install(TARGETS ${plugins} LIBRARY DESTINATION plugins)
install(DIRECTORY ${PENSTOCK_PLUGIN_DIR}/ DESTINATION plugins FILES_MATCHING PATTERN "*.yaml")
get_property(builtins GLOBAL PROPERTY PENSTOCK_BUILTINS)
install(TARGETS ${builtins} LIBRARY DESTINATION builtins)
install(DIRECTORY ${CMAKE_BINARY_DIR}/builtins/ DESTINATION builtins FILES_MATCHING PATTERN "*.yaml")

install(EXPORT PenstockTargets NAMESPACE Penstock:: DESTINATION ${PENSTOCK_CMAKE_DIR})
set(PENSTOCK_LIBRARY_DESTINATION lib)
configure_package_config_file(cmake/PenstockConfig.cmake.in ${CMAKE_BINARY_DIR}/cmake/PenstockConfig.cmake
                              INSTALL_DESTINATION ${PENSTOCK_CMAKE_DIR} PATH_VARS PENSTOCK_LIBRARY_DESTINATION)
# Plug-ins are tied to the host of the same minor version: the ABI is not promised across them.
write_basic_package_version_file(${CMAKE_BINARY_DIR}/cmake/PenstockConfigVersion.cmake
                                 COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_BINARY_DIR}/cmake/PenstockConfig.cmake ${CMAKE_BINARY_DIR}/cmake/PenstockConfigVersion.cmake
              cmake/PenstockComponent.cmake cmake/plugin.map
        DESTINATION ${PENSTOCK_CMAKE_DIR})
