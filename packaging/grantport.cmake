# Receiving listens on port 1001, and ports below 1024 need a privilege: an install straight onto
# this system gives the installed copy that one capability. Not into a staging folder (DESTDIR):
# a package cannot carry it in its files and grants it in its postinst instead.
if(NOT "$ENV{DESTDIR}" STREQUAL "")
  return()
endif()
find_program(setcap setcap PATHS /usr/sbin /sbin)
# The windows are a program of their own that `veltrane` becomes, and they receive too.
foreach(exe "${CMAKE_INSTALL_PREFIX}/${VELTRANE_BINDIR}/veltrane" "${CMAKE_INSTALL_PREFIX}/${VELTRANE_WINDOWS}")
  if(NOT setcap)
    message(STATUS "setcap not found: ${exe} cannot receive (see veltrane(1))")
    continue()
  endif()
  execute_process(COMMAND ${setcap} cap_net_bind_service=+ep ${exe} RESULT_VARIABLE result)
  if(result EQUAL 0)
    message(STATUS "Granted ${exe} the capability to listen on port 1001")
  else()
    message(WARNING "Could not grant ${exe} the capability to listen on port 1001 (run as root)")
  endif()
endforeach()
