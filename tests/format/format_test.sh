#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Fails when a C or C++ file under src/, tools/ or examples/ is not formatted as .clang-format says,
# or when a source file of the project does not name its licence (an SPDX line in its first lines);
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
unlicensed=0
while IFS= read -r -d '' file; do
  if ! head -n 3 "$file" | grep -q 'SPDX-License-Identifier: MIT'; then
    echo "format: no SPDX licence line: $file"
    unlicensed=$((unlicensed + 1))
  fi
done < <(git ls-files -z -- '*.cc' '*.h' '*.c' '*.sh' '*.py' '*CMakeLists.txt' 2>/dev/null ||
         find src tools tests fuzz bench scripts \( -name '*.cc' -o -name '*.h' -o -name '*.sh' \) -print0)
echo "format: $unlicensed files without a licence line"
bad=$((bad + unlicensed))
[ "$bad" -eq 0 ]
