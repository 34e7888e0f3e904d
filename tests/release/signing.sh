#!/usr/bin/env bash
# Authenticode signing with a throwaway self-signed certificate made here:
# a signed copy of fwupdate.exe verifies over the digest of the executable's
# own bytes (computed by pe_digest.py, not by osslsigncode), a copy with one
# byte changed does not, and the build's signing path (cmake/signing.cmake)
# signs when given a certificate and key, as cache or environment variables,
# and leaves the program unsigned when given none.
#   bash signing.sh FWUPDATE_EXE SOURCE_DIR WORK_DIR
set -uo pipefail
exe=$1
src=$2
work=$3
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
rm -rf "$work"
mkdir -p "$work"
cd "$work" || exit 1
failed=0
fail() { echo "FAIL $*"; failed=1; }

# The certificate trusts itself, so that verification can succeed: its
# result then says whether the signature holds, not whether the chain does.
openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem -days 2 \
  -subj "/CN=fwupdate throwaway test signer" -addext "extendedKeyUsage=codeSigning" 2>openssl.err ||
  { cat openssl.err; echo "FAIL openssl cannot make a certificate"; exit 1; }
echo "throwaway pass phrase" >pass.txt
openssl pkey -in key.pem -aes256 -passout file:pass.txt -out key-encrypted.pem ||
  { echo "FAIL openssl cannot encrypt the key"; exit 1; }

# verify NAME FILE EXPECTED_DIGEST: the signature holds, with SHA-256, over
# exactly the digest given.
verify() {
  local name=$1 file=$2 expected=$3 current calculated
  osslsigncode verify -CAfile cert.pem -in "$file" >"$name.verify" 2>&1
  local rc=$?
  grep -E 'digest|verification|^Succeeded|^Failed' "$name.verify" | sed "s/^/$name: /"
  current=$(awk -F': *' '/^Current message digest/ { print $2 }' "$name.verify" | tr -d ' ')
  calculated=$(awk -F': *' '/^Calculated message digest/ { print $2 }' "$name.verify" | tr -d ' ')
  [ "$rc" = 0 ] || fail "$name: osslsigncode verify exit status $rc"
  grep -q '^Signature verification: ok' "$name.verify" || fail "$name: signature not verified"
  grep -q '^Message digest algorithm  : SHA256' "$name.verify" || fail "$name: digest algorithm is not SHA-256"
  [ "$current" = "$expected" ] || fail "$name: signed digest $current, expected $expected"
  [ "$calculated" = "$expected" ] || fail "$name: calculated digest $calculated, expected $expected"
}

# 1. A copy of fwupdate.exe, signed in place by the build's signing script.
cp "$exe" fwupdate-signed.exe
expected=$(python3 "$here/pe_digest.py" "$exe") || exit 1
echo "digest of fwupdate.exe: $expected"
cmake -DIN=fwupdate-signed.exe -DOUT=fwupdate-signed.exe -DCERT=cert.pem -DKEY=key.pem \
  -DDESCRIPTION=fwupdate.exe -P "$src/cmake/sign_file.cmake" || fail "sign_file.cmake failed"
verify fwupdate fwupdate-signed.exe "$expected"

# 2. One byte changed inside the firmware image of the signed copy.
cp fwupdate-signed.exe fwupdate-changed.exe
python3 - fwupdate-changed.exe <<'PY'
import os, sys
with open(sys.argv[1], "r+b") as f:
    f.seek(os.path.getsize(sys.argv[1]) // 2)
    byte = f.read(1)
    f.seek(-1, 1)
    f.write(bytes([byte[0] ^ 0x01]))
PY
if osslsigncode verify -CAfile cert.pem -in fwupdate-changed.exe >changed.verify 2>&1; then
  fail "a copy with one byte changed still verifies"
fi
grep -q 'MISMATCH' changed.verify || fail "the changed copy's digest mismatch is not reported"
grep -E 'digest|verification' changed.verify | sed 's/^/changed: /'

# 3. A time-stamp server that does not answer fails the signing and leaves
#    the file as it was: a release is never shipped without the time stamp
#    it was meant to have.
cp "$exe" fwupdate-ts.exe
if cmake -DIN=fwupdate-ts.exe -DOUT=fwupdate-ts.exe -DCERT=cert.pem -DKEY=key.pem \
  -DTIMESTAMP_URL=http://127.0.0.1:9/ -P "$src/cmake/sign_file.cmake" >ts.log 2>&1; then
  fail "signing with an unreachable time-stamp server succeeded"
fi
grep -q 'timestamp' ts.log || fail "the time-stamp failure is not reported: $(head -5 ts.log)"
cmp -s "$exe" fwupdate-ts.exe || fail "a failed signing changed the executable"
[ ! -e fwupdate-ts.exe.signing ] || fail "a failed signing left a partial file"

# 4. The build's own path: the certificate as a cache variable, the
#    encrypted key and its pass-phrase file from the environment.
configure() {
  cmake -G Ninja -S "$here/sign_project" -B "$1" -DFWU_SOURCE_DIR="$src" \
    -DCMAKE_TOOLCHAIN_FILE="$src/cmake/mingw-w64.cmake" "${@:2}"
}
if FWU_SIGN_KEY=$PWD/key-encrypted.pem FWU_SIGN_PASSWORD_FILE=$PWD/pass.txt \
  configure project-signed -DFWU_SIGN_CERT="$PWD/cert.pem" >signed.log 2>&1 &&
  cmake --build project-signed >>signed.log 2>&1; then
  # The link's unsigned output is gone; pe_digest.py leaves the signature
  # out of the digest by itself.
  verify build-signed project-signed/hello.exe "$(python3 "$here/pe_digest.py" project-signed/hello.exe)"
else
  cat signed.log
  fail "the signed build failed"
fi

# 5. No certificate and key: unsigned, as before.
if configure project-unsigned >unsigned.log 2>&1 && cmake --build project-unsigned >>unsigned.log 2>&1; then
  osslsigncode verify -in project-unsigned/hello.exe >unsigned.verify 2>&1
  grep -q 'No signature found' unsigned.verify || fail "the build without a certificate signed: $(cat unsigned.verify)"
else
  cat unsigned.log
  fail "the unsigned build failed"
fi

# 6. Half the signing material: the configure stops instead of building an
#    unsigned release.
if FWU_SIGN_CERT=$PWD/cert.pem configure project-half >half.log 2>&1; then
  fail "a certificate without a key configured"
fi
grep -q 'Signing needs both FWU_SIGN_CERT and FWU_SIGN_KEY; FWU_SIGN_KEY is empty' half.log ||
  fail "the missing key is not named: $(tail -5 half.log)"

# 7. Signing fails closed. A folder set to sign from the environment keeps
#    signing after a re-configure without it (a CMake file edited), and a
#    relinked program is signed again; cleared values stop the configure
#    until signing is turned off explicitly.
cp -r "$here/sign_project" project-copy
configure_copy() {
  cmake -G Ninja -S project-copy -B "$1" -DFWU_SOURCE_DIR="$src" \
    -DCMAKE_TOOLCHAIN_FILE="$src/cmake/mingw-w64.cmake" "${@:2}"
}
signature() { osslsigncode verify -CAfile cert.pem -in "$1" 2>&1 | grep -c '^Signature verification: ok'; }
if FWU_SIGN_CERT=$PWD/cert.pem FWU_SIGN_KEY=$PWD/key.pem configure_copy project-kept >kept.log 2>&1 &&
  cmake --build project-kept >>kept.log 2>&1; then
  [ "$(signature project-kept/hello.exe)" = 1 ] || fail "the first build of the kept folder is not signed"
  touch project-copy/CMakeLists.txt
  rm -f project-kept/hello.exe
  if cmake --build project-kept >>kept.log 2>&1; then
    grep -q 'Re-running CMake' kept.log || fail "touching the CMake file did not re-configure"
    [ "$(signature project-kept/hello.exe)" = 1 ] || fail "after a re-configure without the environment the build is unsigned"
  else
    cat kept.log
    fail "the rebuild after a re-configure failed"
  fi
  if configure_copy project-kept -DFWU_SIGN_CERT= -DFWU_SIGN_KEY= >cleared.log 2>&1; then
    fail "a folder set to sign configured with its signing material cleared"
  fi
  grep -q 'This build folder was set to sign' cleared.log || fail "the cleared material is not explained: $(tail -5 cleared.log)"
  rm -f project-kept/hello.exe
  if configure_copy project-kept -DFWU_SIGN_OFF=ON >off.log 2>&1 && cmake --build project-kept >>off.log 2>&1; then
    [ "$(signature project-kept/hello.exe)" = 0 ] || fail "signing turned off explicitly still signed"
  else
    cat off.log
    fail "the build with signing turned off failed"
  fi
else
  cat kept.log
  fail "the kept folder's first build failed"
fi

# 8. A path with ';' would be split as a list: refused, and said so.
if FWU_SIGN_CERT="$PWD/a;b.pem" FWU_SIGN_KEY=$PWD/key.pem configure project-semicolon >semicolon.log 2>&1; then
  fail "a certificate path with ';' configured"
fi
grep -q "FWU_SIGN_CERT: a path containing ';' cannot be used" semicolon.log ||
  fail "the ';' path is not refused clearly: $(tail -5 semicolon.log)"

[ $failed = 0 ] && echo "signing: all checks passed"
exit $failed
