# The init scripts' reading of @UNITCTL_DEFAULTS@, put into each of them
# at configure time so that both read it alike. It needs a function log.
# The destination from the board's configuration, read as admins write such
# files: KEY=value lines, blank lines and lines starting with # ignored, a
# leading "export " taken, a CR and blanks at the line's end dropped, one
# pair of quotes around the value removed; the last such line counts. A
# value with anything else in it goes to the service as written, which
# refuses it. The file is not run. A file that cannot be read is said on
# standard error and in the log, and the default is used.
destination_from_defaults() {
	[ -e "$DEFAULTS" ] || return 0
	if [ ! -f "$DEFAULTS" ] || [ ! -r "$DEFAULTS" ]; then
		echo "unitctl: cannot read $DEFAULTS: the default destination is used" >&2
		log "cannot read $DEFAULTS: the default destination is used"
		return 0
	fi
	value=$(tr -d '\000' <"$DEFAULTS" |
		sed -n 's/^[[:space:]]*\(export[[:space:]][[:space:]]*\)\{0,1\}TELEMETRY_DESTINATION=//p' | tail -n 1)
	# Blanks and a CR at the end go.
	value=${value%"${value##*[![:space:]]}"}
	case $value in
		\"*\" | \'*\')
			if [ "${#value}" -ge 2 ] && [ "${value%"${value#?}"}" = "${value#"${value%?}"}" ]; then
				value=${value#?}
				value=${value%?}
			fi
			;;
	esac
	TELEMETRY_DESTINATION=$value
	export TELEMETRY_DESTINATION
}
