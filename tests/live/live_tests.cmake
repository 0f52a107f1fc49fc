# The live tests (CTest label "live"): the real halyard window with the real
# QTimer and the real clock against the emulator, boxes and dialogs left open
# across scan intervals and answered later, as a user would. tests/CMakeLists.txt
# skips this folder; ui/qt/CMakeLists.txt includes this file and calls
#
#   halyard_add_live_tests(<library>)
#
# which builds tests/live/*_livetest.cpp into livetest_halyard, linked against
# the window's library, on the offscreen platform.
find_package(Qt6 REQUIRED COMPONENTS Test)

function(halyard_add_live_tests library)
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/live/*_livetest.cpp)
  if(NOT sources)
    return()
  endif()
  add_executable(livetest_halyard ${sources} ${CMAKE_SOURCE_DIR}/tests/ui/ui_test_main.cpp)
  target_include_directories(livetest_halyard PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/tests)
  target_link_libraries(livetest_halyard PRIVATE ${library} Qt6::Test GTest::gtest)
  # Each test waits through several real scan intervals and the key
  # operations' real fixed waits (up to half a minute for Add Device); the
  # Security page's check flow repeats fifty times (about three minutes). They
  # run alone (RUN_SERIAL): their users answer boxes after real delays, and a
  # machine busy with other test programs would stretch the scan cycle past
  # the moments they look at the lists.
  gtest_discover_tests(livetest_halyard
    PROPERTIES LABELS live ENVIRONMENT QT_QPA_PLATFORM=offscreen TIMEOUT 420 RUN_SERIAL TRUE
    DISCOVERY_TIMEOUT 60)
endfunction()

# The exporter's pause test starts the halyardctl program.
function(halyard_live_tests_use_halyardctl)
  if(TARGET livetest_halyard AND TARGET halyardctl)
    target_compile_definitions(livetest_halyard PRIVATE HALYARDCTL_PATH="$<TARGET_FILE:halyardctl>")
    add_dependencies(livetest_halyard halyardctl)
  endif()
endfunction()
cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL halyard_live_tests_use_halyardctl)
