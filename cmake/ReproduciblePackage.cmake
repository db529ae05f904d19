# Run by cpack after it made the packages (CPACK_POST_BUILD_SCRIPTS): builds
# each package anew from its own contents so that two builds of one commit,
# in any build directory and at any time, give the same bytes:
#  - every file and directory gets the time of SOURCE_DATE_EPOCH (see
#    SourceDateEpoch.cmake), owner and group root, modes without the
#    builder's umask, and the archive lists them in sorted order;
#  - the .deb is rebuilt by dpkg-deb (--root-owner-group, with
#    SOURCE_DATE_EPOCH for the ar and tar headers), the zip by
#    repack-zip.py (no owner or access-time fields at all).
include("${CMAKE_CURRENT_LIST_DIR}/SourceDateEpoch.cmake")
# Set already by CPackProjectConfig.cmake; asked again for a cpack run without it.
feedfix_source_date_epoch("${CPACK_FEEDFIX_SOURCE_DIR}" epoch)
message(STATUS "feedfix: package times set to SOURCE_DATE_EPOCH=${epoch}")

foreach(package IN LISTS CPACK_PACKAGE_FILES)
  set(work "${package}.repack")
  file(REMOVE_RECURSE "${work}")
  if(package MATCHES "\\.deb$")
    execute_process(COMMAND dpkg-deb -R "${package}" "${work}" COMMAND_ERROR_IS_FATAL ANY)
    execute_process(COMMAND chmod -R u+w,go-w,a+rX "${work}" COMMAND_ERROR_IS_FATAL ANY)
    execute_process(COMMAND find "${work}" -exec touch -h -d "@${epoch}" {} +
                    COMMAND_ERROR_IS_FATAL ANY)
    execute_process(COMMAND ${CMAKE_COMMAND} -E env "SOURCE_DATE_EPOCH=${epoch}"
                      dpkg-deb --root-owner-group -Zxz --build "${work}" "${package}"
                    OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  elseif(package MATCHES "\\.zip$")
    find_package(Python3 COMPONENTS Interpreter REQUIRED)
    execute_process(COMMAND "${Python3_EXECUTABLE}" "${CMAKE_CURRENT_LIST_DIR}/repack-zip.py"
                      "${package}" "${work}" "${epoch}" COMMAND_ERROR_IS_FATAL ANY)
    file(RENAME "${work}" "${package}")
  else()
    message(FATAL_ERROR "feedfix: no reproducible rebuild for ${package}")
  endif()
  file(REMOVE_RECURSE "${work}")
endforeach()
