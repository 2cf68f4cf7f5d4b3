#!/usr/bin/env bash
# The five system folders are portable code: they include only platform/ headers, the
# project's own system headers, the header-only helpers of common/ and the C++ standard
# library. Anything else fails this test; so does a common/ header that includes anything but
# the standard library.
set -u
root="$1"
status=0
# C++ standard headers have plain lower-case names (<cstdint>, <span>); POSIX, OpenSSL, test
# and UI headers all carry an extension or a directory (<unistd.h>, <openssl/evp.h>).
allowed_std='^[a-z_0-9]+$'
while IFS= read -r line; do
  file=${line%%:*}
  rest=${line#*:}; rest=${rest#*:}
  target=$(printf '%s' "$rest" | sed -E 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*[<"]([^>"]+)[>"].*/\1/')
  case "$rest" in
    *'"'*)
      case "$target" in
        platform/*|common/*|app/*|update/*|signing/*|flash/*|settings/*)
          [[ $file == common/* ]] || continue ;;
      esac ;;
    *)
      if printf '%s' "$target" | grep -Eq "$allowed_std"; then continue; fi ;;
  esac
  echo "$file: includes $target, which a system folder may not use"
  status=1
done < <(cd "$root" && grep -rnE --include='*.h' --include='*.cc' --include='*.inc' '^[[:space:]]*#[[:space:]]*include' app update signing flash settings common 2>/dev/null)
exit $status
