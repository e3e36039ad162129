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
