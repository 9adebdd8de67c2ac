# What the sample Application OS's starter (/bin/backtrace) shows on the
# console: the variables its environment file set, then it stays up until the
# switch is switched off.
echo
echo "=== Application OS ${APPOS_VERSION:-unknown} (${APPOS_BUILD:-no build}) is running ==="
env | grep '^APPOS_' | sort
echo "Ctrl-] switches the switch off."
while :; do /bin/sleep 3600; done
