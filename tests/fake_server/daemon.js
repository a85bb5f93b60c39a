# Test stand-in for the server script, run by /bin/sh through the fake
# runtime. KAVRI_TEST_SCENARIO picks what it does; it leaves its findings as
# files in KAVRI_TEST_OUT.
out=${KAVRI_TEST_OUT:?}
echo started >"$out/started"
case "${KAVRI_TEST_SCENARIO:-}" in
  exit3)
    IFS= read -r line
    printf '%s\n' "$line" >"$out/handshake"
    exit 3
    ;;
  sigterm)
    IFS= read -r line
    kill -TERM $$
    ;;
  stale)
    cp "/proc/$KAVRI_TEST_STALE_PID/status" "$out/stale_status"
    exit 3
    ;;
  *)
    exit 3
    ;;
esac
