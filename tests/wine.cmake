# Windows test binaries run under Wine on a prefix of the project's own inside the build
# tree, made and seeded by a setup test before any of them.
set(MF_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
set(MF_WINE_ENV
  WINEPREFIX=${MF_WINEPREFIX}
  WINEDEBUG=-all
  WINEDLLOVERRIDES=mscoree,mshtml=
)

add_test(NAME wine_prefix
  COMMAND bash ${PROJECT_SOURCE_DIR}/scripts/wine-prefix.sh ${MF_WINEPREFIX})
set_tests_properties(wine_prefix PROPERTIES FIXTURES_SETUP wine ENVIRONMENT "${MF_WINE_ENV}")

add_executable(wine_registry_tests
  win32/RegistryWine_test.cpp
  win32/wine_registry.cpp
)
target_include_directories(wine_registry_tests PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
target_compile_options(wine_registry_tests PRIVATE ${MF_WARNINGS})
target_link_libraries(wine_registry_tests PRIVATE mf_core GTest::gtest GTest::gtest_main advapi32)
add_test(NAME wine_registry_tests COMMAND wine_registry_tests)

set_tests_properties(core_tests wine_registry_tests PROPERTIES
  FIXTURES_REQUIRED wine ENVIRONMENT "${MF_WINE_ENV}")

# End to end: the real executable under Wine, and its image.
add_executable(e2e_tests
  e2e/Marblefinch_associate_test.cpp
  e2e/tool_process.cpp
  win32/wine_registry.cpp
)
target_include_directories(e2e_tests PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
target_compile_options(e2e_tests PRIVATE ${MF_WARNINGS})
target_link_libraries(e2e_tests PRIVATE mf_core GTest::gtest GTest::gtest_main advapi32 user32)
add_dependencies(e2e_tests Marblefinch_associate)
add_test(NAME e2e_tests COMMAND e2e_tests)
set_tests_properties(e2e_tests PROPERTIES
  FIXTURES_REQUIRED wine
  ENVIRONMENT "${MF_WINE_ENV};MF_TOOL_EXE=$<TARGET_FILE:Marblefinch_associate>"
  TIMEOUT 600)

find_package(Python3 COMPONENTS Interpreter REQUIRED)
add_test(NAME image_checks
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/e2e/check_image.py
          ${CMAKE_OBJDUMP} $<TARGET_FILE:Marblefinch_associate>)
