#include "platform/file.h"

#include <cwchar>
#include <string>

#include <windows.h>

namespace plat {

namespace {

FileHandle FromHandle(HANDLE h) {
    return h == INVALID_HANDLE_VALUE ? nullptr : h;
}

// ReadFile and WriteFile move at most a DWORD at a time.
constexpr size_t kChunk = 0x40000000;

std::wstring Hex(unsigned long long v) {
    std::wstring s;
    do {
        s.insert(s.begin(), L"0123456789abcdef"[v & 0xF]);
        v >>= 4;
    } while (v);
    return s;
}

} // namespace

FileHandle FileOpenAlways(const WChar* path) {
    if (!path)
        return nullptr;
    return FromHandle(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
}

FileHandle FileOpenRead(const WChar* path) {
    if (!path)
        return nullptr;
    return FromHandle(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

FileHandle FileCreateWrite(const WChar* path) {
    if (!path)
        return nullptr;
    return FromHandle(CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
}

FileHandle FileOpenAppend(const WChar* path) {
    if (!path)
        return nullptr;
    // Append access: every write lands at the end, whoever else writes.
    return FromHandle(CreateFileW(path, FILE_APPEND_DATA,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
}

int64_t FileSize(FileHandle f) {
    LARGE_INTEGER size;
    if (!f || !GetFileSizeEx(f, &size))
        return -1;
    return size.QuadPart;
}

int64_t FileRead(FileHandle f, void* buf, size_t n) {
    if (!f || (!buf && n))
        return -1;
    size_t total = 0;
    while (total < n) {
        DWORD want = static_cast<DWORD>(n - total < kChunk ? n - total : kChunk);
        DWORD got = 0;
        if (!ReadFile(f, static_cast<char*>(buf) + total, want, &got, nullptr))
            return total ? static_cast<int64_t>(total) : -1;
        if (got == 0)
            break; // end of file
        total += got;
    }
    return static_cast<int64_t>(total);
}

int64_t FileWrite(FileHandle f, const void* data, size_t n) {
    if (!f || (!data && n))
        return -1;
    size_t total = 0;
    while (total < n) {
        DWORD want = static_cast<DWORD>(n - total < kChunk ? n - total : kChunk);
        DWORD put = 0;
        if (!WriteFile(f, static_cast<const char*>(data) + total, want, &put, nullptr))
            return total ? static_cast<int64_t>(total) : -1;
        if (put == 0)
            break;
        total += put;
    }
    return static_cast<int64_t>(total);
}

void FileClose(FileHandle f) {
    if (f)
        CloseHandle(f);
}

bool FileWriteAll(const WChar* path, const void* data, size_t n) {
    FileHandle f = FileCreateWrite(path);
    if (!f)
        return false;
    bool ok = FileWrite(f, data, n) == static_cast<int64_t>(n);
    FileClose(f);
    return ok;
}

bool FileRemove(const WChar* path) {
    return path && DeleteFileW(path) != FALSE;
}
bool FileReplace(const WChar* from, const WChar* to) {
    return from && to && MoveFileExW(from, to, MOVEFILE_REPLACE_EXISTING) != FALSE;
}
bool DirCreate(const WChar* path) {
    return path && CreateDirectoryW(path, nullptr) != FALSE;
}
bool DirRemove(const WChar* path) {
    return path && RemoveDirectoryW(path) != FALSE;
}

uint32_t PathAttributes(const WChar* path) {
    if (!path || !*path)
        return kAttrInvalid;
    std::wstring p(path);
    if (p.size() > 1 && IsPathSep(p.back()))
        p.pop_back();
    return GetFileAttributesW(p.c_str());
}

bool FindFiles(const WChar* pattern, DirEntryFn fn, void* ctx) {
    if (!pattern || !fn)
        return false;
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW(pattern, &fd);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    DirEntry entry;
    do {
        size_t n = std::wcslen(fd.cFileName);
        if (n >= kMaxPath)
            n = kMaxPath - 1;
        std::wmemcpy(entry.name, fd.cFileName, n);
        entry.name[n] = 0;
        entry.attributes = fd.dwFileAttributes;
        if (!fn(entry, ctx))
            break;
    } while (FindNextFileW(h, &fd));
    FindClose(h);
    return true;
}

bool MakeTempDir(WChar* out, uint32_t cap) {
    if (!out || cap == 0)
        return false;
    WChar base[MAX_PATH + 1];
    DWORD n = GetTempPathW(MAX_PATH + 1, base);
    if (n == 0 || n > MAX_PATH)
        return false;
    if (!IsPathSep(base[n - 1]))
        base[n++] = L'\\';
    base[n] = 0;
    LARGE_INTEGER seed;
    QueryPerformanceCounter(&seed);
    for (unsigned attempt = 0; attempt < 1000; ++attempt) {
        std::wstring full = std::wstring(base) + L"nimbro-" + Hex(GetCurrentProcessId()) + L"-" +
                            Hex(static_cast<unsigned long long>(seed.QuadPart) + attempt);
        if (full.size() >= cap)
            return false;
        if (CreateDirectoryW(full.c_str(), nullptr)) {
            std::wmemcpy(out, full.c_str(), full.size() + 1);
            return true;
        }
        if (GetLastError() != ERROR_ALREADY_EXISTS)
            return false;
    }
    return false;
}

} // namespace plat
