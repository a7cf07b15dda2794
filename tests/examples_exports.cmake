# What each shared library exports: only the library's classes may leave it (their members,
# vtables and type information, the static m_instance among them). A free function, the platform
# layer's namespace, or template code of the standard library instantiated inside the library
# must stay hidden, so that two programs' copies of them never clash with ours.
#
# Included by tests/CMakeLists.txt, this file registers one test per library; the test runs this
# same file as a script (cmake -DNM=... -DLIBRARY=... [-DSANITIZED=ON] -P examples_exports.cmake).

if(CMAKE_SCRIPT_MODE_FILE)
  set(classes ZovNet ZovAddress ZovNetPacket ZovSocket ZovTCPSocketClient ZovTCPSocketServer
      ZovUDPSocket ZovSocketSet ZovSocketPoller)

  # Mangled names hold no blanks, brackets or semicolons, so each line is safe as a list element.
  execute_process(COMMAND ${NM} -D --defined-only ${LIBRARY}
    OUTPUT_VARIABLE listing RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${NM} failed on ${LIBRARY}")
  endif()

  # A class's symbols start with its length-prefixed name right after the member (N, NK) or
  # vtable and type information (TV, TI, TS) prefixes, so a namespace or a longer class name
  # sharing the prefix cannot pass for it.
  set(owner "")
  foreach(class ${classes})
    string(LENGTH ${class} length)
    list(APPEND owner "${length}${class}")
  endforeach()
  list(JOIN owner "|" owner)
  set(allowed "^_Z(N|NK|TV|TI|TS)(${owner})")
  # clang's check of indirect calls (-fsanitize=function, part of its undefined-behaviour
  # sanitizer) compares the callee's function type with the caller's through their type
  # information, which it emits for every function type involved; those that name a library
  # class ("typeinfo for ZovNet* ()") match the export list as the class's own would. Only a
  # sanitized build has them, and they are alike in every module.
  if(SANITIZED)
    string(APPEND allowed "|^_ZT[IS]F")
  endif()

  string(REGEX MATCHALL "[^\n]+" lines "${listing}")
  set(count 0)
  set(strangers "")
  foreach(line ${lines})
    string(REGEX REPLACE "^[0-9a-fA-F]* *[A-Za-z] +" "" symbol "${line}")
    # The address sanitizer pairs each exported global with an indicator of its own name.
    string(REGEX REPLACE "^__odr_asan\\." "" symbol "${symbol}")
    math(EXPR count "${count} + 1")
    if(NOT symbol MATCHES "${allowed}")
      string(APPEND strangers "  ${symbol}\n")
    endif()
  endforeach()
  if(strangers)
    message(FATAL_ERROR "${LIBRARY} exports symbols of no library class:\n${strangers}")
  endif()

  # And the classes are there: one member of each (the private one of the packet included), the
  # singleton's pointer, and a vtable.
  execute_process(COMMAND ${NM} -D --defined-only -C ${LIBRARY} OUTPUT_VARIABLE demangled)
  foreach(symbol
      "ZovNet::GetInstance()" "ZovNet::m_instance" "ZovNet::LastError()" "ZovNet::ErrorText(int)"
      "ZovNet::SetReportHandler(" "ZovNetPacket::NextPacket()"
      "ZovSocket::ShutDown(ZovSocket::SockState)" "ZovTCPSocketClient::Connect("
      "ZovTCPSocketServer::Accept()" "ZovUDPSocket::ZovUDPSocket(" "ZovSocketSet::WaitSockets("
      "ZovAddress::FromBytes("
      "vtable for ZovSocket")
    string(FIND "${demangled}" "${symbol}" at)
    if(at EQUAL -1)
      message(FATAL_ERROR "${LIBRARY} does not export ${symbol}")
    endif()
  endforeach()
  message(STATUS "${LIBRARY}: ${count} exported symbols, all of library classes")
  return()
endif()

if(NOT WIN32)
  set(ZOVNET_NM ${CMAKE_NM})
  if(NOT ZOVNET_NM)
    set(ZOVNET_NM nm)
  endif()
  foreach(lib ZovNet ZovNetd)
    string(TOLOWER ${lib} prefix)
    add_test(NAME ${prefix}.Exports.OnlyLibraryClasses
      COMMAND ${CMAKE_COMMAND} -DNM=${ZOVNET_NM} -DLIBRARY=$<TARGET_FILE:${lib}>
              -DSANITIZED=${ZOVNET_SANITIZE} -P ${CMAKE_CURRENT_LIST_FILE})
  endforeach()
endif()
