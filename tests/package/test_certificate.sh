# shellcheck shell=bash
# A throwaway self-signed code-signing certificate for the package tests; sourced, not run.
# make_test_certificate FOLDER writes FOLDER/cert.pem (to verify against), cert.pfx (to sign
# with) and password (the .pfx's, readable by this user alone). The password only ever goes
# through files, so the tests can look for it in the process list and in every output.
make_test_certificate() {
    local folder=$1
    rm -rf "$folder"
    mkdir -p "$folder"
    (
        umask 077
        printf 'plovane-test-%s\n' "$(od -An -N16 -tx1 /dev/urandom | tr -d ' \n')" \
            >"$folder/password"
    )
    openssl req -x509 -newkey rsa:2048 -nodes -days 30 -subj "/CN=Plovane test signer" \
        -addext "extendedKeyUsage=codeSigning" -addext "keyUsage=critical,digitalSignature" \
        -keyout "$folder/key.pem" -out "$folder/cert.pem" >/dev/null 2>&1 &&
        openssl pkcs12 -export -inkey "$folder/key.pem" -in "$folder/cert.pem" \
            -out "$folder/cert.pfx" -passout "file:$folder/password" >/dev/null 2>&1 &&
        rm -f "$folder/key.pem"
}
