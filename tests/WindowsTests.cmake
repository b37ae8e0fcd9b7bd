# The Windows build's tests: the suites that need no POSIX process, socket or resource limit,
# built with GoogleTest from source (Debian has none for mingw) and run under Wine.
if(CMAKE_CROSSCOMPILING)
    set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
    set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    # It names its targets GTest::gtest and GTest::gtest_main itself.
    add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
else()
    find_package(GTest REQUIRED)
endif()

# One CTest test per program: each start of Wine costs about a second. Under Wine they use a prefix
# of their own: a Wine session started there without a display would leave the dialog's tests,
# which need one, without it.
if(CMAKE_CROSSCOMPILING)
    set(KELVANE_TEST_RUNNER ${PROJECT_SOURCE_DIR}/tests/win/wine-run.sh ${CMAKE_BINARY_DIR}/wineprefix-unit)
else()
    set(KELVANE_TEST_RUNNER "")
endif()
add_executable(kelvane_tests
    core/TextUtilTest.cpp
    core/CoreTest.cpp
    core/EncodingTest.cpp
    core/IdnTest.cpp
    core/PublicSuffixTest.cpp
    core/ResolveTest.cpp
    engine/NameRuleTest.cpp
    engine/SiteBuilderTest.cpp
    engine/FileNamesTest.cpp
    engine/ListCheckTest.cpp
    engine/CertGroupsTest.cpp
    engine/CertFileTest.cpp
)
target_include_directories(kelvane_tests PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
# Wine reaches the source tree through its drive Z:, the root of this system.
target_compile_definitions(kelvane_tests PRIVATE KELVANE_TEST_DATA="${CMAKE_CURRENT_SOURCE_DIR}/engine/data")
target_link_libraries(kelvane_tests PRIVATE kelvane_core kelvane_warnings GTest::gtest GTest::gtest_main)
# The registered domains run by name too (ctest -R PublicSuffix), as on Linux: their suite apart.
add_test(NAME kelvane_tests COMMAND ${KELVANE_TEST_RUNNER} $<TARGET_FILE:kelvane_tests> --gtest_filter=-PublicSuffixTest.*)
add_test(NAME kelvane_tests.PublicSuffixTest
         COMMAND ${KELVANE_TEST_RUNNER} $<TARGET_FILE:kelvane_tests> --gtest_filter=PublicSuffixTest.*)

add_executable(kelvane_dialog_tests dialog/GeneratorLogicTest.cpp)
target_include_directories(kelvane_dialog_tests PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(kelvane_dialog_tests PRIVATE kelvane_dialog kelvane_warnings GTest::gtest GTest::gtest_main)
add_test(NAME kelvane_dialog_tests COMMAND ${KELVANE_TEST_RUNNER} $<TARGET_FILE:kelvane_dialog_tests>)
set_tests_properties(kelvane_tests kelvane_tests.PublicSuffixTest kelvane_dialog_tests PROPERTIES TIMEOUT 600)
