"""The functions the i686 exe may import: each one's DLL and the oldest
Windows of each family that exports a working implementation. pecheck fails
an exe that imports anything else. docs/win32-imports.md shows the same
table (a unit test keeps the two alike).

Extend the table only with a function that Windows 98 implements (not a
stub); for a Unicode ("W") function that means one of UNICODE_ON_9X.
"""

_95 = ("95", "NT 3.51")

# Windows 95/98/ME implement only these Unicode functions; every other "W"
# export fails with ERROR_CALL_NOT_IMPLEMENTED.
UNICODE_ON_9X = {
    "ExtTextOutW": "gdi32.dll",
    "GetCharWidthW": "gdi32.dll",
    "GetTextExtentExPointW": "gdi32.dll",
    "GetTextExtentPointW": "gdi32.dll",
    "GetTextExtentPoint32W": "gdi32.dll",
    "TextOutW": "gdi32.dll",
    "MessageBoxW": "user32.dll",
    "MessageBoxExW": "user32.dll",
    "lstrlenW": "kernel32.dll",
    "EnumResourceLanguagesW": "kernel32.dll",
    "EnumResourceNamesW": "kernel32.dll",
    "EnumResourceTypesW": "kernel32.dll",
    "FindResourceW": "kernel32.dll",
    "FindResourceExW": "kernel32.dll",
    "MultiByteToWideChar": "kernel32.dll",
    "WideCharToMultiByte": "kernel32.dll",
}

# dll -> function -> (oldest 9x, oldest NT).
WIN98_API = {
    "advapi32.dll": {
        name: _95
        for name in ("RegCloseKey", "RegDeleteKeyA", "RegEnumKeyExA", "RegOpenKeyExA", "RegQueryValueExA")
    },
    "comctl32.dll": {"InitCommonControls": _95},
    "kernel32.dll": {
        name: _95
        for name in (
            "CloseHandle", "CreateFileA", "DeleteFileA", "ExitProcess", "GetCommandLineA",
            "GetFileAttributesA", "GetLastError", "GetLocalTime", "GetModuleHandleA",
            "GetStartupInfoA", "GetTempPathA", "GetVersionExA", "GetWindowsDirectoryA",
            "SetFileAttributesA", "SetFilePointer", "WriteFile",
        )
    },
    # The C runtime that Windows itself carries (98, NT 4.0): the few C
    # functions the program uses. The exe has its own start-up code
    # (dialog/win32_start.cpp), so none of the runtime's start-up, stdio or
    # exit functions belongs here.
    "msvcrt.dll": {
        name: ("98", "NT 4.0")
        for name in (
            "calloc", "free", "malloc", "memchr", "memcmp", "memcpy", "memmove", "realloc",
            "strchr", "strcmp", "strlen", "strncmp", "strpbrk", "strrchr", "strstr",
        )
    },
    "setupapi.dll": {
        name: ("98", "2000")
        for name in (
            "SetupDiCallClassInstaller", "SetupDiDestroyDeviceInfoList", "SetupDiEnumDeviceInfo",
            "SetupDiGetClassDevsA", "SetupDiGetDeviceInstanceIdA", "SetupDiGetDeviceRegistryPropertyA",
            "SetupDiSetClassInstallParamsA",
        )
    },
    "user32.dll": {
        name: _95
        for name in (
            "AppendMenuA", "BeginPaint", "CharLowerBuffA", "CharUpperBuffA", "DialogBoxParamA", "DrawIcon", "EnableWindow", "EndDialog",
            "EndPaint", "ExitWindowsEx", "GetClientRect", "GetDlgItem", "GetSystemMenu",
            "GetSystemMetrics", "GetWindowLongA", "IsIconic", "LoadIconA", "LoadStringA",
            "MessageBoxA", "PostMessageA", "SendMessageA", "SetWindowLongA", "SetWindowTextA", "UpdateWindow",
            "wvsprintfA",
        )
    },
    "gdi32.dll": {},
}

for _name, _dll in UNICODE_ON_9X.items():
    WIN98_API[_dll][_name] = _95
