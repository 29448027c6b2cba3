# plugin-check against plug-ins that pass in every small world and fail in a
# world of a hundred bodies: one source, one fault per build, and sound twins
# that must pass --strict. Included from tests/CMakeLists.txt after
# plugin_check.cmake, whose functions it uses.

# engine_* builds use the engine: their pushes are what the host suffers.
function(crowded_world_plugin name)
  if(name MATCHES "^engine_")
    tamrix_add_physics_plugin(crowded_${name} SERVICE_TABLE ENGINE crowded_world_plugin.c)
    target_compile_definitions(crowded_${name} PRIVATE CROWDED_ENGINE)
  else()
    tamrix_add_physics_plugin(crowded_${name} SERVICE_TABLE crowded_world_plugin.c)
  endif()
  string(REGEX REPLACE "^engine_" "" fault "${name}")
  string(TOUPPER "CROWDED_${fault}" macro)
  target_compile_definitions(crowded_${name} PRIVATE ${macro})
  uninstrumented_plugin(crowded_${name})
endfunction()

# Each entry: <fault> % what the reason says.
set(crowded_world_faults
    "table_overrun % crashed in tamrix_physics_collide, at step 1 of 200 in plugin-check's crowded world of 100 bodies: .*a table or buffer sized for fewer overflows here"
    "engine_nan_slot % tamrix_physics_step, at step 2 of 200 in plugin-check's crowded world, left body [a-z0-9]+ a force of \\(0, 0, -?nan\\)"
    "engine_mesh_unlisted % tamrix_physics_collide, at step 1 of 200 in plugin-check's crowded world, left body [a-z0-9]+ a force of \\(-?nan, -?nan, 0\\)")
foreach(entry IN LISTS crowded_world_faults)
  string(REPLACE " % " ";" entry "${entry}")
  list(GET entry 0 fault)
  list(GET entry 1 reason)
  crowded_world_plugin(${fault})
  corpus_focus(focus crowded-world)
  add_test(NAME plugin_check_crowded_world_${fault}
    COMMAND ${within_corpus_limit} "${expect_run}" 1 "^FAIL crowded-world: ${reason}" --
            "${plugin_check}" --strict ${focus} $<TARGET_FILE:crowded_${fault}>)
endforeach()

foreach(control sound_table engine_sound_slots)
  crowded_world_plugin(${control})
  tamrix_add_plugin_check(crowded_${control})
endforeach()
