# Test stand-in for the server script, run by /bin/sh through the fake
# runtime. KAVRI_TEST_SCENARIO picks what it does; it leaves its findings as
# files in KAVRI_TEST_OUT.
out=${KAVRI_TEST_OUT:?}
echo started >"$out/started"
case "${KAVRI_TEST_SCENARIO:-}" in
  stale)
    # First thing, before the agent could signal anything else.
    cp "/proc/$KAVRI_TEST_STALE_PID/status" "$out/stale_status"
    ;;
esac
# Ending before the handshake has been written would end the agent by
# SIGPIPE rather than through its termination handler.
IFS= read -r line
case "${KAVRI_TEST_SCENARIO:-}" in
  exit3)
    printf '%s\n' "$line" >"$out/handshake"
    exit 3
    ;;
  sigterm)
    kill -TERM $$
    ;;
esac
exit 3
