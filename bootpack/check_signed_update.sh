#!/usr/bin/env bash
# Signs an update exe with --sign the way a release pipeline does, with a throwaway self-signed
# certificate made here (no key is kept anywhere): osslsigncode verifies the signed exe against
# that certificate, inspect reports the signature and a correct checksum, and the signed exe
# still applies its update under Wine. A failing signing command leaves nothing behind.
# Needs a built Windows tree, osslsigncode and openssl; exits 77 (skipped) without them.
set -euo pipefail
native=$(realpath "$1")
windows_dir=$(realpath -m "$2")
wine_run=$(realpath "$3")
stub=$windows_dir/bootstrapper/bootstrapper.exe
for tool in osslsigncode openssl; do
  command -v "$tool" >/dev/null || { echo "skipped: $tool is not installed"; exit 77; }
done
[ -f "$stub" ] || { echo "skipped: no $stub (build the windows preset)"; exit 77; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem -days 2 \
  -subj "/CN=bootpack test signer" 2>/dev/null
mkdir -p "release/data" "install"
for i in $(seq 1 2000); do echo "line $i of the signed release"; done > release/data/notes.txt
printf 'new app\n' > release/app.txt
echo '{"version": "4.2.0", "product": "Signed Demo"}' > package.json
sign='osslsigncode sign -certs cert.pem -key key.pem -n "Signed Demo" -h sha256 -in {file} -out {file}.signed >/dev/null && mv {file}.signed {file}'
fail=0

# A signing command that fails: the pack fails and neither the output nor a temporary is left.
if "$native" pack --stub "$stub" --package package.json --from release -o "out dir's.exe" \
     --sign 'exit 3; {file}' 2>err.txt >/dev/null; then
  echo "a failing signing command did not fail the pack"; fail=1
fi
grep -q "exit status 3" err.txt || { echo "no exit status in: $(cat err.txt)"; fail=1; }
leftover=$(ls -A | grep -v -e '^cert.pem$' -e '^key.pem$' -e '^release$' -e '^install$' \
  -e '^package.json$' -e '^err.txt$' || true)
[ -z "$leftover" ] || { echo "left behind: $leftover"; fail=1; }

# A path with a space and a quote reaches the command as one argument.
"$native" pack --stub "$stub" --package package.json --from release -o "out dir's.exe" \
  --sign "$sign" > pack.txt || { echo "the signed pack failed"; exit 1; }
grep -q "signed: by the --sign command" pack.txt || { echo "pack does not say it signed"; fail=1; }
osslsigncode verify -CAfile cert.pem -in "out dir's.exe" > verify.txt 2>&1 \
  || { echo "osslsigncode does not verify the signed exe:"; cat verify.txt; fail=1; }
"$native" inspect "out dir's.exe" > inspect.txt 2>inspect.err || { echo "inspect refuses it"; cat inspect.err; fail=1; }
grep -Eq '^signature: signed \([1-9][0-9]* bytes\)$' inspect.txt \
  || { echo "inspect does not report the signature:"; grep -E 'signature|checksum' inspect.txt; fail=1; }
grep -q '^checksum: ok' inspect.txt || { echo "the signed exe's checksum is off"; fail=1; }
[ ! -s inspect.err ] || { echo "inspect complained:"; cat inspect.err; fail=1; }

# The unsigned pack reports no signature.
"$native" pack --stub "$stub" --package package.json --from release -o plain.exe >/dev/null
"$native" inspect plain.exe | grep -q '^signature: none$' || { echo "an unsigned exe is reported signed"; fail=1; }

# The signed exe applies its update under Wine.
cp "out dir's.exe" signed.exe
base=$("$wine_run" winepath -w "$work/install" 2>/dev/null | tr -d '\r')
"$wine_run" "$work/signed.exe" -update "-base=$base" >/dev/null 2>&1 || true
cmp -s release/app.txt install/app.txt && cmp -s release/data/notes.txt install/data/notes.txt \
  || { echo "the signed exe did not apply its update under Wine"; ls -R install; fail=1; }
exit $fail
