# The smallest server that does the recording server's job: what the agent
# sends is appended to $KAVRI_RECORD_DIR/stdin.
exec cat >> "$KAVRI_RECORD_DIR/stdin"
