# The package scripts' way of counting checks; sourced, after $logs names a folder for the log.
passed=0
failed=0
check_tag=  # said before each check's name: what it ran under

check() {  # what, then the command that must succeed
    local what=$1
    shift
    if "$@" >"$logs/check.log" 2>&1; then
        passed=$((passed + 1))
        printf 'ok    %s%s\n' "$check_tag" "$what"
    else
        failed=$((failed + 1))
        printf 'FAIL  %s%s\n' "$check_tag" "$what"
        sed 's/^/      /' "$logs/check.log" | tail -40
    fi
}
