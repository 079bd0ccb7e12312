# Windows unit tests: GoogleTest built from Debian's source (/usr/src/googletest) with the cross
# compiler, and the test files that hold no POSIX calls, with Windows versions of the shared
# helpers (support_win32.cpp, net_peers_win32.cpp, env_win32.h). One test runs the whole program
# under Wine (CMAKE_CROSSCOMPILING_EMULATOR): a Wine start per test case would take minutes.
enable_testing()
set(QV_GTEST_SRC "/usr/src/googletest" CACHE PATH "GoogleTest source tree")
if(NOT EXISTS "${QV_GTEST_SRC}/CMakeLists.txt")
  message(FATAL_ERROR "GoogleTest source missing at ${QV_GTEST_SRC}: install googletest")
endif()
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory("${QV_GTEST_SRC}" "${CMAKE_BINARY_DIR}/googletest" EXCLUDE_FROM_ALL SYSTEM)

set(QV_UNIT "${CMAKE_SOURCE_DIR}/tests/unit")
# Left out: test_conn, test_http (POSIX sockets and signals in the test itself), test_pidlog,
# test_posix_control, test_setup_control (fork, /proc), test_setup_api (SIGPIPE),
# test_setup_pairing (resource limits), test_state_dir (POSIX paths and modes).
# test_platform_win32 covers the Windows side of those.
set(QV_WINDOWS_UNIT_TESTS
  support_win32.cpp net_peers_win32.cpp net_peers_tls.cpp net_peers_wrap.cpp test_platform_win32.cpp test_entry_win32.cpp
  test_text.cpp test_cgi.cpp test_url.cpp test_digest.cpp test_entry.cpp test_mcp.cpp
  test_config.cpp test_approved.cpp test_pending.cpp test_sent.cpp test_status.cpp
  test_identity.cpp test_publish.cpp test_conversation.cpp test_inbound.cpp test_stream.cpp
  test_setup_views.cpp test_setup_save.cpp test_setup_send.cpp test_setup_page.cpp)
list(TRANSFORM QV_WINDOWS_UNIT_TESTS PREPEND "${QV_UNIT}/")

add_executable(unit_tests ${QV_WINDOWS_UNIT_TESTS})
target_compile_options(unit_tests PRIVATE ${QV_WARNINGS} -include "${QV_UNIT}/env_win32.h")
target_link_libraries(unit_tests PRIVATE chimewick_core GTest::gtest GTest::gtest_main)
# Socket sends and receives pass through the tests' would-block switch (net_peers_wrap.cpp).
target_link_options(unit_tests PRIVATE -Wl,--wrap=qv_plat_sock_send -Wl,--wrap=qv_plat_sock_recv)
add_dependencies(unit_tests chimewick)

# Cases left out on Windows, each for a POSIX assumption in the test itself: file modes 0600
# (Windows privacy is checked by access list in test_platform_win32), a state path joined with
# "/", and discovery texts expected with bare line feeds (on Windows they end in CR LF, checked
# in test_entry_win32).
set(QV_WINDOWS_UNIT_SKIPPED
  Config.SaveThenLoadRoundTripsEveryField Approved.SavedFileHasTheExactForm
  Pending.SavedFileHasTheExactForm Sent.FirstNoteCreatesACompactPrivateFile
  Status.SavedFileHasEveryMemberInOrder SetupSave.SaveWithoutFieldsStoresAndReportsValidation
  SetupViews.InfoLeavesOutAnUnusableStateFolder SetupViews.AFolderOthersCouldChangeIsNamedByEveryActionButInfo
  Discovery.TextsAreExactWhateverTheEnvironment
  Dispatch.FirstMatchingArgumentDecidesAndUnknownOnesAreSkipped Mcp.InitializePingAndToolsList
  # The POSIX system's own words for a refused connection, and a queue path joined with "/".
  SetupSend.TestNeedsATopicAndReportsThePublisherFailing Publish.ConnectionAndUrlErrorsArePassedOn
  Mcp.PublishFailuresAreToolResultsWithIsError Inbound.QueueFilesThatHoldNoMessageAreSetAsideAndUnreadableOnesWait)
string(REPLACE ";" ":" QV_WINDOWS_UNIT_SKIPPED "${QV_WINDOWS_UNIT_SKIPPED}")
add_test(NAME unit_tests_windows COMMAND unit_tests "--gtest_filter=-${QV_WINDOWS_UNIT_SKIPPED}")
set_tests_properties(unit_tests_windows PROPERTIES TIMEOUT 300)
