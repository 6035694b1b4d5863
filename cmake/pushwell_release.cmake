# Release side of the build: the one version header and manifest generated from
# project(VERSION), a version resource in every program and library, reproducible
# links, the language files beside the executable, and the pedantic product build.

set(PUSHWELL_COMPANY_NAME "Device maker (set PUSHWELL_COMPANY_NAME)" CACHE STRING
    "CompanyName written into every version resource")
set(PUSHWELL_GENERATED_DIR ${CMAKE_BINARY_DIR}/generated)
set(PUSHWELL_VERSION_QUAD ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.0)
configure_file(${CMAKE_SOURCE_DIR}/resources/pushwell_version.h.in ${PUSHWELL_GENERATED_DIR}/pushwell_version.h @ONLY)
configure_file(${CMAKE_SOURCE_DIR}/resources/pushwell.manifest.in ${PUSHWELL_GENERATED_DIR}/pushwell.manifest @ONLY)

# Same sources, same bytes, wherever the tree and the build folder lie.
add_compile_options($<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${CMAKE_SOURCE_DIR}=.>
                    $<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${CMAKE_BINARY_DIR}=build>)

# Product code: no compiler extensions. Files listed in PUSHWELL_PEDANTIC_PENDING
# still warn and are built without -Werror until they are mended.
option(PUSHWELL_PEDANTIC "Build the product code with -Wpedantic -Werror" ON)
set(PUSHWELL_PEDANTIC_PENDING "" CACHE STRING "Product sources still built without -Wpedantic -Werror")

function(pushwell_pedantic)
  if(NOT PUSHWELL_PEDANTIC)
    return()
  endif()
  foreach(target ${ARGN})
    target_compile_options(${target} PRIVATE $<$<COMPILE_LANGUAGE:C,CXX>:-Wpedantic -Werror>)
  endforeach()
  foreach(src ${PUSHWELL_PEDANTIC_PENDING})
    set_property(SOURCE ${CMAKE_SOURCE_DIR}/${src} APPEND PROPERTY COMPILE_OPTIONS -Wno-error -Wno-pedantic)
  endforeach()
endfunction()

if(NOT WIN32)
  return()
endif()

# No link time in the PE header, so two builds of one commit are byte-identical.
add_link_options(-Wl,--no-insert-timestamp)

# Resource scripts that take files in by name (icon, manifest, headers) are not
# scanned for them: name those files as dependencies.
function(pushwell_resource_depends rc_file directory)
  file(GLOB headers ${CMAKE_SOURCE_DIR}/resources/*.h)
  set_source_files_properties(${rc_file} DIRECTORY ${directory} PROPERTIES OBJECT_DEPENDS
    "${CMAKE_SOURCE_DIR}/resources/pushwell.ico;${PUSHWELL_GENERATED_DIR}/pushwell.manifest;${PUSHWELL_GENERATED_DIR}/pushwell_version.h;${headers}")
endfunction()

# Gives every executable and shared library defined under `directory` a version
# resource of its own (description from the target's PUSHWELL_DESCRIPTION, else
# its name). Called once at the end of the top-level file, after every target.
function(pushwell_add_version_resources directory)
  get_property(targets DIRECTORY ${directory} PROPERTY BUILDSYSTEM_TARGETS)
  foreach(target ${targets})
    get_target_property(type ${target} TYPE)
    if(type STREQUAL "EXECUTABLE")
      set(version_file_type VFT_APP)
    elseif(type STREQUAL "SHARED_LIBRARY" OR type STREQUAL "MODULE_LIBRARY")
      set(version_file_type VFT_DLL)
    else()
      continue()
    endif()
    get_target_property(version_description ${target} PUSHWELL_DESCRIPTION)
    if(NOT version_description)
      set(version_description "Pushwell ${target}")
    endif()
    set(version_target ${target})
    set(template ${PUSHWELL_GENERATED_DIR}/version/${target}.rc.in)
    set(script ${PUSHWELL_GENERATED_DIR}/version/${target}.rc)
    configure_file(${CMAKE_SOURCE_DIR}/resources/version_info.rc.in ${template} @ONLY)
    file(GENERATE OUTPUT ${script} INPUT ${template})
    target_sources(${target} PRIVATE ${script})
    set_source_files_properties(${script} DIRECTORY ${directory} PROPERTIES
      GENERATED TRUE OBJECT_DEPENDS ${PUSHWELL_GENERATED_DIR}/pushwell_version.h)
  endforeach()
  get_property(subdirectories DIRECTORY ${directory} PROPERTY SUBDIRECTORIES)
  foreach(subdirectory ${subdirectories})
    pushwell_add_version_resources(${subdirectory})
  endforeach()
endfunction()

# lang.ini and the language packs (resources/lang/*.ini) beside the executable,
# as the package lays them out.
function(pushwell_copy_language_files output_dir)
  file(GLOB packs CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/resources/lang/*.ini)
  set(outputs)
  foreach(src ${CMAKE_SOURCE_DIR}/resources/lang.ini ${packs})
    file(RELATIVE_PATH rel ${CMAKE_SOURCE_DIR}/resources ${src})
    get_filename_component(rel_dir ${rel} DIRECTORY)
    add_custom_command(OUTPUT ${output_dir}/${rel}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${output_dir}/${rel_dir}
      COMMAND ${CMAKE_COMMAND} -E copy ${src} ${output_dir}/${rel}
      DEPENDS ${src} VERBATIM)
    list(APPEND outputs ${output_dir}/${rel})
  endforeach()
  add_custom_target(pushwell_language_files ALL DEPENDS ${outputs})
endfunction()

# The end user's README of the package, with the version filled in.
configure_file(${CMAKE_SOURCE_DIR}/resources/README.txt.in ${PUSHWELL_GENERATED_DIR}/README.txt @ONLY)
