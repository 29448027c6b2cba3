# The process compared whole: one plug-in per change no row of the table
# names, each found by whole-process alone, by its file and line; and the
# control that makes every one of them and undoes it in cleanup, which passes.
# Included from tests/CMakeLists.txt after plugin_check.cmake.

if(WIN32)
  return()  # the accounts read are Linux's
endif()

function(whole_plugin name)
  tamrix_add_physics_plugin(whole_${name} SERVICE_TABLE whole_process_plugin.c)
  target_compile_definitions(whole_${name} PRIVATE ${ARGN})
  uninstrumented_plugin(whole_${name})
endfunction()

# <fault> % the line whole-process names. The summary proves that no other
# check, the table's rows among them, failed or warned.
set(whole_faults
    "nonblocking_stdout % /proc/self/fdinfo/1 \\(.*\\): \"flags: [0-7]+\" became \"flags: [0-7]+\""
    "read_only_page % /proc/self/maps: \"[0-9a-f]+-[0-9a-f]+ r--p 00000000 00:00 0\" appeared"
    "file_mapped % /proc/self/maps: \"[0-9a-f]+-[0-9a-f]+ r--p 00000000 .*plugin-check\" appeared"
    "shared_memory % /proc/self/maps: \"[0-9a-f-]+ rw-s 00000000 [0-9a-f:]+ [0-9]+ /SYSV00000000 \\(deleted\\)\" appeared.*/proc/sysvipc/shm: \"key 0 shmid [0-9]+ perms 1600 size 4096 cpid [0-9]+ lpid [0-9]+ nattch 1\" appeared")
# The life's thread's own slice; qemu's user-mode emulation shows the host's
# scheduler, not the guest's calls.
if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
  list(APPEND whole_faults
       "time_slice % /proc/self/sched: \"se.slice : [0-9]+\" became \"se.slice : 20000000\"")
endif()

# They reach on purpose, and allow it: what is judged here is what they leave.
set(whole_reach --allow files,memory,kernel,ipc,syscalls)
corpus_focus(focus whole-process)
if(focus)
  set(alone "")
else()
  set(alone "^[0-9]+ passed, 1 failed, 0 warnings")
endif()
foreach(entry IN LISTS whole_faults)
  string(REPLACE " % " ";" entry "${entry}")
  list(GET entry 0 fault)
  list(GET entry 1 words)
  string(TOUPPER "WHOLE_${fault}" macro)
  whole_plugin(${fault} ${macro})
  add_test(NAME plugin_check_whole_${fault}
    COMMAND ${within_corpus_limit} "${expect_run}" 1
            "^FAIL whole-process: after cleanup and unload, ${words} in tamrix_physics_init"
            ${alone}
            -- "${plugin_check}" --strict ${focus} ${whole_reach} $<TARGET_FILE:whole_${fault}>)
endforeach()

# Every change above, made in init and undone in cleanup.
whole_plugin(undone WHOLE_UNDONE WHOLE_NONBLOCKING_STDOUT WHOLE_READ_ONLY_PAGE WHOLE_FILE_MAPPED
             WHOLE_SHARED_MEMORY WHOLE_TIME_SLICE)
add_test(NAME plugin_check_whole_undone
  COMMAND ${within_corpus_limit} "${expect_run}" 0 "^PASS whole-process" "!^(FAIL|WARN)"
          -- "${plugin_check}" --strict ${whole_reach} $<TARGET_FILE:whole_undone>)

# The reader on a live process, beside the table's own tests.
target_sources(process_state_tests PRIVATE whole_process_test.cpp)
