# plugin-check against plug-ins that pass while the host offers everything
# one way and fail when it offers the same, within the contract, another way:
# one source, one fault per build, and sound twins that must pass --strict.
# Included from tests/CMakeLists.txt after plugin_check.cmake, whose
# functions it uses.

# time_* builds use the engine: their pushes are what the host suffers.
function(varied_host_plugin name)
  if(name MATCHES "^time_")
    tamrix_add_physics_plugin(varied_${name} SERVICE_TABLE ENGINE varied_host_plugin.c)
    target_compile_definitions(varied_${name} PRIVATE VARIED_ENGINE)
  else()
    tamrix_add_physics_plugin(varied_${name} SERVICE_TABLE varied_host_plugin.c)
  endif()
  string(REGEX REPLACE "^time_" "" fault "${name}")
  string(TOUPPER "VARIED_${fault}" macro)
  target_compile_definitions(varied_${name} PRIVATE ${macro})
  uninstrumented_plugin(varied_${name})
endfunction()

# Each entry: <fault> % <check> % what the reason says.
set(varied_host_faults
    "time_float_time % time-starts-large % tamrix_physics_step, with the host's time starting at 17280000 s, left body arm a force of \\(0, 0, inf\\)"
    "time_int_millis % time-starts-large % tamrix_physics_step, with the host's time starting at 17280000 s, left body arm a force of \\(0, 0, inf\\)"
    "time_grows_with_time % time-starts-large % tamrix_physics_step, with the host's time starting at 17280000 s, pushed a body with a force of [0-9.e+]+ N where the same life from time 0 pushed at most [0-9.]+ N")
# A fault on a lent buffer is named by where it struck (the reason's ";" is
# matched by "." here, as a list would split at it); an abort in free()
# only by the check's own words on the buffer, which is not the heap's.
set(lent "the host lends each message up to a no-access page")
# The thread sanitizer takes the fault itself and aborts, before the check's
# listener hears where it struck: there only the crash is named.
set(past_end ". it read past the end of the message the last receive lent: ")
set(after_loan ". it read a message an earlier receive had lent, after the next receive had ended that loan: ")
if(MY_PHYSICS1_SANITIZE STREQUAL "thread")
  set(past_end ".*${lent}")
  set(after_loan ".*${lent}")
endif()
list(APPEND varied_host_faults
    "message_as_string % received-messages % crashed in tamrix_physics_step, the host had offered a short text.*${past_end}"
    "keeps_pointer % received-messages % crashed in tamrix_physics_step, the host had offered a text of 64 KiB.*${after_loan}"
    "message_as_format % received-messages % a hook printed the received message \"load 100%: set %d, got %x\" as the console's format")
# A DLL's free() of memory that is no heap's is the C runtime's to notice,
# and under wine it returns quietly. The C library's free() aborts; a
# sanitizer's reads and writes the block's header first, and faults there.
if(NOT WIN32)
  list(APPEND varied_host_faults
       "frees_buffer % received-messages % crashed in tamrix_physics_step, .*: SIG(ABRT|SEGV) .*${lent}")
endif()
foreach(entry IN LISTS varied_host_faults)
  string(REPLACE " % " ";" entry "${entry}")
  list(GET entry 0 fault)
  list(GET entry 1 check)
  list(GET entry 2 reason)
  varied_host_plugin(${fault})
  corpus_focus(focus ${check})
  add_test(NAME plugin_check_varied_host_${fault}
    COMMAND ${within_corpus_limit} "${expect_run}" 1 "^FAIL ${check}: ${reason}" --
            "${plugin_check}" --strict ${focus} $<TARGET_FILE:varied_${fault}>)
endforeach()

foreach(control time_sound_time sound_messages)
  varied_host_plugin(${control})
  tamrix_add_plugin_check(varied_${control})
endforeach()
