# The test kit's guard: saves what the Windows suites touch on a machine and restores it.
# Included from wine.cmake; its tests run on both prefixes like the other suites.
add_library(kit_snapshot STATIC
  kit/commands.cpp
  kit/dump.cpp
  kit/file_trust.cpp
  kit/key_access.cpp
  kit/key_records.cpp
  kit/job.cpp
  kit/probe.cpp
  kit/run_lock.cpp
  kit/snapshot_file.cpp
  kit/touched_keys.cpp
  e2e/entries.cpp
  win32/wine_registry.cpp
)
target_include_directories(kit_snapshot PUBLIC ${CMAKE_CURRENT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/src)
target_compile_options(kit_snapshot PRIVATE ${MF_WARNINGS})
target_link_libraries(kit_snapshot PUBLIC advapi32)

add_executable(kit_guard kit/kit_guard.cpp kit/run.cpp)
target_compile_options(kit_guard PRIVATE ${MF_WARNINGS})
target_link_libraries(kit_guard PRIVATE kit_snapshot)
target_link_options(kit_guard PRIVATE -municode)

add_executable(kit_guard_tests kit/snapshot_test.cpp)
target_compile_options(kit_guard_tests PRIVATE ${MF_WARNINGS})
target_link_libraries(kit_guard_tests PRIVATE kit_snapshot GTest::gtest GTest::gtest_main)
# The tests start kit_guard.exe from their own folder.
add_dependencies(kit_guard_tests kit_guard)

# One suite per prefix, called from wine.cmake's loop with that prefix's environment.
function(mf_kit_guard_test arch env)
  add_test(NAME kit_guard_tests_${arch} COMMAND kit_guard_tests)
  set_tests_properties(kit_guard_tests_${arch} PROPERTIES
    FIXTURES_REQUIRED wine_${arch} ENVIRONMENT "${env}" RESOURCE_LOCK wineprefix_${arch}
    LABELS wine TIMEOUT 600)
endfunction()

# Ends a run as taskkill /f does on Windows, for scripts/kit-check.sh; not part of the kit.
add_executable(end_task kit/end_task.cpp)
target_include_directories(end_task PRIVATE ${PROJECT_SOURCE_DIR}/src)
target_compile_options(end_task PRIVATE ${MF_WARNINGS})
target_link_options(end_task PRIVATE -municode)
