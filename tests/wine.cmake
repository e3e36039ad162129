# Windows test binaries run under Wine, each suite twice: on a 32-bit prefix and on a 64-bit
# prefix where the 32-bit binaries run under WoW64. Each prefix is the project's own, inside
# the build tree, made with its architecture named and seeded by a setup test before the
# suites that use it. Test names carry the architecture.
# A 64-bit build (the windows64 preset, for hosts without a 32-bit Wine) runs on the 64-bit
# prefix only.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(MF_WINE_ARCHES win64)
else()
  set(MF_WINE_ARCHES win32 win64)
endif()
find_package(Python3 COMPONENTS Interpreter REQUIRED)

add_executable(wine_registry_tests
  win32/RegistryWine_test.cpp
  win32/wine_registry.cpp
)
target_include_directories(wine_registry_tests PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
target_compile_options(wine_registry_tests PRIVATE ${MF_WARNINGS})
target_link_libraries(wine_registry_tests PRIVATE mf_core GTest::gtest GTest::gtest_main advapi32)

# The Windows layer of the program: the DLL search, with a DLL planted to be found or not.
add_library(planted SHARED win32/planted.cpp)
set_target_properties(planted PROPERTIES PREFIX "")
add_executable(win32_tests win32/DllSearch_test.cpp win32/Application_test.cpp)
target_include_directories(win32_tests PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
target_compile_options(win32_tests PRIVATE ${MF_WARNINGS})
target_link_libraries(win32_tests PRIVATE mf_window GTest::gtest GTest::gtest_main)
add_dependencies(win32_tests planted)

# The player's stand-in for the shell tests: records how the shell started it.
add_executable(stand_in_player WIN32 e2e/stand_in_player.cpp)
target_include_directories(stand_in_player PRIVATE ${PROJECT_SOURCE_DIR}/src)
target_compile_options(stand_in_player PRIVATE ${MF_WARNINGS})
target_link_options(stand_in_player PRIVATE -municode)

# End to end: the real executable under Wine, with the shell as a client of what it wrote.
add_executable(e2e_tests
  e2e/Marblefinch_associate_test.cpp
  e2e/shell_client_test.cpp
  e2e/classes_view_test.cpp
  e2e/entries.cpp
  e2e/tool_process.cpp
  win32/wine_registry.cpp
)
target_include_directories(e2e_tests PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
target_compile_options(e2e_tests PRIVATE ${MF_WARNINGS})
target_link_libraries(e2e_tests PRIVATE
  mf_core GTest::gtest GTest::gtest_main advapi32 user32 gdi32 shell32 shlwapi version ole32)
# Hooked into the tool by e2e_tests to read the label's font where its handle is valid.
add_library(font_probe SHARED e2e/font_probe.cpp)
set_target_properties(font_probe PROPERTIES PREFIX "")
target_compile_options(font_probe PRIVATE ${MF_WARNINGS})
target_link_libraries(font_probe PRIVATE user32 gdi32)
# The hook by its plain name on 32-bit Windows too, where a stdcall export is decorated.
target_link_options(font_probe PRIVATE -Wl,--kill-at)
add_dependencies(e2e_tests Marblefinch_associate stand_in_player font_probe)
# The file version the image must carry, from the build rather than written out again, and
# the processor its manifest names.
target_compile_definitions(e2e_tests PRIVATE MF_PROJECT_VERSION="${PROJECT_VERSION}"
  MF_MANIFEST_ARCHITECTURE="$<TARGET_PROPERTY:Marblefinch_associate,MF_MANIFEST_ARCHITECTURE>")

# The release signing script with a throwaway certificate; the signed tool it leaves is run
# by the end-to-end suites beside the unsigned one.
set(MF_SIGNED_TOOL ${CMAKE_BINARY_DIR}/signed/Marblefinch_associate.exe)
add_test(NAME release_signing
  COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/release/sign_test.sh
          $<TARGET_FILE:Marblefinch_associate> ${MF_SIGNED_TOOL})
set_tests_properties(release_signing PROPERTIES FIXTURES_SETUP signed_tool)

# Making a prefix writes nothing outside it (a throwaway prefix, its own wineserver). One
# architecture: both take the same path through the script, and the 64-bit prefix's
# wineboot starts 64-bit and 32-bit Wine programs alike.
add_test(NAME wine_prefix_stays_inside
  COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/wine_prefix_test.sh win64)

# The test kit's guard (tests/kit): saves and restores what the suites touch.
include(${CMAKE_CURRENT_SOURCE_DIR}/kit/guard.cmake)

foreach(arch IN LISTS MF_WINE_ARCHES)
  set(prefix ${CMAKE_BINARY_DIR}/wineprefix-${arch})
  set(env WINEPREFIX=${prefix} WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=)
  mf_kit_guard_test(${arch} "${env}")

  add_test(NAME wine_prefix_${arch}
    COMMAND bash ${PROJECT_SOURCE_DIR}/scripts/wine-prefix.sh ${prefix} ${arch})
  set_tests_properties(wine_prefix_${arch} PROPERTIES
    FIXTURES_SETUP wine_${arch} ENVIRONMENT "${env}")

  add_test(NAME core_tests_${arch} COMMAND core_tests)
  add_test(NAME wine_registry_tests_${arch} COMMAND wine_registry_tests)
  add_test(NAME win32_tests_${arch} COMMAND win32_tests)
  add_test(NAME dll_search_${arch}
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/e2e/check_dll_search.py
            ${CMAKE_OBJDUMP} $<TARGET_FILE:Marblefinch_associate> ${CMAKE_CROSSCOMPILING_EMULATOR})
  # The shell notices and the error box's flags as the real tool passes them, read in a
  # +relay trace while end-to-end tests drive it.
  add_test(NAME notices_${arch}
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/e2e/check_notices.py
            $<TARGET_FILE:e2e_tests> $<TARGET_FILE_NAME:Marblefinch_associate>
            ${CMAKE_CROSSCOMPILING_EMULATOR})
  # The suites find the tool, the stand-in player and the signed copy from where they lie,
  # as they do in the test kit; only the comparison with the signed copy waits for signing.
  set(signed_test ToolTest.SignedToolLeavesTheSameEntriesAsTheUnsigned)
  add_test(NAME e2e_tests_${arch} COMMAND e2e_tests --gtest_filter=-${signed_test})
  add_test(NAME e2e_signed_${arch} COMMAND e2e_tests --gtest_filter=${signed_test})
  set_tests_properties(core_tests_${arch} wine_registry_tests_${arch} win32_tests_${arch}
    dll_search_${arch} PROPERTIES
    FIXTURES_REQUIRED wine_${arch} ENVIRONMENT "${env}")
  set_tests_properties(e2e_tests_${arch} notices_${arch} PROPERTIES
    FIXTURES_REQUIRED wine_${arch} ENVIRONMENT "${env};MF_PREFIX_ARCH=${arch}" TIMEOUT 600)
  set_tests_properties(e2e_signed_${arch} PROPERTIES
    FIXTURES_REQUIRED "wine_${arch};signed_tool"
    ENVIRONMENT "${env};MF_REQUIRE_SIGNED_TOOL=1")
  # Two prefixes, two wineservers: the suites of one prefix run one after another. No suite
  # starts while the server of the one before shuts down (a program that does can be cut off):
  # CTest waits until a test's output is closed, and the processes that Wine starts with a
  # session keep it open until the session's server takes no more clients.
  set(wine_suites core_tests_${arch} wine_registry_tests_${arch} win32_tests_${arch}
    dll_search_${arch} e2e_tests_${arch} notices_${arch} e2e_signed_${arch})
  set_tests_properties(${wine_suites} PROPERTIES RESOURCE_LOCK wineprefix_${arch})
  # What runs Windows code under Wine, for hosts without a 32-bit Wine (scripts/test.sh).
  set_tests_properties(wine_prefix_${arch} ${wine_suites} PROPERTIES LABELS wine)
endforeach()

# The shipped image is the 32-bit one; a 64-bit test build has no fs:[0] frame handlers and
# no NO_SEH to check. These two need no Wine.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  add_test(NAME image_checks
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/e2e/check_image.py
            ${CMAKE_OBJDUMP} $<TARGET_FILE:Marblefinch_associate>
            ${MF_WINDOWS_MIN_MAJOR}.${MF_WINDOWS_MIN_MINOR})
  # The fs:[0] check against assembled writes and reads, so that it cannot go blind unseen.
  add_test(NAME image_checks_fs0_forms
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/e2e/check_image_test.py
            ${CMAKE_C_COMPILER} ${CMAKE_OBJDUMP})
endif()
# Stack cookies in the program's own objects (the shipped exe is stripped).
add_test(NAME object_checks
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/release/check_objects.py
          ${CMAKE_NM} ${CMAKE_BINARY_DIR}/compile_commands.json ${PROJECT_SOURCE_DIR}/src)

# The test kit: the tool (the bytes the release package carries), the Windows suites with
# what they need, and run-tests.cmd, zipped to run on a Windows machine with nothing else
# installed. A 64-bit build makes a -win64 kit: the kit check's on hosts without a 32-bit Wine,
# and a second kit for the hosted Windows jobs; the -win32 kit holds the shipped tool.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(MF_KIT_NAME Marblefinch_associate-${PROJECT_VERSION}-win64-tests)
else()
  set(MF_KIT_NAME Marblefinch_associate-${PROJECT_VERSION}-win32-tests)
endif()
set(MF_KIT_STAGE ${CMAKE_BINARY_DIR}/test-kit)
set(MF_KIT_ZIP ${CMAKE_BINARY_DIR}/${MF_KIT_NAME}.zip)
# The guard's own tests stay on the build machine: they break and mend the security of real
# keys on purpose, which a kept machine need not go through.
set(MF_KIT_PROGRAMS core_tests wine_registry_tests win32_tests planted e2e_tests font_probe
  stand_in_player kit_guard)
set(MF_KIT_FILES)
foreach(program IN LISTS MF_KIT_PROGRAMS)
  list(APPEND MF_KIT_FILES $<TARGET_FILE:${program}>)
endforeach()
add_custom_command(OUTPUT ${MF_KIT_ZIP}
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${MF_KIT_STAGE} ${MF_KIT_ZIP}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${MF_KIT_STAGE}/tests
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:Marblefinch_associate>
          ${CMAKE_CURRENT_SOURCE_DIR}/kit/run-tests.cmd ${MF_KIT_STAGE}
  COMMAND ${CMAKE_COMMAND} -E copy ${MF_KIT_FILES} ${MF_KIT_STAGE}/tests
  COMMAND ${CMAKE_COMMAND} -E chdir ${MF_KIT_STAGE} ${CMAKE_COMMAND} -E tar cf ${MF_KIT_ZIP}
          --format=zip run-tests.cmd Marblefinch_associate.exe tests
  DEPENDS Marblefinch_associate ${MF_KIT_PROGRAMS} ${CMAKE_CURRENT_SOURCE_DIR}/kit/run-tests.cmd
  VERBATIM)
add_custom_target(test-kit DEPENDS ${MF_KIT_ZIP})
