# SPDX-License-Identifier: BSD-3-Clause
# penstock_add_plugin(<Deliverable> <source>): one component plug-in, build/plugins/<Deliverable>.so,
# with the runtime compiled in, mexFunction as its only export, and the host libraries found
# through RUNPATH $ORIGIN/../lib. A network description <stem>.yaml beside the source is copied
# beside the plug-in as <Deliverable>.yaml. OUTPUT_DIRECTORY <dir> builds it elsewhere (the host's
# built-ins), and then it is not one of the deliverables listed in PENSTOCK_PLUGINS. Every plug-in,
# built-in or not, is listed as <Deliverable>=<source> in PENSTOCK_DECLARED, for the tests that
# compile its component's declaration.
set(PENSTOCK_PLUGIN_MAP ${CMAKE_CURRENT_LIST_DIR}/plugin.map)

function(penstock_add_plugin name source)
  cmake_parse_arguments(ARG "" "OUTPUT_DIRECTORY" "" ${ARGN})
  set(out ${PENSTOCK_PLUGIN_DIR})
  if(ARG_OUTPUT_DIRECTORY)
    set(out ${ARG_OUTPUT_DIRECTORY})
  endif()
  add_library(${name} MODULE ${source} $<TARGET_OBJECTS:penstock_runtime>)
  set_target_properties(${name} PROPERTIES
    PREFIX ""
    LIBRARY_OUTPUT_DIRECTORY ${out}
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON
    LINK_DEPENDS ${PENSTOCK_PLUGIN_MAP})
  target_compile_options(${name} PRIVATE -fno-exceptions -fno-rtti)
  target_link_libraries(${name} PRIVATE penstock_runtime_headers ne_mli foundation_util)
  target_link_options(${name} PRIVATE -Wl,--version-script=${PENSTOCK_PLUGIN_MAP} -Wl,--as-needed)
  get_filename_component(dir ${source} DIRECTORY)
  get_filename_component(stem ${source} NAME_WE)
  if(EXISTS ${dir}/${stem}.yaml)
    configure_file(${dir}/${stem}.yaml ${out}/${name}.yaml COPYONLY)
  endif()
  if(NOT ARG_OUTPUT_DIRECTORY)
    set_property(GLOBAL APPEND PROPERTY PENSTOCK_PLUGINS ${name})
  endif()
  set_property(GLOBAL APPEND PROPERTY PENSTOCK_DECLARED "${name}=${source}")
endfunction()
