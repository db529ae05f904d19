# The time that stands in for "now" in the packages, in seconds since 1970:
#  1. SOURCE_DATE_EPOCH from the environment, when the caller sets it;
#  2. else the date of the last commit, when the source is the top of a git
#     work tree (a clean or changed checkout of one commit gives one time);
#  3. else the date of the newest entry in doc/changelog (a source tarball).
function(feedfix_source_date_epoch source_dir result)
  if(DEFINED ENV{SOURCE_DATE_EPOCH} AND "$ENV{SOURCE_DATE_EPOCH}" MATCHES "^[0-9]+$")
    set(${result} "$ENV{SOURCE_DATE_EPOCH}" PARENT_SCOPE)
    return()
  endif()
  find_program(FEEDFIX_GIT git)
  if(FEEDFIX_GIT)
    execute_process(COMMAND "${FEEDFIX_GIT}" -C "${source_dir}" rev-parse --show-toplevel
                    OUTPUT_VARIABLE top RESULT_VARIABLE status
                    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    file(REAL_PATH "${source_dir}" source_real)
    if(status EQUAL 0 AND NOT top STREQUAL "")
      file(REAL_PATH "${top}" top)
    endif()
    # A tarball unpacked inside some other work tree must not take its date.
    if(status EQUAL 0 AND top STREQUAL source_real)
      execute_process(COMMAND "${FEEDFIX_GIT}" -C "${source_dir}" log -1 --format=%ct
                      OUTPUT_VARIABLE epoch RESULT_VARIABLE status
                      OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
      if(status EQUAL 0 AND epoch MATCHES "^[0-9]+$")
        set(${result} "${epoch}" PARENT_SCOPE)
        return()
      endif()
    endif()
  endif()
  file(STRINGS "${source_dir}/doc/changelog" trailer REGEX "^ -- .*>  " LIMIT_COUNT 1)
  string(REGEX REPLACE "^ -- .*>  " "" date "${trailer}")
  execute_process(COMMAND date -u -d "${date}" +%s
                  OUTPUT_VARIABLE epoch RESULT_VARIABLE status OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT status EQUAL 0 OR NOT epoch MATCHES "^[0-9]+$")
    message(FATAL_ERROR "feedfix: no date for the packages: no git checkout, and the date "
                        "'${date}' of doc/changelog is not understood")
  endif()
  set(${result} "${epoch}" PARENT_SCOPE)
endfunction()
