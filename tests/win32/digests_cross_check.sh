#!/usr/bin/env bash
# The Windows hasher (CryptoAPI under Wine) against OpenSSL, the library of the Linux build:
# the same bytes give the same digest text, for RFC 1321's inputs, files at every block
# edge and the salted password inputs.
# Usage: digests_cross_check.sh PLATFORM_PROBE_EXE
source "$(dirname "$0")/wine_test_lib.sh"
exe="$1"

openssl_md5() { openssl md5 -r "$1" | cut -c1-32 | tr a-f A-F; }
probe_file() { wine "$exe" hash-file "$(windows_path "$1")" | tr -d '\r'; }

for text in "" "a" "abc" "message digest" "abcdefghijklmnopqrstuvwxyz" \
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789" \
    "12345678901234567890123456789012345678901234567890123456789012345678901234567890"; do
    printf '%s' "$text" >"$work/rfc"
    expect_eq "RFC 1321 input '$text'" "$(probe_file "$work/rfc")" "$(openssl_md5 "$work/rfc")"
done

# Blocks are 16,384 bytes: around one, two and many of them.
for length in 16383 16384 16385 32767 32768 32769 1048576 1048583; do
    head -c "$length" /dev/urandom >"$work/edge"
    expect_eq "$length random bytes" "$(probe_file "$work/edge")" "$(openssl_md5 "$work/edge")"
done

# Password inputs: password and salt as UTF-16LE code units, one with a character beyond
# the basic plane (two code units).
for password in "mango" "" "Mango " "m\u00e1ng\u00f3 \u20ac" "key \U0001F511"; do
    printf "$password"kqzwe | iconv -f UTF-8 -t UTF-16LE >"$work/password"
    expect_eq "salted password '$password'" "$(probe_file "$work/password")" \
        "$(openssl_md5 "$work/password")"
done
finish
