# Qt widget tests (CTest label "ui"), run with QT_QPA_PLATFORM=offscreen.
# tests/CMakeLists.txt skips this folder; each Qt program's CMakeLists.txt
# (brandkit/, ui/qt/) includes this file and registers its own tests:
#
#   include(${CMAKE_SOURCE_DIR}/tests/ui/ui_tests.cmake)
#   halyard_add_ui_tests(<program> <library>)
#
# The files tests/ui/<program>_*_test.cpp form the test program
# uitest_<program>, linked against <library> (the program's windows, e.g.
# brandkit_qt) and started by ui_test_main.cpp, which creates the
# QApplication. The tests get two definitions:
#   <PROGRAM>_BINARY    path of the program itself (when the target exists),
#                       for tests that run it as a subprocess;
#   UI_SCREENSHOT_DIR   where tests write screenshots, in the build tree.
find_package(Qt6 REQUIRED COMPONENTS Test)

function(halyard_add_ui_tests program library)
  set(ui_dir ${CMAKE_SOURCE_DIR}/tests/ui)
  file(GLOB sources CONFIGURE_DEPENDS ${ui_dir}/${program}_*_test.cpp)
  if(NOT sources)
    return()
  endif()
  set(screenshots ${CMAKE_BINARY_DIR}/screenshots)
  file(MAKE_DIRECTORY ${screenshots})
  add_executable(uitest_${program} ${sources} ${ui_dir}/ui_test_main.cpp)
  target_include_directories(uitest_${program} PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/tests)
  target_link_libraries(uitest_${program} PRIVATE ${library} Qt6::Test GTest::gtest)
  target_compile_definitions(uitest_${program} PRIVATE UI_SCREENSHOT_DIR="${screenshots}")
  if(TARGET ${program})
    string(TOUPPER ${program} upper)
    target_compile_definitions(uitest_${program} PRIVATE
      ${upper}_BINARY="$<TARGET_FILE:${program}>")
    add_dependencies(uitest_${program} ${program})
  endif()
  gtest_discover_tests(uitest_${program}
    PROPERTIES LABELS ui ENVIRONMENT QT_QPA_PLATFORM=offscreen
    DISCOVERY_TIMEOUT 60)
endfunction()
