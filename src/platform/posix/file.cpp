#include "platform/file.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "text_edge.h"

namespace plat {

using posix::ToUtf8;
using posix::ToWide;

namespace {

// Descriptor 0 is a valid file, so handles carry the descriptor plus one.
FileHandle ToHandle(int fd) {
    return reinterpret_cast<FileHandle>(static_cast<intptr_t>(fd) + 1);
}

int ToFd(FileHandle f) {
    return static_cast<int>(reinterpret_cast<intptr_t>(f) - 1);
}

// Opens a regular file; folders are refused as CreateFileW refuses them.
FileHandle OpenFile(const WChar* path, int flags) {
    if (!path || !*path)
        return nullptr;
    std::string p = ToUtf8(path);
    int fd;
    do {
        fd = ::open(p.c_str(), flags | O_CLOEXEC, 0644);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return nullptr;
    struct stat st;
    if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        ::close(fd);
        return nullptr;
    }
    return ToHandle(fd);
}

uint32_t AttributesOf(const struct stat& st) {
    return S_ISDIR(st.st_mode) ? kAttrDirectory : kAttrNormal;
}

bool Matches(const std::string& pattern, const char* name) {
    if (::fnmatch(pattern.c_str(), name, FNM_CASEFOLD) == 0)
        return true;
    // Windows lets "name.*" match "name" too.
    if (pattern.size() >= 2 && pattern.compare(pattern.size() - 2, 2, ".*") == 0) {
        std::string stem = pattern.substr(0, pattern.size() - 2);
        return ::fnmatch(stem.c_str(), name, FNM_CASEFOLD) == 0;
    }
    return false;
}

} // namespace

FileHandle FileOpenAlways(const WChar* path) {
    return OpenFile(path, O_RDONLY | O_CREAT);
}

FileHandle FileOpenRead(const WChar* path) {
    return OpenFile(path, O_RDONLY);
}

FileHandle FileCreateWrite(const WChar* path) {
    return OpenFile(path, O_WRONLY | O_CREAT | O_TRUNC);
}

FileHandle FileOpenAppend(const WChar* path) {
    return OpenFile(path, O_WRONLY | O_CREAT | O_APPEND);
}

int64_t FileSize(FileHandle f) {
    if (!f)
        return -1;
    struct stat st;
    if (::fstat(ToFd(f), &st) != 0)
        return -1;
    return static_cast<int64_t>(st.st_size);
}

int64_t FileRead(FileHandle f, void* buf, size_t n) {
    if (!f || (!buf && n > 0))
        return -1;
    size_t done = 0;
    while (done < n) {
        ssize_t r = ::read(ToFd(f), static_cast<char*>(buf) + done, n - done);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (r == 0)
            break;
        done += static_cast<size_t>(r);
    }
    return static_cast<int64_t>(done);
}

int64_t FileWrite(FileHandle f, const void* data, size_t n) {
    if (!f || (!data && n > 0))
        return -1;
    size_t done = 0;
    while (done < n) {
        ssize_t r = ::write(ToFd(f), static_cast<const char*>(data) + done, n - done);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        done += static_cast<size_t>(r);
    }
    return static_cast<int64_t>(done);
}

void FileClose(FileHandle f) {
    if (f)
        ::close(ToFd(f));
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
    return path && *path && ::unlink(ToUtf8(path).c_str()) == 0;
}

bool FileReplace(const WChar* from, const WChar* to) {
    return from && *from && to && *to && ::rename(ToUtf8(from).c_str(), ToUtf8(to).c_str()) == 0;
}

bool DirCreate(const WChar* path) {
    return path && *path && ::mkdir(ToUtf8(path).c_str(), 0755) == 0;
}

bool DirRemove(const WChar* path) {
    return path && *path && ::rmdir(ToUtf8(path).c_str()) == 0;
}

uint32_t PathAttributes(const WChar* path) {
    if (!path || !*path)
        return kAttrInvalid;
    std::string p = ToUtf8(path);
    if (p.size() > 1 && p.back() == '/')
        p.pop_back();
    struct stat st;
    if (::stat(p.c_str(), &st) != 0)
        return kAttrInvalid;
    return AttributesOf(st);
}

bool FindFiles(const WChar* pattern, DirEntryFn fn, void* ctx) {
    if (!pattern || !*pattern || !fn)
        return false;
    std::string p = ToUtf8(pattern);
    std::string dir, glob;
    size_t slash = p.rfind('/');
    if (slash == std::string::npos) {
        dir = ".";
        glob = p;
    } else {
        dir = slash == 0 ? "/" : p.substr(0, slash);
        glob = p.substr(slash + 1);
    }
    if (glob.empty())
        return false;
    DIR* d = ::opendir(dir.c_str());
    if (!d)
        return false;
    bool any = false;
    while (dirent* e = ::readdir(d)) {
        if (!Matches(glob, e->d_name))
            continue;
        DirEntry entry;
        if (ToWide(e->d_name, entry.name, kMaxPath) == 0)
            continue; // a name that does not fit cannot be opened by the caller anyway
        struct stat st;
        if (::fstatat(::dirfd(d), e->d_name, &st, 0) == 0)
            entry.attributes = AttributesOf(st);
        else
            entry.attributes = kAttrNormal; // a dangling link: listed, like any file
        any = true;
        if (!fn(entry, ctx))
            break;
    }
    ::closedir(d);
    return any;
}

bool MakeTempDir(WChar* out, uint32_t cap) {
    if (!out || cap == 0)
        return false;
    const char* base = std::getenv("TMPDIR");
    std::string tmpl = (base && *base) ? base : "/tmp";
    while (tmpl.size() > 1 && tmpl.back() == '/')
        tmpl.pop_back();
    tmpl += "/nimbro-XXXXXX";
    if (!::mkdtemp(&tmpl[0]))
        return false;
    if (ToWide(tmpl, out, cap) == 0) {
        ::rmdir(tmpl.c_str());
        return false;
    }
    return true;
}

} // namespace plat
