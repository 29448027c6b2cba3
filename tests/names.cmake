# plugin-check's names-found against plug-ins whose fault lies in what they
# do with a body they looked up, which no world of plugin-check's had: one
# source, one fault per build, and sound twins that must pass --strict.
# Included from tests/CMakeLists.txt after plugin_check.cmake, whose
# functions it uses.

function(names_plugin name)
  if(name MATCHES "engine|floats")
    tamrix_add_physics_plugin(names_${name} SERVICE_TABLE ENGINE names_plugin.c)
    target_compile_definitions(names_${name} PRIVATE NAMES_ENGINE)
  else()
    tamrix_add_physics_plugin(names_${name} SERVICE_TABLE names_plugin.c)
  endif()
  string(TOUPPER "NAMES_${name}" macro)
  target_compile_definitions(names_${name} PRIVATE ${macro})
  uninstrumented_plugin(names_${name})
endfunction()

# Each entry: <fault> % what the reason says. A leak is a warning, which
# --strict makes a failure.
set(where "in a world that holds the body \"body1\" it looked up and the first world lacked, ")
set(names_faults
    "floats_body % ${where}tamrix_physics_init changed body body1: gravity"
    "reads_handle % crashed in tamrix_physics_init, ${where}"
    "reads_tip % crashed in tamrix_physics_init, in a world that holds the body \"body1\", geometry \"tip\" it looked up"
    "flush_to_zero % ${where}a life turned on flush-to-zero.*, still so after unload")
# Heap counting is a glibc build's, and a sanitizer's heap is its own.
if(NOT WIN32 AND NOT MY_PHYSICS1_SANITIZE)
  list(APPEND names_faults "keeps_record % ${where}tamrix_physics_init leaked 1 heap block")
endif()
foreach(entry IN LISTS names_faults)
  string(REPLACE " % " ";" entry "${entry}")
  list(GET entry 0 fault)
  list(GET entry 1 reason)
  names_plugin(${fault})
  corpus_focus(focus names-found)
  add_test(NAME plugin_check_names_${fault}
    COMMAND ${within_corpus_limit} "${expect_run}" 1 "^FAIL names-found: ${reason}" --
            "${plugin_check}" --strict ${focus} $<TARGET_FILE:names_${fault}>)
endforeach()

foreach(control sound sound_engine)
  names_plugin(${control})
  tamrix_add_plugin_check(names_${control})
endforeach()
