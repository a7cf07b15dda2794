# Both builds of tests/chat_test.cpp start the chat server example as a child process: they are
# told where the program is and are built after it. A Windows build puts every program in one
# directory and names the server by its file name, found beside the test (a path of the build
# machine may mean nothing to the program when it runs under an emulator).
if(TARGET chat_server)
  if(WIN32)
    set(ZOVNET_CHAT_SERVER_PATH "$<TARGET_FILE_NAME:chat_server>")
  else()
    set(ZOVNET_CHAT_SERVER_PATH "$<TARGET_FILE:chat_server>")
  endif()
  foreach(test zovnet_chat_test zovnetd_chat_test)
    if(TARGET ${test})
      target_compile_definitions(${test} PRIVATE "CHAT_SERVER_PATH=\"${ZOVNET_CHAT_SERVER_PATH}\"")
      add_dependencies(${test} chat_server)
    endif()
  endforeach()
endif()
