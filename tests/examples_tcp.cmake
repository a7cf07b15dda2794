# The TCP examples run as the separate processes they are: the demo, and the echo server with its
# client. Every process runs under `timeout`, so a lost packet fails the test instead of hanging it,
# and under the emulator of a cross-build (ZOVNET_TEST_EMULATOR: unquoted, it is its words).
# (The scripts avoid semicolons: CMake would take them for list separators.)
if(UNIX)
  add_test(NAME examples.zovnet_demo
    COMMAND sh -c [=[
out=$(timeout 30 $ZOVNET_TEST_EMULATOR "$1")
status=$?
printf '%s\n' "$out"
if [ "$status" -ne 0 ]
then
  echo "zovnet_demo exited with status $status"
  exit 1
fi
printf '%s\n' "$out" | grep -q 'on the wire: 00 09 07 02 01 00 01 00 00$' &&
printf '%s\n' "$out" | grep -q 'bytes received: 00 09 07 02 01 00 01 00 00$'
]=] sh $<TARGET_FILE:zovnet_demo>)

  # The server prints its port on its first line and exits by itself after four connections:
  # twice the client's default address, then IPv4 and IPv6 named, all on the one socket.
  add_test(NAME examples.echo_server_and_client
    COMMAND sh -c [=[
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
timeout 30 $ZOVNET_TEST_EMULATOR "$1" 0 --max-connections 4 >"$dir/server.out" 2>&1 &
pid=$!
i=0
while [ "$i" -lt 100 ] && ! grep -q 'listening on port' "$dir/server.out"
do
  sleep 0.1
  i=$((i + 1))
done
port=$(sed -n 's/^echo_server: listening on port \([0-9][0-9]*\)$/\1/p' "$dir/server.out")
if [ -z "$port" ]
then
  echo "echo_server did not say which port it listens on"
  cat "$dir/server.out"
  kill "$pid" 2>/dev/null
  exit 1
fi
failed=0
for server in default default 127.0.0.1 ::1
do
  if [ "$server" = default ]
  then
    timeout 10 $ZOVNET_TEST_EMULATOR "$2" "$port" >"$dir/client.out" 2>&1 || failed=1
  else
    timeout 10 $ZOVNET_TEST_EMULATOR "$2" "$server" "$port" >"$dir/client.out" 2>&1 || failed=1
  fi
  cat "$dir/client.out"
  grep -q '^received 9 bytes: 00 09 07 02 01 00 01 00 00$' "$dir/client.out" || failed=1
  grep -q '^decoded: type 7, Int16 513, Int32 65536$' "$dir/client.out" || failed=1
done
wait "$pid" || failed=1
cat "$dir/server.out"
grep -q '^echo_server: 127\.0\.0\.1:[0-9]*: echoed a packet of type 7, 9 bytes$' "$dir/server.out" ||
  failed=1
grep -q '^echo_server: \[::1\]:[0-9]*: echoed a packet of type 7, 9 bytes$' "$dir/server.out" ||
  failed=1
# An address the client cannot take is a usage error.
timeout 10 $ZOVNET_TEST_EMULATOR "$2" 1.2.3 "$port" >"$dir/bad.out" 2>&1
status=$?
cat "$dir/bad.out"
[ "$status" -eq 2 ] || failed=1
grep -q '^echo_client: not an IPv4 or IPv6 address: 1\.2\.3$' "$dir/bad.out" || failed=1
exit "$failed"
]=] sh $<TARGET_FILE:echo_server> $<TARGET_FILE:echo_client>)

  set_tests_properties(examples.zovnet_demo examples.echo_server_and_client
    PROPERTIES TIMEOUT 60 LABELS examples ${ZOVNET_TEST_ENVIRONMENT})
endif()
