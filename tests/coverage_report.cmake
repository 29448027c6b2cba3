# Reports line and branch coverage once every test has run. The plug-in must
# be covered whole; the stand-in host's figure is for information.
foreach(part host my_physics1)
  set(gate)
  if(part STREQUAL "my_physics1")
    set(gate --fail-under-line 100 --fail-under-branch 100)
  endif()
  execute_process(
    COMMAND "${GCOVR}" --root "${SOURCE_DIR}" --object-directory "${BINARY_DIR}"
            --filter "${SOURCE_DIR}/${part}/" --branches --print-summary --exclude-throw-branches --exclude-unreachable-branches ${gate}
    RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${part}/ is below the coverage it must keep (gcovr status ${status})")
  endif()
endforeach()
