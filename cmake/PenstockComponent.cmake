# SPDX-License-Identifier: BSD-3-Clause
# penstock_add_component(<Name> SOURCES <file.cpp>... DESCRIPTION <Name.yaml> [OUTPUT_DIRECTORY <dir>])
#
# Builds the plug-in <Name>.so of a component of one's own as Penstock builds its own: the runtime
# compiled in, C++20, exact floating point (-ffp-contract=off, never fast math), no exceptions or
# RTTI, hidden visibility with mexFunction as the one export, and a RUNPATH to the installed host
# libraries. The network description is copied beside the plug-in as <Name>.yaml, since the host
# loads no plug-in without it. OUTPUT_DIRECTORY (default: the current binary folder) is the folder
# to give to `penstock simulate --plugins`.
function(penstock_add_component name)
  cmake_parse_arguments(PARSE_ARGV 1 ARG "" "DESCRIPTION;OUTPUT_DIRECTORY" "SOURCES")
  if(ARG_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "penstock_add_component(${name}): unknown arguments ${ARG_UNPARSED_ARGUMENTS}")
  endif()
  if(NOT ARG_SOURCES)
    message(FATAL_ERROR "penstock_add_component(${name}): SOURCES is missing")
  endif()
  if(NOT ARG_DESCRIPTION)
    message(FATAL_ERROR "penstock_add_component(${name}): DESCRIPTION is missing: the host loads no "
                        "plug-in without its network description <Name>.yaml")
  endif()
  get_filename_component(description "${ARG_DESCRIPTION}" ABSOLUTE)
  if(NOT EXISTS "${description}")
    message(FATAL_ERROR "penstock_add_component(${name}): no description ${description}")
  endif()
  set(out "${CMAKE_CURRENT_BINARY_DIR}")
  if(ARG_OUTPUT_DIRECTORY)
    get_filename_component(out "${ARG_OUTPUT_DIRECTORY}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_BINARY_DIR}")
  endif()
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL PENSTOCK_CXX_COMPILER_ID)
    message(WARNING "Penstock was built with ${PENSTOCK_CXX_COMPILER_ID} ${PENSTOCK_CXX_COMPILER_VERSION}, "
                    "this plug-in is built with ${CMAKE_CXX_COMPILER_ID}: use the same compiler")
  endif()

  add_library(${name} MODULE ${ARG_SOURCES} $<TARGET_OBJECTS:Penstock::penstock_runtime>)
  set_target_properties(${name} PROPERTIES
    PREFIX ""
    SUFFIX ".so"
    LIBRARY_OUTPUT_DIRECTORY "${out}"
    CXX_STANDARD 20
    CXX_STANDARD_REQUIRED ON
    CXX_EXTENSIONS OFF
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON
    LINK_DEPENDS "${PENSTOCK_PLUGIN_MAP}"
    BUILD_RPATH "${PENSTOCK_LIBRARY_DIR}"
    INSTALL_RPATH "${PENSTOCK_LIBRARY_DIR}")
  # Exact floating point: the grouping written in a formula is the grouping computed. Given after
  # the user's flags, so that a -ffast-math there is undone for the plug-in.
  target_compile_options(${name} PRIVATE -ffp-contract=off -fno-fast-math -fno-exceptions -fno-rtti)
  target_link_libraries(${name} PRIVATE Penstock::penstock_runtime_headers Penstock::ne_mli Penstock::foundation_util)
  target_link_options(${name} PRIVATE -Wl,--version-script=${PENSTOCK_PLUGIN_MAP} -Wl,--as-needed
                      -Wl,--enable-new-dtags)
  if(PENSTOCK_SANITIZE)
    # The runtime's objects were compiled with these sanitizers: the plug-in is built with them too.
    target_compile_options(${name} PRIVATE -fsanitize=${PENSTOCK_SANITIZE} -fno-omit-frame-pointer
                           -fno-sanitize-recover=all)
    target_compile_definitions(${name} PRIVATE PENSTOCK_SANITIZED)
    target_link_options(${name} PRIVATE -fsanitize=${PENSTOCK_SANITIZE})
  endif()
  add_custom_command(TARGET ${name} POST_BUILD
                     COMMAND ${CMAKE_COMMAND} -E copy_if_different "${description}" "${out}/${name}.yaml"
                     COMMENT "Description ${name}.yaml beside ${name}.so")
  set_property(TARGET ${name} APPEND PROPERTY LINK_DEPENDS "${description}")
endfunction()
