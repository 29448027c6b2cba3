# heap-balanced against plug-ins that leak through each allocator entry point
# they can name, and controls that leave the C library holding memory of its
# own. Included from tests/CMakeLists.txt after plugin_check.cmake, whose
# helpers it uses. Counted only where this program's malloc family stands in
# front of the C library's.
if(WIN32 OR MY_PHYSICS1_SANITIZE)
  return()
endif()

function(heap_plugin name)
  tamrix_add_physics_plugin(heap_${name} SERVICE_TABLE heap_plugin.c)
  string(TOUPPER "HEAP_${name}" macro)
  target_compile_definitions(heap_${name} PRIVATE ${macro})
  uninstrumented_plugin(heap_${name})
endfunction()

# <name> <the call named>
foreach(entry
    "libc_malloc tamrix_physics_init"
    "libc_memalign tamrix_physics_init"
    "posix_memalign tamrix_physics_init"
    "aligned_alloc tamrix_physics_init"
    "strdup tamrix_physics_init"
    "one_block tamrix_physics_cleanup")
  separate_arguments(entry)
  list(POP_FRONT entry name call)
  heap_plugin(${name})
  add_test(NAME plugin_check_heap_${name}
    COMMAND ${within_corpus_limit} "${expect_run}" 1
            "^FAIL heap-balanced: ${call} leaked 1 heap block \\([0-9]+ bytes\\) per life"
            -- "${plugin_check}" --strict $<TARGET_FILE:heap_${name}>)
endforeach()
# Collide's buffer made lazily on each host thread, and only the cleanup
# thread's freed: named by the hook and the threads that left them.
heap_plugin(per_thread)
heap_plugin(per_thread_listed)
set_target_properties(heap_per_thread heap_per_thread_listed PROPERTIES C_STANDARD 11)  # _Thread_local
add_test(NAME plugin_check_heap_per_thread
  COMMAND ${within_corpus_limit} "${expect_run}" 1
          "^FAIL heap-balanced: tamrix_physics_collide on 4 host threads left 4 heap blocks \\([0-9]+ bytes\\) after cleanup, and (as much|some) in the life before it"
          -- "${plugin_check}" --strict $<TARGET_FILE:heap_per_thread>)
# A warning: without --strict the run passes, and says so.
add_test(NAME plugin_check_heap_libc_malloc_warns
  COMMAND ${within_corpus_limit} "${expect_run}" 0 "^WARN heap-balanced: tamrix_physics_init "
          -- "${plugin_check}" $<TARGET_FILE:heap_libc_malloc>)

# The whole strict battery passes a plug-in that switches the locale and puts
# it back, keeps one block from its first life on, or frees at cleanup the
# buffers it made on every host thread.
# Switching the locale is the process's state, which it means to reach.
set(heap_locale_allow --allow process-state)
foreach(name locale cache_once per_thread_listed)
  if(NOT TARGET heap_${name})
    heap_plugin(${name})
  endif()
  add_test(NAME plugin_check_heap_${name}
    COMMAND ${within_corpus_limit} "${expect_run}" 0 "^PASS heap-balanced$"
            -- "${plugin_check}" --strict ${heap_${name}_allow} $<TARGET_FILE:heap_${name}>)
endforeach()
