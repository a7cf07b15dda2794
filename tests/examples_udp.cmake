# The UDP example checks its own exchange over loopback and says so in its exit status.
if(TARGET udp_example)
  add_test(NAME zovnet.Examples.udp_example COMMAND udp_example)
  set_tests_properties(zovnet.Examples.udp_example PROPERTIES TIMEOUT 30)
endif()
