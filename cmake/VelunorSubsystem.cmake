# A static library of the files listed after SOURCES (sources and headers,
# relative to the folder).
function(velunor_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LINK" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR}/src)
  target_link_libraries(${name} PUBLIC ${ARG_LINK})
endfunction()

# Called at the end of a folder whose libraries list their files: a file of
# the folder that no library lists would silently be left out of the build,
# so configuring stops and names it.
function(velunor_require_listed)
  file(GLOB _present CONFIGURE_DEPENDS
    ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/*.h
    ${CMAKE_CURRENT_SOURCE_DIR}/*.ui
    ${CMAKE_CURRENT_SOURCE_DIR}/*.qrc)
  get_directory_property(_targets BUILDSYSTEM_TARGETS)
  set(_listed)
  foreach(_t IN LISTS _targets)
    get_target_property(_src ${_t} SOURCES)
    foreach(_f IN LISTS _src)
      get_filename_component(_abs ${_f} ABSOLUTE BASE_DIR ${CMAKE_CURRENT_SOURCE_DIR})
      list(APPEND _listed ${_abs})
    endforeach()
  endforeach()
  list(REMOVE_ITEM _present ${_listed})
  if(_present)
    list(JOIN _present "\n  " _missing)
    message(FATAL_ERROR "Not in any library of ${CMAKE_CURRENT_LIST_FILE}:\n  ${_missing}")
  endif()
endfunction()

# A test program: every .cpp of a tests/ folder, with the shared test main.
function(velunor_test_folder name)
  cmake_parse_arguments(ARG "" "" "LINK" ${ARGN})
  file(GLOB _src CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  if(NOT _src)
    return()
  endif()
  add_executable(${name} ${_src})
  target_link_libraries(${name} PRIVATE velunor_testsupport ${ARG_LINK})
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 60
    PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen"
               TIMEOUT 300)
endfunction()

# The SONAME of the library `lib` (as -l takes it: heif, jxl), into `out`:
# what a program loading it on demand asks the dynamic loader for. Each one
# is also listed in on-demand-libraries.txt of the build tree, for the
# package's dependencies, which dpkg-shlibdeps cannot see.
function(velunor_soname out lib)
  find_library(_path_${lib} NAMES ${lib} REQUIRED)
  execute_process(COMMAND objdump -p ${_path_${lib}} OUTPUT_VARIABLE _dump RESULT_VARIABLE _rc)
  string(REGEX MATCH "SONAME +([^ \n]+)" _match "${_dump}")
  if(NOT _rc EQUAL 0 OR NOT CMAKE_MATCH_1)
    message(FATAL_ERROR "No SONAME found in ${_path_${lib}}")
  endif()
  set(${out} ${CMAKE_MATCH_1} PARENT_SCOPE)
  file(APPEND ${CMAKE_BINARY_DIR}/on-demand-libraries.txt "${CMAKE_MATCH_1}\n")
endfunction()

# A target that reads HEIC/HEIF/AVIF and JPEG XL through the on-demand
# forwarders: the libraries' headers and their SONAMEs, no link.
function(velunor_on_demand_pictures target)
  target_include_directories(${target} PRIVATE $<TARGET_PROPERTY:PkgConfig::LIBHEIF,INTERFACE_INCLUDE_DIRECTORIES>
                             $<TARGET_PROPERTY:PkgConfig::LIBJXL,INTERFACE_INCLUDE_DIRECTORIES>)
  target_compile_definitions(${target} PRIVATE VELUNOR_HEIF_SONAME="${VELUNOR_HEIF_SONAME}"
                             VELUNOR_JXL_SONAME="${VELUNOR_JXL_SONAME}")
  target_link_libraries(${target} PRIVATE ${CMAKE_DL_LIBS})
endfunction()
