// Files and folders.
#pragma once

#include "platform/types.h"

namespace plat {

typedef void* FileHandle; // nullptr when not open

// Opens for reading, creating an empty file when there is none.
FileHandle FileOpenAlways(const WChar* path);
FileHandle FileOpenRead(const WChar* path);
// Creates or truncates for writing.
FileHandle FileCreateWrite(const WChar* path);
// Opens for writing at the end, creating the file when there is none; other
// writers and readers may keep it open meanwhile.
FileHandle FileOpenAppend(const WChar* path);
int64_t FileSize(FileHandle f);                      // -1 on failure
int64_t FileRead(FileHandle f, void* buf, size_t n); // bytes read, -1 on failure
int64_t FileWrite(FileHandle f, const void* data, size_t n);
void FileClose(FileHandle f);

// Writes a whole file (tests, tools). True on success.
bool FileWriteAll(const WChar* path, const void* data, size_t n);
bool FileRemove(const WChar* path);
// Renames from to to, replacing a file of that name. True on success.
bool FileReplace(const WChar* from, const WChar* to);
bool DirCreate(const WChar* path);
bool DirRemove(const WChar* path); // empty folders only

// File attributes in Windows' numbering.
constexpr uint32_t kAttrInvalid = 0xFFFFFFFFu;
constexpr uint32_t kAttrDirectory = 0x10;
constexpr uint32_t kAttrNormal = 0x80;
constexpr uint32_t kAttrSparse = 0x200;
constexpr uint32_t kAttrReparse = 0x400;
constexpr uint32_t kAttrOffline = 0x1000;

// kAttrInvalid when the path does not exist. One trailing separator is ignored.
uint32_t PathAttributes(const WChar* path);
inline bool PathExists(const WChar* path) {
    return PathAttributes(path) != kAttrInvalid;
}

struct DirEntry {
    WChar name[kMaxPath]; // file name only, no folder
    uint32_t attributes;
};
// Return false to stop the listing.
typedef bool (*DirEntryFn)(const DirEntry& entry, void* ctx);

// Lists the entries of one folder that match a pattern whose last component
// may hold '*' and '?'. False when nothing matched or the folder is missing.
bool FindFiles(const WChar* pattern, DirEntryFn fn, void* ctx);

// A new empty folder under the system's temporary folder (tests).
bool MakeTempDir(WChar* out, uint32_t cap);

} // namespace plat
