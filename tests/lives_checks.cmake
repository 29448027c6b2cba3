# plugin-check against plug-ins that keep the contract where a short look
# falls and break it later, on another thread, when calls overlap, or after
# unload: one source, one fault per build. Included from tests/CMakeLists.txt
# after plugin_check.cmake, whose functions it uses.
if(WIN32)
  return()
endif()

# lives_fault(<name> <check> <patterns> [plugin-check options...]): built with
# LIVES_<NAME>, plugin-check fails <check> and its output matches each of the
# list <patterns> as expect_run.sh does.
function(lives_fault name check patterns)
  tamrix_add_physics_plugin(lives_${name} SERVICE_TABLE lives_plugin.c)
  string(TOUPPER "LIVES_${name}" macro)
  target_compile_definitions(lives_${name} PRIVATE ${macro})
  target_link_libraries(lives_${name} PRIVATE m)  # fesetround
  uninstrumented_plugin(lives_${name})
  corpus_focus(focus ${check})
  add_test(NAME plugin_check_lives_${name}
    COMMAND ${within_corpus_limit} "${expect_run}" 1 "^FAIL ${check}: " ${patterns} --
            "${plugin_check}" ${ARGN} ${focus} $<TARGET_FILE:lives_${name}>)
endfunction()

# Late: each names the span of steps, or the step, where it happened.
set(late "between step 129 and step 256")
lives_fault(chdir_late long-life "^FAIL long-life: .*changed the working directory from .* ${late}")
lives_fault(fesetround_late long-life "^FAIL long-life: .*rounding.*${late}")
lives_fault(sigaction_late long-life "^FAIL long-life: .*installed a handler for SIGTERM ${late}")
lives_fault(sigaction_at_5000 long-life
            "^FAIL long-life: .*installed a handler for SIGTERM between step 4097 and step 5120")
lives_fault(fd_late long-life "^FAIL long-life: .*left open 1 descriptor.*${late}" --strict)
# The thread sanitizer starts a thread of its own at the first pthread_create.
lives_fault(thread_late long-life "^FAIL long-life: .*started [12] threads?.*${late}")
lives_fault(collide_late long-life "^FAIL long-life: .*or tamrix_physics_collide changed the umask .* ${late}")
lives_fault(cleanup_after_long long-life
            "^FAIL long-life: tamrix_physics_cleanup changed the working directory .* after 20480 steps")
lives_fault(print_late long-life
            "^FAIL long-life: .*printed 9 bytes between step 129 and step 256" --strict)
lives_fault(console_late long-life
            "^FAIL long-life: .*sent 1 messages to the host's console and printed 0 bytes between step 129 and step 256"
            --strict)
# A sanitizer ends the process at the fault, or aborts, instead of letting it crash.
lives_fault(crash_late long-life
            "^FAIL long-life: (crashed in tamrix_physics_step, after 128 steps of a 20480-step life: SIG(SEGV|ABRT)|tamrix_physics_step ended the process)")
lives_fault(row_late long-life "^FAIL long-life: .*tamrix_physics_step at step 301 changed row 6 ")
# qemu's user-mode emulation refuses system call filters.
if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
  lives_fault(getppid_late long-life "^FAIL long-life: .*tamrix_physics_step at step 101 called getppid"
              --strict)
  set(restores_call "^WARN long-life: tamrix_physics_step at step 150 called [a-z]+; a host")
else()
  set(restores_call "!^FAIL")
endif()
# Borrowed and given back within the call: no change of the process, however
# late; the system calls it took are a warning, as step-collide-no-syscalls has them.
tamrix_add_physics_plugin(lives_restores SERVICE_TABLE lives_plugin.c)
target_compile_definitions(lives_restores PRIVATE LIVES_RESTORES)
uninstrumented_plugin(lives_restores)
add_test(NAME plugin_check_lives_restores
  COMMAND ${within_corpus_limit} "${expect_run}" 0
          "${restores_call}" "!changed"
          "^PASS life-after-unload" -- "${plugin_check}" --only long-life,life-after-unload
          $<TARGET_FILE:lives_restores>)

# Elsewhere and at once: the thread, the call, and whether it took overlap.
lives_fault(handler_on_other_thread overlapping-steps
            "^FAIL overlapping-steps: tamrix_physics_step on host thread 1 installed a handler for SIGTERM")
lives_fault(mask_on_other_thread overlapping-steps
            "^FAIL overlapping-steps: tamrix_physics_step on host thread 1 blocked SIGTERM on its own thread")
lives_fault(fesetround_on_other_thread overlapping-steps
            "^FAIL overlapping-steps: tamrix_physics_step on host thread 1 changed the rounding mode .* on its own thread")
lives_fault(overlap overlapping-steps
            "^FAIL overlapping-steps: when tamrix_physics_step .*, one of them changed the working directory .* and changed the umask")
# After unload: each move of the host's, named.
lives_fault(atfork life-after-unload "^FAIL life-after-unload: after unload, the host's fork crashed")
lives_fault(key_destructor life-after-unload
            "^FAIL life-after-unload: after unload, the end of a host thread that had called the plug-in crashed with SIGSEGV.*thread-key destructor")
lives_fault(stdout_buffer life-after-unload
            "^FAIL life-after-unload: after unload, printing to standard output crashed with SIGSEGV.*setvbuf")
lives_fault(alt_stack life-after-unload
            "^FAIL life-after-unload: after unload, the alternate signal stack \\(sigaltstack\\) of the thread that called tamrix_physics_init")
lives_fault(alt_stack_on_host_thread life-after-unload
            "^FAIL life-after-unload: after unload, the alternate signal stack \\(sigaltstack\\) of a host thread that had called the plug-in")
# A sanitizer's runtime keeps alternate signal stacks of its own and takes
# the signal there, never on the plug-in's: a row for plain builds.
if(NOT MY_PHYSICS1_SANITIZE)
  lives_fault(alt_stack_unmapped life-after-unload
              "^FAIL life-after-unload: after unload, a signal taken by the thread that called tamrix_physics_init crashed with SIGSEGV; likely cause: its alternate signal stack")
endif()
# A thread that only ever called getBody ends, and takes a signal, after unload
# too. Allowed, the calls are no report's but that thread's.
lives_fault(alt_stack_in_get_body life-after-unload
            "^FAIL life-after-unload: after unload, the alternate signal stack \\(sigaltstack\\) of a host thread that had only called getBody"
            --allow signals)
lives_fault(getbody_key life-after-unload
            "^FAIL life-after-unload: after unload, the end of a host thread that had only called getBody crashed with SIGSEGV.*thread-key destructor"
            --allow threads)
# The host reads its standard input after unload, as one that reads commands.
lives_fault(wide_stdin life-after-unload
            "^FAIL life-after-unload: after unload, reading standard input failed: the plug-in left the stream wide-oriented"
            --allow streams)
lives_fault(stdin_buffer life-after-unload
            "^FAIL life-after-unload: after unload, reading standard input failed: its buffer \\(setvbuf\\) was memory that is gone"
            --allow streams)
lives_fault(putenv life-after-unload
            "^FAIL life-after-unload: after unload, reading the environment crashed with SIGSEGV.*putenv")
# A child the host forks after unload ends with exit(), which runs the exit
# handlers the unload left (on_exit, looked up where no-code-at-unload sees
# no import of it) and unbuffers each stream, seeking back over what a
# stream of the plug-in's own functions had read ahead (fopencookie).
set(child_exit "^FAIL life-after-unload: after unload, a forked child's exit\\(\\) crashed with SIGSEGV; likely cause: an exit handler \\(atexit, on_exit\\) or a stream's functions \\(fopencookie\\)")
lives_fault(on_exit_looked_up life-after-unload "${child_exit}")
lives_fault(cookie_reader life-after-unload "${child_exit}")
# A library's own exit handlers (atexit, and a C++ static object's
# destructor) the C library runs at unload and forgets: the child's exit()
# meets none, and the copies left in their freed slots are not counted.
# no-code-at-unload fails it for the import, and is skipped.
tamrix_add_physics_plugin(lives_atexit_dropped SERVICE_TABLE lives_plugin.c)
target_compile_definitions(lives_atexit_dropped PRIVATE LIVES_ATEXIT_DROPPED)
uninstrumented_plugin(lives_atexit_dropped)
add_test(NAME plugin_check_lives_atexit_dropped
  COMMAND ${within_corpus_limit} "${expect_run}" 0 "^PASS life-after-unload" --
          "${plugin_check}" --strict --skip no-code-at-unload --allow process-state
          $<TARGET_FILE:lives_atexit_dropped>)
# A stream takes its orientation from its first use, so only a host that has
# not printed yet is hurt: here, a run that reports nothing before the check.
lives_fault(wide_stdout life-after-unload
            "^FAIL life-after-unload: after unload, printing to standard output failed: the plug-in left the stream wide-oriented"
            --only life-after-unload)
lives_fault(itimer_long life-after-unload
            "^FAIL life-after-unload: after unload, the plug-in had left timers armed: setitimer ITIMER_REAL \\(SIGALRM\\) due in 60 s")
lives_fault(itimer life-after-unload "^FAIL life-after-unload: after unload, the host took SIGALRM")
# Under qemu's user-mode emulation the POSIX timer's signal is not seen
# after the unload: a row for native runs.
if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
  lives_fault(posix_timer life-after-unload
              "^FAIL life-after-unload: after unload, the host took SIGUSR1 from a timer the plug-in left armed \\(a POSIX timer")
endif()
