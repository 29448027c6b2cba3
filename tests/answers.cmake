# plugin-check's same-answers against plug-ins that survive step and collide
# on 8 threads and still answer otherwise there than on one, or leave pushes
# and contacts a host cannot step with: one source, one fault per build, and
# sound twins that must pass --strict. Included from tests/CMakeLists.txt
# after plugin_check.cmake, whose functions it uses.

# Built without the engine, the stub world's faults and twin are checked in
# a world with no engine part.
function(answers_plugin name)
  if(name MATCHES "^(lookup_cache|shared_verdict|lookup_in_step|lookup_in_collide|sound_stub)$")
    tamrix_add_physics_plugin(answers_${name} SERVICE_TABLE answers_plugin.c)
  else()
    tamrix_add_physics_plugin(answers_${name} SERVICE_TABLE ENGINE answers_plugin.c)
  endif()
  string(TOUPPER "ANSWERS_${name}" macro)
  target_compile_definitions(answers_${name} PRIVATE ${macro})
  uninstrumented_plugin(answers_${name})
endfunction()

# Each entry: <fault> % what the reason says. Races (a lost push, a stale
# lookup, an answer or a contact another thread overwrote meanwhile) show in
# nearly every run, never in all on a busy machine: each may take up to 10
# runs of the one check to show, and its reason is matched up to the counts,
# which no run repeats.
set(answers_faults
    "nan_push % tamrix_physics_step left body arm a force of \\(0, 0, -?nan\\)"
    "empties_group % tamrix_physics_collide emptied the host's contact group"
    "many_contacts % tamrix_physics_collide made 20000 contacts in one call, for arm and [a-z]+")
set(answers_races
    "unguarded_push % tamrix_physics_step on 8 threads left body arm with force"
    "lookup_cache % getBody on 8 threads answered \"[a-z]+: [a-z]+\" [0-9]+ times where one thread did"
    "lookup_in_step % getBody on 8 threads answered \"[a-z]+: [a-z]+\" [0-9]+ times where one thread did"
    "lookup_in_collide % getBody on 8 threads answered \"[a-z]+: [a-z]+\" [0-9]+ times where one thread did"
    "shared_verdict % tamrix_physics_collide on 8 threads answered \"[a-z]+ and [a-z]+: [01]\" [0-9]+ times where one thread did")
# What a contact holds is read where the program's own dJointCreateContact
# stands in front of the engine's: not for a DLL, which shows neither fault.
if(NOT WIN32)
  list(APPEND answers_faults
       "nan_contact % tamrix_physics_collide made a contact of arm and [a-z]+ with depth \\(-?nan\\)")
  list(APPEND answers_races
       "shared_buffer % tamrix_physics_collide on 8 threads made a contact \"[a-z]+, [a-z]+: mode 0, position")
endif()
foreach(entry IN LISTS answers_faults answers_races)
  set(race FALSE)
  if(entry IN_LIST answers_races)
    set(race TRUE)
  endif()
  string(REPLACE " % " ";" entry "${entry}")
  list(GET entry 0 fault)
  list(GET entry 1 reason)
  answers_plugin(${fault})
  if(race)
    add_test(NAME plugin_check_answers_${fault}
      COMMAND "${CMAKE_CURRENT_SOURCE_DIR}/expect_noticed.sh" 10 "^FAIL same-answers: ${reason}"
              -- ${plugin_check} --only same-answers $<TARGET_FILE:answers_${fault}>)
    continue()
  endif()
  if(fault STREQUAL "many_contacts")
    set(focus --only same-answers)  # 20,000 contacts a call make every check that collides slow
  else()
    corpus_focus(focus same-answers)
  endif()
  # The emulator's words stay one argument through the time limit's script,
  # as in the other corpora.
  add_test(NAME plugin_check_answers_${fault}
    COMMAND ${within_corpus_limit} "${expect_run}" 1 "^FAIL same-answers: ${reason}" --
            "${plugin_check}" --strict ${focus} $<TARGET_FILE:answers_${fault}>)
endforeach()
# Many contacts are a warning, a failure only under --strict.
add_test(NAME plugin_check_answers_many_contacts_lenient
  COMMAND "${expect_run}" 0 "^WARN same-answers: tamrix_physics_collide made 20000 contacts" --
          ${plugin_check} --only same-answers $<TARGET_FILE:answers_many_contacts>)

foreach(control sound sound_stub)
  answers_plugin(${control})
  tamrix_add_plugin_check(answers_${control})
endforeach()
