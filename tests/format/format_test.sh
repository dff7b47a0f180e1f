#!/usr/bin/env bash
# Fails when a C or C++ file under src/, tools/ or examples/ is not formatted as .clang-format says;
# names each such file. Usage: format_test.sh SOURCE_DIR
set -euo pipefail
cd "$1"
format=$(command -v clang-format-14 || command -v clang-format || true)
[ -n "$format" ] || { echo "format: clang-format is not installed (scripts/setup.sh installs it)"; exit 1; }
bad=0
while IFS= read -r -d '' file; do
  if ! "$format" --style=file --dry-run -Werror "$file" >/dev/null 2>&1; then
    echo "format: not formatted: $file (run: $format -i --style=file $file)"
    bad=$((bad + 1))
  fi
done < <(git ls-files -z -- 'src/*.cc' 'src/*.h' 'src/*.c' 'tools/*.cc' 'tools/*.h' 'examples/*.cc' 'examples/*.h' 'examples/*.c' 2>/dev/null ||
         find src tools examples \( -name '*.cc' -o -name '*.h' -o -name '*.c' \) -print0)
echo "format: $bad unformatted files"
[ "$bad" -eq 0 ]
