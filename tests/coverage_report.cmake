# Reports line and branch coverage once every test has run. The plug-in must
# be covered whole. The stand-in host and the checker are held to about two
# points under the lines they reached when the floors were set (host 91.3%,
# check 89.1%, children included: see check/sandbox/coverage.hpp), so code
# that no test runs any more is noticed.
set(floor_my_physics1 --fail-under-line 100 --fail-under-branch 100)
set(floor_host --fail-under-line 89)
set(floor_check --fail-under-line 87)
foreach(part host check my_physics1)
  execute_process(
    COMMAND "${GCOVR}" --root "${SOURCE_DIR}" --object-directory "${BINARY_DIR}"
            --filter "${SOURCE_DIR}/${part}/" --branches --print-summary --exclude-throw-branches
            --exclude-unreachable-branches ${floor_${part}}
            # Only this build's counts: the source tree may hold other builds,
            # and a wine prefix whose drive letters lead back to /.
            "${BINARY_DIR}"
    RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${part}/ is below the coverage it must keep (gcovr status ${status})")
  endif()
endforeach()
