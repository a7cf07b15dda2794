# The chat server's soak (tests/chat_soak.cpp): a program of its own, not a test of the ordinary
# run, since it takes a minute. CI runs it in a stage of its own; ZOVNET_SOAK_SECONDS sets its
# length. POSIX only: it counts the server's descriptors through /proc.
if(TARGET chat_server AND NOT WIN32)
  add_executable(zovnet_chat_soak ${CMAKE_CURRENT_LIST_DIR}/chat_soak.cpp)
  target_include_directories(zovnet_chat_soak PRIVATE ${CMAKE_CURRENT_LIST_DIR}/support)
  target_link_libraries(zovnet_chat_soak PRIVATE ZovNet GTest::gtest_main Threads::Threads)
  target_compile_options(zovnet_chat_soak PRIVATE ${ZOVNET_WARNINGS})
  target_compile_definitions(zovnet_chat_soak PRIVATE ZOVNET_TEST_DEBUG=0
    "CHAT_SERVER_PATH=\"$<TARGET_FILE:chat_server>\"")
  add_dependencies(zovnet_chat_soak chat_server)
endif()
