# Both builds of tests/chat_test.cpp start the chat server example as a child process: they are
# told where the program is and are built after it.
if(TARGET chat_server)
  foreach(test zovnet_chat_test zovnetd_chat_test)
    if(TARGET ${test})
      target_compile_definitions(${test} PRIVATE "CHAT_SERVER_PATH=\"$<TARGET_FILE:chat_server>\"")
      add_dependencies(${test} chat_server)
    endif()
  endforeach()
endif()
