# Read by cpack before it installs and strips the files for a package
# (CPACK_PROJECT_CONFIG_FILE): the tools it runs from here on (strip, which
# writes the time into a Windows program's header; dpkg-deb) take their time
# from SOURCE_DATE_EPOCH, which is set here once for the whole run.
include("${CMAKE_CURRENT_LIST_DIR}/SourceDateEpoch.cmake")
feedfix_source_date_epoch("${CPACK_FEEDFIX_SOURCE_DIR}" feedfix_epoch)
set(ENV{SOURCE_DATE_EPOCH} "${feedfix_epoch}")
