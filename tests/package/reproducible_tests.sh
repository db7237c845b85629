#!/usr/bin/env bash
# Downloads a user can check. Runs scripts/package in two fresh clones of the commit (with the
# working tree's changes on top), in different folders and at different times, unsigned and then
# signed with a throwaway certificate, and checks that both give the same bytes, that the
# signatures verify and break when a byte changes, and that the certificate's password shows in
# no process list and no output. Prints "reproducible tests: N passed, N failed".
set -uo pipefail
. "$(dirname "$0")/../../scripts/lib.sh"
. "$(dirname "$0")/test_certificate.sh"
. "$(dirname "$0")/checks.sh"

work=$ROOT/build/reproducible-tests
logs=$work/logs

# --- building -------------------------------------------------------------------------------

# What the working tree changes on top of its commit, taken once, so that a run before
# committing checks the tree as it stands and both clones get the same.
snapshot_changes() {
    COMMIT=$(git -C "$ROOT" rev-parse HEAD)
    git -C "$ROOT" diff --binary HEAD >"$work/changes.patch" &&
        (cd "$ROOT" && git ls-files -z --others --exclude-standard |
            tar -cf "$work/new-files.tar" --null -T -)
}
# The commit as a fresh clone, with those changes on top.
clone_tree() {  # folder
    local folder=$1
    git clone -q --no-checkout "$ROOT" "$folder" &&
        git -C "$folder" checkout -q --detach "$COMMIT" &&
        { [ ! -s "$work/changes.patch" ] || git -C "$folder" apply "$work/changes.patch"; } &&
        tar -xf "$work/new-files.tar" -C "$folder"
}

package_in() {  # clone, name of this run; PLOVANE_SIGN_* come from the environment
    (cd "$1" && env -u SOURCE_DATE_EPOCH scripts/package) >"$logs/$2.log" 2>&1 || {
        tail -30 "$logs/$2.log"
        return 1
    }
    local keep=$work/$2
    rm -rf "$keep"
    mkdir -p "$keep/dist" "$keep/built" "$keep/shipped"
    cp "$1"/dist/* "$keep/dist/"
    for program in $PROGRAMS; do
        cp "$1/build/i686/bin/$program" "$keep/built/"
        cp "$1/build/i686/package/$BASE-win32/$program" "$keep/shipped/"
    done
}

# The signer as scripts/package finds it on the PATH: it notes the arguments it was given and
# stays long enough for the process samples below to see it, then runs the real one.
make_signer_shim() {
    mkdir -p "$work/shim"
    cat >"$work/shim/osslsigncode" <<EOF
#!/bin/sh
printf '%s\n' "\$*" >>"$logs/signer-arguments"
[ "\$1" = sign ] && sleep 0.5
exec $(command -v osslsigncode) "\$@"
EOF
    chmod +x "$work/shim/osslsigncode"
}
# Every process's arguments, as any user sees them, over and over while signing runs.
sample_processes() {
    while [ -e "$work/sampling" ]; do
        ps -eo args >>"$logs/process-samples" 2>/dev/null
    done
}
package_signed_in() {  # clone, name of this run
    touch "$work/sampling"
    sample_processes &
    local sampler=$! status=0
    PATH=$work/shim:$PATH PLOVANE_SIGN_PFX=$work/cert/cert.pfx \
        PLOVANE_SIGN_PASSWORD_FILE=$work/cert/password package_in "$1" "$2" || status=1
    rm -f "$work/sampling"
    wait "$sampler"
    return $status
}

# A folder on a tmpfs for the second clone: PLOVANE_TMPFS names one, /dev/shm otherwise.
make_second_folder() {
    local tmpfs=${PLOVANE_TMPFS:-/dev/shm}
    if [ "$(stat -f -c %T "$tmpfs" 2>/dev/null)" != tmpfs ]; then
        echo "$tmpfs is no tmpfs: set PLOVANE_TMPFS to a folder on one"
        return 1
    fi
    SECOND_ROOT=$(mktemp -d "$tmpfs/plovane-reproducible.XXXXXX") &&
        SECOND="$SECOND_ROOT/später/second clone" && mkdir -p "$(dirname "$SECOND")"
}

build_all() {
    make_test_certificate "$work/cert" && make_signer_shim && snapshot_changes &&
        clone_tree "$work/a" &&
        package_in "$work/a" unsigned-a &&
        # The second clone is made later, in a folder of another depth and name, so its files
        # carry other times and its build another path; on another filesystem (a tmpfs), which
        # lists a folder's files in another order; and under a path with a space and a letter
        # beyond ASCII, as a newcomer's "My Projects" or home folder may be.
        sleep 2 &&
        make_second_folder && clone_tree "$SECOND" &&
        package_in "$SECOND" unsigned-b &&
        package_signed_in "$work/a" signed-a &&
        sleep 2 &&
        package_signed_in "$SECOND" signed-b
}

# --- checks ---------------------------------------------------------------------------------

# Every file of two runs, by SHA-256; the first that differs is shown with its first differing
# byte.
same_bytes() {  # run, other run
    local a=$work/$1 b=$work/$2 file status=0
    diff <(cd "$a" && find . -type f | sort) <(cd "$b" && find . -type f | sort) || return 1
    while read -r file; do
        if [ "$(sha256sum <"$a/$file")" = "$(sha256sum <"$b/$file")" ]; then
            echo "same: $file"
        else
            echo "DIFFERS: $file; the first difference:"
            cmp "$a/$file" "$b/$file"
            return 1
        fi
    done < <(cd "$a" && find . -type f | sort)
    return $status
}

# Nothing of either clone's folder in a shipped file, as text of either width.
no_build_path() {  # run
    local file found=0
    for file in "$work/$1"/built/* "$work/$1"/dist/*.msi "$work/$1"/dist/*.zip; do
        if { strings -a "$file"; strings -a -el "$file"; } |
            grep -F -e "$ROOT" -e "$work" -e "$SECOND_ROOT" -e "second clone"; then
            echo "in $file"
            found=1
        fi
    done
    [ "$found" -eq 0 ]
}

pe_time_stamp() {  # file: the COFF header's TimeDateStamp
    local header
    header=$(od -An -tu4 -j 60 -N 4 "$1" | tr -d ' ')
    od -An -tu4 -j $((header + 8)) -N 4 "$1" | tr -d ' '
}
times_from_the_commit() {
    local epoch program stamp when
    epoch=$(git -C "$ROOT" log -1 --format=%ct)
    for program in "$work"/unsigned-a/built/*; do
        stamp=$(pe_time_stamp "$program")
        echo "$(basename "$program"): PE time stamp $stamp"
        [ "$stamp" -eq 0 ] || return 1
    done
    when=$(TZ=UTC date -d "@$epoch" '+%a %b %e %H:%M:%S %Y')
    TZ=UTC msiinfo suminfo "$MSI" | grep -E '^(Created|Last saved):' | tee "$logs/msi-times"
    [ "$(grep -cxF -e "Created: $when" -e "Last saved: $when" "$logs/msi-times")" -eq 2 ] &&
        python3 - "$ZIP" "$epoch" <<'EOF'
import sys, time, zipfile
epoch = int(sys.argv[2])
want = time.gmtime(epoch)[:5] + (time.gmtime(epoch)[5] // 2 * 2,)
for info in zipfile.ZipFile(sys.argv[1]).infolist():
    print(info.filename, info.date_time, info.create_system, hex(info.external_attr), len(info.extra))
    assert info.date_time == want, "entry time is not the commit's"
    assert info.extra == b"" and info.create_system == 0, "extra fields or the builder's attributes"
EOF
}

build_record() {
    local record=$work/unsigned-a/dist/$BASE-build-record.txt
    cat "$record"
    grep -qx "commit: $(git -C "$ROOT" rev-parse HEAD)\( with local changes\)\?" "$record" &&
        grep -q "^SOURCE_DATE_EPOCH: $(git -C "$ROOT" log -1 --format=%ct) " "$record" &&
        grep -qF "compiler: $(i686-w64-mingw32-g++-posix --version | head -1)" "$record" &&
        grep -qF "binutils: $(i686-w64-mingw32-ld --version | head -1)" "$record" &&
        grep -qx "wixl: $(wixl --version)" "$record" &&
        grep -qF "msitools: $(msiinfo --version | head -1)" "$record" &&
        grep -qx "signed: no" "$record"
}

says_unsigned_once() {
    grep -i "signed" "$logs/unsigned-a.log"
    [ "$(grep -ci "not signed" "$logs/unsigned-a.log")" -eq 1 ] &&
        ! grep -qi "not signed" "$logs/signed-a.log" &&
        for program in "$work"/unsigned-a/shipped/*; do
            cmp "$program" "$work/unsigned-a/built/$(basename "$program")" &&
                ! osslsigncode verify -CAfile "$work/cert/cert.pem" -in "$program" >/dev/null 2>&1 ||
                return 1
        done
}

property() { msiinfo export "$1" Property | tr -d '\r' | awk -F'\t' -v p="$2" '$1 == p { print $2 }'; }
revision() { msiinfo suminfo "$1" | sed -n 's/^Revision number (UUID): //p'; }
codes() {
    local signed_msi=$work/signed-a/dist/$BASE.msi product
    product=$(property "$MSI" ProductCode)
    echo "ProductCode $product, unsigned PackageCode $(revision "$MSI"), signed $(revision "$signed_msi")"
    # A name-based (version 5) UUID, the same for every build of this version, signed or not; the
    # package code follows the content.
    [[ $product =~ ^\{[0-9A-F]{8}-[0-9A-F]{4}-5[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}\}$ ]] &&
        [ "$(property "$signed_msi" ProductCode)" = "$product" ] &&
        [[ $(revision "$MSI") =~ ^\{[0-9A-F-]{36}\}$ ]] &&
        [ "$(revision "$signed_msi")" != "$(revision "$MSI")" ] &&
        [ "$(property "$MSI" UpgradeCode)" = '{6B0E1C52-3F7A-4C8E-9D21-5A4F0B7C3E19}' ]
}

verify() {  # file
    osslsigncode verify -CAfile "$work/cert/cert.pem" -in "$1" >"$logs/verify.log" 2>&1 && {
        echo "verified: $1"
        return 0
    }
    echo "does not verify: $1"
    tail -5 "$logs/verify.log"
    return 1
}
# The programs as the zip and the MSI carry them, and the MSI itself.
signatures_verify() {
    local signed=$work/signed-a program
    rm -rf "$work/opened" && mkdir -p "$work/opened/zip" "$work/opened/msi"
    (cd "$work/opened/zip" && cmake -E tar xf "$signed/dist/$BASE-win32.zip") &&
        msiextract -C "$work/opened/msi" "$signed/dist/$BASE.msi" >/dev/null || return 1
    for program in $PROGRAMS; do
        local in_msi
        in_msi=$(find "$work/opened/msi" -name "$program")
        verify "$work/opened/zip/$BASE-win32/$program" && verify "$in_msi" &&
            cmp "$in_msi" "$signed/shipped/$program" || return 1
    done
    verify "$signed/dist/$BASE.msi"
}

# What a user without the key can check: the signed programs, signatures stripped, are the
# programs as built, whose sums the build record gives.
signed_is_built_plus_signature() {
    local program record=$work/signed-a/dist/$BASE-build-record.txt
    grep -qx "signed: yes, Authenticode SHA-256 (osslsigncode .*)" "$record" || return 1
    for program in $PROGRAMS; do
        osslsigncode remove-signature -in "$work/signed-a/shipped/$program" \
            -out "$work/stripped-$program" >/dev/null &&
            cmp "$work/stripped-$program" "$work/signed-a/built/$program" &&
            ! cmp -s "$work/signed-a/shipped/$program" "$work/signed-a/built/$program" &&
            grep -qx "$(sha256sum <"$work/signed-a/built/$program" | cut -d' ' -f1)  $program" \
                "$record" || return 1
    done
}

# One byte changed inside what the signature covers: the check must fail.
flip_byte() {  # file, offset, copy
    cp "$1" "$3"
    local byte
    byte=$(od -An -tu1 -j "$2" -N 1 "$1" | tr -d ' ')
    printf '%b' "\\$(printf '%03o' $(((byte + 1) % 256)))" |
        dd of="$3" bs=1 seek="$2" conv=notrunc status=none
}
changed_byte_fails() {
    local signed=$work/signed-a
    flip_byte "$signed/shipped/plovane-actions.exe" 1100 "$work/changed.exe" &&
        flip_byte "$signed/dist/$BASE.msi" $(($(stat -c %s "$signed/dist/$BASE.msi") / 2)) \
            "$work/changed.msi" &&
        ! cmp -s "$work/changed.exe" "$signed/shipped/plovane-actions.exe" &&
        ! verify "$work/changed.exe" && ! verify "$work/changed.msi"
}

password_kept() {
    local password samples
    password=$(tr -d '\n' <"$work/cert/password")
    samples=$(grep -c . "$logs/process-samples")
    echo "$samples process-list lines sampled while signing ran," \
        "$(grep -c 'osslsigncode sign' "$logs/process-samples") of them osslsigncode's"
    # The sampling must have seen the signer at work, or it proves nothing.
    grep 'osslsigncode sign' "$logs/process-samples" | sort -u | head -3
    echo "the signer was called $(grep -c '^sign ' "$logs/signer-arguments") times to sign"
    grep -q 'osslsigncode sign' "$logs/process-samples" &&
        [ "$(grep -c '^sign .*-readpass' "$logs/signer-arguments")" -eq 10 ] &&
        ! grep -rqF -- "$password" "$logs" "$work/signed-a" "$work/signed-b" \
            "$work/a/build/i686/package"
}

# --- the run --------------------------------------------------------------------------------

rm -rf "$work"
mkdir -p "$logs"
SECOND_ROOT=
trap '[ -z "$SECOND_ROOT" ] || rm -rf "$SECOND_ROOT"' EXIT
VERSION=$(sed -n 's/^set(PLOVANE_VERSION "\([^"]*\)".*/\1/p' "$ROOT/CMakeLists.txt")
BASE=plovane-actions-$VERSION
PROGRAMS="plovane-actions.exe actions-menu.exe messenger-standin.dll"
MSI=$work/unsigned-a/dist/$BASE.msi
ZIP=$work/unsigned-a/dist/$BASE-win32.zip
started=$SECONDS
if ! build_all >"$logs/build.log" 2>&1; then
    tail -30 "$logs/build.log"
    echo "reproducible tests: 0 passed, 1 failed (the packages did not build)"
    exit 1
fi
echo "reproducible tests: packaged in two clones, unsigned and signed, in $((SECONDS - started)) s"

check "two clones built at different times in different folders (one on a tmpfs, under a path with a space and a non-ASCII letter) give the same bytes: programs, MSI, zip, SHA256SUMS and build record" \
    same_bytes unsigned-a unsigned-b
check "no shipped file holds the build folder's path" no_build_path unsigned-b
check "no PE time stamp; the MSI's summary times and every zip entry's time are the commit's; no extra zip fields" \
    times_from_the_commit
check "the build record names the commit, SOURCE_DATE_EPOCH and the versions of the tools" build_record
check "without a certificate the programs ship unsigned and the script says so in one line" \
    says_unsigned_once
check "ProductCode: a name-based UUID of the version, the same signed or not; PackageCode follows the content; UpgradeCode fixed" \
    codes
check "two signed builds of one commit give the same bytes" same_bytes signed-a signed-b
check "the signed programs (as in the zip and in the MSI) and the signed MSI verify against the certificate" \
    signatures_verify
check "the signed programs without their signatures are the programs as built, as the build record says" \
    signed_is_built_plus_signature
check "one byte changed in a signed program or the signed MSI fails the check" changed_byte_fails
check "the certificate's password shows in no process's arguments while signing runs, nor in any output" \
    password_kept
echo "reproducible tests: $passed passed, $failed failed ($((SECONDS - started)) s)"
[ "$failed" -eq 0 ]
