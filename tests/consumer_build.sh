#!/usr/bin/env bash
# Configures and builds tests/consumer, an application that takes the updater in with
# add_subdirectory, without GoogleTest: it must get the program beside its own, and nothing else
# of ours (no tests, no examples, no packaging or install rules).
# Usage: consumer_build.sh SOURCE_DIR WORK_DIR
set -euo pipefail
source_dir=$1 work=$2
rm -rf "$work"
cmake -S "$source_dir/tests/consumer" -B "$work" -DQUILLMOOR_SOURCE_DIR="$source_dir" \
      -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DCMAKE_BUILD_TYPE=Release --no-warn-unused-cli >/dev/null
cmake --build "$work" >/dev/null

# The real updater, copied beside the application.
[[ -x "$work/app" && -x "$work/quillmoor-updater" ]]
said=$(cd "$work" && ./quillmoor-updater missing~ 2>&1)
[[ $said == "Quillmoor Updater: File missing~ does not exist." ]] || { echo "updater said: $said"; exit 1; }

# None of ours: no tests registered, no test, example or packaging targets, no CPack files.
ctest --test-dir "$work" -N | grep -q '^Total Tests: 0$'
targets=$(cmake --build "$work" --target help)
if grep -E 'core_test|e2e|qm-probe|example-tool|package' <<<"$targets"; then exit 1; fi
[[ ! -e "$work/CPackConfig.cmake" ]]
# Installed, the application's folder holds its program and the updater, and none of our files.
cmake --install "$work" --prefix "$work/installed" >/dev/null
[[ $(ls "$work/installed" | tr '\n' ' ') == "app quillmoor-updater " ]] || { ls -R "$work/installed"; exit 1; }
echo "consumer build ok: $(ls "$work" | grep -E '^(app|quillmoor-updater)$' | tr '\n' ' ')"
rm -rf "$work"
