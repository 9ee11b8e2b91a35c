#!/usr/bin/env bash
# Makes the offline Windows XP samples from machines/xp (same registry
# content, same files):
#   machines/xp-offline/        a bare export as regedit writes one from an
#                               installation that is not running: SYSTEM\ControlSet001
#                               and Select (no CurrentControlSet), the version in
#                               SOFTWARE\Microsoft\Windows NT\CurrentVersion, no machine.ini
#   machines/xp-offline-drive/  the root of its drive: WINDOWS\ with the same files
#                               and system32\config\system and software, hives made
#                               from the export by the make_hive test tool
# Usage: scripts/make-offline-sample.sh [BUILD_DIR]   (default build/host-asan)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/host-asan}
make_hive=$build/bin/make_hive
[ -x "$make_hive" ] || cmake --build "$build" --target make_hive
[ -x "$make_hive" ] || make_hive=$(find "$build" -name make_hive -type f -perm -u+x | head -1)

export_dir=machines/xp-offline
drive_dir=machines/xp-offline-drive
rm -rf "$export_dir" "$drive_dir"
mkdir -p "$export_dir" "$drive_dir/WINDOWS/system32/config"
cp -r machines/xp/drive_c "$export_dir/drive_c"
cp -r machines/xp/drive_c/WINDOWS/. "$drive_dir/WINDOWS/"

{
  sed 's/^\[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\/[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\/' \
    machines/xp/system.reg
  printf '[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion]\r\n'
  printf '"CurrentVersion"="5.1"\r\n"CurrentBuildNumber"="2600"\r\n'
  printf '"CSDVersion"="Service Pack 2"\r\n"SystemRoot"="C:\\\\WINDOWS"\r\n\r\n'
  printf '[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Control\\Nls\\CodePage]\r\n"ACP"="1252"\r\n\r\n'
  printf '[HKEY_LOCAL_MACHINE\\SYSTEM\\Select]\r\n'
  printf '"Current"=dword:00000001\r\n"Default"=dword:00000001\r\n"Failed"=dword:00000000\r\n'
  printf '"LastKnownGood"=dword:00000002\r\n\r\n'
} >"$export_dir/system.reg"

"$make_hive" "$export_dir/system.reg" 'HKEY_LOCAL_MACHINE\SYSTEM' "$drive_dir/WINDOWS/system32/config/system"
"$make_hive" "$export_dir/system.reg" 'HKEY_LOCAL_MACHINE\SOFTWARE' "$drive_dir/WINDOWS/system32/config/software"
echo "made $export_dir and $drive_dir"
