# omniORB 4: the CORBA runtime of the remote interface. IDL files are
# compiled with omniidl into the build tree.
find_program(OMNIIDL omniidl REQUIRED)
find_path(OMNIORB_INCLUDE_DIR omniORB4/CORBA.h REQUIRED)
find_library(OMNIORB_LIB omniORB4 REQUIRED)
find_library(OMNITHREAD_LIB omnithread REQUIRED)
find_library(OMNIDYNAMIC_LIB omniDynamic4)

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
