# omniORB 4: the CORBA runtime of the remote interface. IDL files are
# compiled with omniidl into the build tree.
find_program(OMNIIDL omniidl REQUIRED)
find_path(OMNIORB_INCLUDE_DIR omniORB4/CORBA.h REQUIRED)
find_library(OMNIORB_LIB omniORB4 REQUIRED)
find_library(OMNITHREAD_LIB omnithread REQUIRED)
find_library(OMNIDYNAMIC_LIB omniDynamic4)

# The remote service was verified with omniORB 4.2 only: its transport of
# the ORB's proprietary interface (platform/remote/orb_transport.cpp), the
# reads of connection objects that the interface does not offer, as 4.2 lays
# them out (orb_adapter.cpp), and what it relies on of how the ORB keeps its
# connections (remote_outgoing.cpp; see CONTRIBUTING.md). Another version may
# differ where no compiler sees it. The version read here is also the one
# the server requires of the ORB library at run time (orb_version.h).
set(ZV_OMNIORB_VERIFIED "4.2")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${OMNIORB_INCLUDE_DIR}/omniORB4/acconfig.h")
file(STRINGS "${OMNIORB_INCLUDE_DIR}/omniORB4/acconfig.h" _omni_version_line
     REGEX "^#define PACKAGE_VERSION \"[^\"]*\"")
string(REGEX REPLACE "^#define PACKAGE_VERSION \"([^\"]*)\".*" "\\1" OMNIORB_VERSION "${_omni_version_line}")
if(NOT OMNIORB_VERSION MATCHES "^${ZV_OMNIORB_VERIFIED}\\.")
  message(FATAL_ERROR "omniORB ${ZV_OMNIORB_VERIFIED}.x is required, found '${OMNIORB_VERSION}' "
                      "(${OMNIORB_INCLUDE_DIR}/omniORB4/acconfig.h): the remote service "
                      "(platform/remote/) was verified with ${ZV_OMNIORB_VERIFIED} only.")
endif()
message(STATUS "omniORB ${OMNIORB_VERSION}")

function(zv_omniidl out_var)
  set(_outs)
  foreach(_idl ${ARGN})
    get_filename_component(_base ${_idl} NAME_WE)
    set(_dir ${CMAKE_BINARY_DIR}/generated/idl)
    add_custom_command(
      OUTPUT ${_dir}/${_base}SK.cc ${_dir}/${_base}.hh
      COMMAND ${CMAKE_COMMAND} -E make_directory ${_dir}
      COMMAND ${OMNIIDL} -bcxx -Wba -C${_dir} ${_idl}
      DEPENDS ${_idl}
      COMMENT "omniidl ${_base}.idl")
    list(APPEND _outs ${_dir}/${_base}SK.cc)
  endforeach()
  set(${out_var} ${_outs} PARENT_SCOPE)
endfunction()
