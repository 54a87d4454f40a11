// Owning strings converted between UTF-16 and 8-bit text, and the bounded
// text routines that every copy into a fixed array goes through.
#pragma once

#include <cstdarg>

#include "platform/codepage.h"
#include "platform/types.h"

// UTF-16 text converted from 8-bit text in a fixed code page.
class CWString {
public:
    // text may be null (no buffer then).
    explicit CWString(const char* text = nullptr, uint32_t codePage = plat::kCpAcp);
    virtual ~CWString();
    CWString(const CWString&) = delete;
    CWString& operator=(const CWString&) = delete;

    // True when a buffer of at least units exists afterwards. A request not
    // below the capacity replaces the buffer: its contents are lost.
    bool Reserve(int32_t units);
    // Converts len bytes of text (-1: up to its NUL). Null text frees the
    // buffer. A failed conversion leaves an empty text.
    void Assign(const char* text, int32_t len = -1);

    // The converted text, NUL-terminated; null when there is no buffer.
    const WChar* Text() const { return buffer_; }
    // Never null: an empty text when there is no buffer.
    const WChar* CStr() const;
    int32_t Length() const;
    int32_t Capacity() const { return capacity_; }
    uint32_t CodePage() const { return codePage_; }

private:
    WChar* buffer_;
    int32_t capacity_;
    uint32_t codePage_;
};

// 8-bit text in a fixed code page converted from UTF-16 text.
class CMString {
public:
    explicit CMString(const WChar* text = nullptr, uint32_t codePage = plat::kCpUtf8);
    virtual ~CMString();
    CMString(const CMString&) = delete;
    CMString& operator=(const CMString&) = delete;

    // As CWString::Reserve, in bytes.
    bool Reserve(int32_t bytes);
    // Converts len units of text (-1: up to its NUL). False only when no
    // buffer could be had; null text frees the buffer and gives true.
    bool Assign(const WChar* text, int32_t len = -1);

    const char* Text() const { return buffer_; }
    const char* CStr() const { return buffer_ ? buffer_ : ""; }
    int32_t Length() const;
    int32_t Capacity() const { return capacity_; }
    uint32_t CodePage() const { return codePage_; }

private:
    char* buffer_;
    int32_t capacity_;
    uint32_t codePage_;
};

// Bounded copies: cap counts the terminator. They cut, always terminate when
// dst is given and cap > 0, and return the characters copied.
int CopyTextW(WChar* dst, const WChar* src, int cap);
int CopyTextA(char* dst, const char* src, int cap);

// Appends src to the text in dst within cap (terminator included); a text
// already longer than cap - 1 is cut to cap - 1. False when a pointer is null
// or cap < 1.
bool AppendTextW(WChar* dst, const WChar* src, int cap);

// Joins folder and path into result (at most resultCap units, terminated).
// True when joined; false when path was taken unchanged (absolute) or is
// null. result may be the same buffer as path.
bool MakeFullPath(const WChar* path, WChar* result, const WChar* folder,
                  int resultCap = static_cast<int>(plat::kMaxPath));

// printf-style formatting into UTF-16: %% %s (UTF-16) %S (8-bit) %c %C %d %i
// %u %x %X %o %p %f %e %E %g %G, flags - + space 0 #, width and precision
// (also *), sizes hh h l ll L I I32 I64 z. %hs / %ls and %hc / %lc choose
// 8-bit or UTF-16 explicitly. Writes at most cap units, terminator included,
// always terminates when cap > 0, and returns the units written without the
// terminator.
int FormatText(WChar* buf, int cap, const WChar* fmt, ...);
int VFormatText(WChar* buf, int cap, const WChar* fmt, va_list args);
