# host-sim against plug-ins that end the process in ways no code inside it
# can see or that hang, and against worlds too large to run. Included from
# tests/CMakeLists.txt after plugin_check.cmake, whose expect_run and host_sim
# it uses.

if(NOT WIN32)
  # Each ending, and the hook the line names; the watching parent reports it.
  set(hostsim_endings
      "exit_group ENDING_EXIT_GROUP,ENDING_IN_STEP tamrix_physics_step ended the process \\(status 0\\) through the exit_group system call$"
      "pthread_exit ENDING_PTHREAD_EXIT tamrix_physics_init ended the main thread \\(pthread_exit\\)$"
      "cancel ENDING_CANCEL,ENDING_IN_STEP tamrix_physics_step ended the main thread \\(pthread_exit\\)$"
      "execve ENDING_EXECVE tamrix_physics_init replaced the process \\(execve\\)$")
  foreach(entry ${hostsim_endings})
    string(REGEX MATCH "^([^ ]+) ([^ ]+) (.*)$" matched "${entry}")
    set(way "${CMAKE_MATCH_1}")
    string(REPLACE "," ";" macros "${CMAKE_MATCH_2}")
    set(line "${CMAKE_MATCH_3}")
    tamrix_add_physics_plugin(ending_${way} SERVICE_TABLE ending_plugin.c)
    target_compile_definitions(ending_${way} PRIVATE ${macros})
    uninstrumented_plugin(ending_${way})
    add_test(NAME host_sim_reports_${way}
      COMMAND "${expect_run}" 3 "^host-sim: ${line}" "!summary:"
              -- ${host_sim} $<TARGET_FILE:ending_${way}>)
    set_tests_properties(host_sim_reports_${way} PROPERTIES TIMEOUT 20)
  endforeach()

  # A hook that waits to write host-sim's output, on a reader slower than the
  # time limit, is not hung.
  tamrix_add_physics_plugin(hang_chatty SERVICE_TABLE hang_plugin.c)
  target_compile_definitions(hang_chatty PRIVATE CHATTY)
  uninstrumented_plugin(hang_chatty)
  # A sanitizer slows the chatty step itself past so short a limit. The limit
  # is still far above what a step takes on a busy machine: a tenth of a
  # second without the processor is no hang, and must not read as one.
  if(NOT MY_PHYSICS1_SANITIZE)
    add_test(NAME host_sim_waits_for_a_slow_reader
      COMMAND "${expect_run}" 0 "!host-sim:"
              -- bash -c "\"\$@\" | { sleep 3; cat >/dev/null; }; exit \${PIPESTATUS[0]}" reader
                 ${host_sim} --timeout 1 $<TARGET_FILE:hang_chatty>)
    set_tests_properties(host_sim_waits_for_a_slow_reader PROPERTIES TIMEOUT 20)
  endif()

  # Expectations a run never reached are not met: never status 0.
  set(unmet_world "${CMAKE_CURRENT_BINARY_DIR}/unmet_world.toml")
  file(WRITE "${unmet_world}" "steps = 3\n[expect]\nconsole = [\"never said\"]\n")
  foreach(way exit_group execve)
    add_test(NAME host_sim_unmet_after_${way}
      COMMAND "${expect_run}" 3 "^host-sim: tamrix_physics_(init|step) " "!expectations:"
              -- ${host_sim} --world "${unmet_world}" $<TARGET_FILE:ending_${way}>)
  endforeach()

  # What the run printed before the end is kept, and a run that finishes
  # passes through the parent unchanged, status and output alike.
  add_test(NAME host_sim_keeps_output_through_the_parent
    COMMAND "${expect_run}" 1 "^\\[plugin console\\] not found$" "^expectations: not met$"
            "!host-sim: .*(ended|replaced|crash)"
            -- ${host_sim} --world "${unmet_world}" $<TARGET_FILE:my_physics1>)
endif()

# A hang, wherever it happens, ends the run at --timeout and is named; the
# test's own limit is far above it, room for a wine server to start.
# Windows has no SIGSTOP.
set(hostsim_hangs
    "loop HANG_LOOP tamrix_physics_step did not return within 0.5 s \\(step 3\\)$"
    "load HANG_LOAD the plug-in did not finish loading within 0.5 s$"
    "unload HANG_UNLOAD the run did not end within 0.5 s after tamrix_physics_cleanup returned, while unloading the plug-in$")
if(NOT WIN32)
  list(APPEND hostsim_hangs
       "stop HANG_STOP tamrix_physics_step did not return within 0.5 s \\(step 3\\): the process is stopped \\(SIGSTOP\\)$")
endif()
foreach(entry ${hostsim_hangs})
  string(REGEX MATCH "^([^ ]+) ([^ ]+) (.*)$" matched "${entry}")
  set(way "${CMAKE_MATCH_1}")
  set(line "${CMAKE_MATCH_3}")
  tamrix_add_physics_plugin(hang_${way} SERVICE_TABLE hang_plugin.c)
  target_compile_definitions(hang_${way} PRIVATE ${CMAKE_MATCH_2})
  uninstrumented_plugin(hang_${way})
  add_test(NAME host_sim_ends_a_hang_${way}
    COMMAND "${expect_run}" 3 "^host-sim: ${line}" "!(ended|replaced|crash)"
            -- ${host_sim} --timeout 0.5 $<TARGET_FILE:hang_${way}>)
  set_tests_properties(host_sim_ends_a_hang_${way} PROPERTIES TIMEOUT 60)
endforeach()
