// Reads a program's version record back from the built .exe, as Explorer's
// Properties > Details does, and compares it with what it must say.
// Usage: version_info PROGRAM.exe NAME DESCRIPTION
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {
int failures = 0;

void expect(const char *what, const std::wstring &found, const std::wstring &wanted)
{
    std::printf("%-17s %ls\n", what, found.c_str());
    if (found != wanted) {
        std::printf("  expected \"%ls\"\n", wanted.c_str());
        ++failures;
    }
}

std::wstring widen(const char *s)
{
    const int n = MultiByteToWideChar(CP_UTF8, 0, s, -1, nullptr, 0);
    std::wstring w(size_t(n > 0 ? n - 1 : 0), L'\0');
    if (n > 1)
        MultiByteToWideChar(CP_UTF8, 0, s, -1, w.data(), n);
    return w;
}
}

int main(int argc, char *argv[])
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: version_info PROGRAM.exe NAME DESCRIPTION\n");
        return 2;
    }
    const std::wstring path = widen(argv[1]), name = widen(argv[2]), description = widen(argv[3]);
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    if (size == 0) {
        std::printf("%s has no version record (error %lu)\n", argv[1], GetLastError());
        return 1;
    }
    std::vector<char> data(size);
    if (!GetFileVersionInfoW(path.c_str(), 0, size, data.data())) {
        std::printf("cannot read the version record of %s (error %lu)\n", argv[1], GetLastError());
        return 1;
    }

    VS_FIXEDFILEINFO *fixed = nullptr;
    UINT len = 0;
    if (!VerQueryValueW(data.data(), L"\\", reinterpret_cast<void **>(&fixed), &len) || len < sizeof *fixed) {
        std::printf("no fixed file information\n");
        return 1;
    }
    auto numbers = [](DWORD ms, DWORD ls) {
        return std::to_wstring(HIWORD(ms)) + L'.' + std::to_wstring(LOWORD(ms)) + L'.' + std::to_wstring(HIWORD(ls))
               + L'.' + std::to_wstring(LOWORD(ls));
    };
    expect("file version", numbers(fixed->dwFileVersionMS, fixed->dwFileVersionLS), L"1.0.0.0");
    expect("product version", numbers(fixed->dwProductVersionMS, fixed->dwProductVersionLS), L"1.0.0.0");
    expect("file type", fixed->dwFileType == VFT_APP ? L"application" : L"other", L"application");

    // The language and code page the strings are kept under: U.S. English, Unicode.
    WORD *translation = nullptr;
    if (!VerQueryValueW(data.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void **>(&translation), &len)
        || len < 2 * sizeof(WORD)) {
        std::printf("no translation entry\n");
        return 1;
    }
    wchar_t block[32];
    swprintf(block, 32, L"%04x%04x", translation[0], translation[1]);
    expect("language", block, L"040904b0");

    const std::pair<const wchar_t *, std::wstring> strings[] = {
        {L"FileVersion", L"1.00"},     {L"ProductVersion", L"1.00"},       {L"ProductName", name},
        {L"InternalName", name},       {L"OriginalFilename", name + L".exe"}, {L"FileDescription", description},
    };
    for (const auto &[key, wanted] : strings) {
        const std::wstring query = std::wstring(L"\\StringFileInfo\\") + block + L'\\' + key;
        wchar_t *value = nullptr;
        std::wstring found = L"(missing)";
        if (VerQueryValueW(data.data(), query.c_str(), reinterpret_cast<void **>(&value), &len) && value)
            found.assign(value, len > 0 && value[len - 1] == L'\0' ? len - 1 : len);
        char label[32];
        std::snprintf(label, sizeof label, "%ls", key);
        expect(label, found, wanted);
    }
    std::printf("%s: %s\n", argv[2], failures ? "version record is wrong" : "version record holds 1.00");
    return failures ? 1 : 0;
}
