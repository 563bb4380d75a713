#!/bin/sh
# check_headers.sh INCLUDEDIR: every installed libnuvdesktop header compiles
# on its own (no project header, no include it forgot) as C++17.
set -eu
dir=$1/nuvdesktop
[ -d "$dir" ] || { echo "no headers in $dir" >&2; exit 1; }
status=0
for header in "$dir"/*.h; do
  printf '#include <nuvdesktop/%s>\n' "$(basename "$header")" |
    c++ -std=c++17 -Wall -Wextra -Werror -fsyntax-only -I "$1" -x c++ - || status=1
done
exit $status
